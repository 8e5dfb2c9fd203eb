// Where qxtool's output goes: texts and results on standard output, errors
// and the progress bar on standard error. Safe to call from the update's
// thread while the main thread draws the bar.
#pragma once

#include <cstdint>
#include <string>

// The core modules' diagnostic lines (a line per transferred burst, the
// failure sites) go to standard error when verbose, else nowhere: the
// tool's own messages say what went wrong.
void console_init(bool verbose);

bool console_input_is_terminal(void);
bool console_error_is_terminal(void);

// Standard output, followed by a newline. Control characters other than
// the line end and the tab are shown as \xNN: texts carry names that a
// device or a file header chose, and those must not act on the terminal.
void console_text(const std::string &text);
// 0, or the errno of the first text that could not be written to standard
// output (a full disk, a closed pipe).
int console_output_error(void);
// Standard error, followed by a newline, made safe the same way.
void console_error(const std::string &text);
// "qxtool: " and the message on standard error.
void console_problem(const std::string &text);

// Redraws the progress bar (on a terminal only); seconds since the
// transfer began.
void console_progress(int64_t position, int64_t maximum, double seconds);
// Leaves the bar on its own line.
void console_progress_end(void);
// The bar's text: percentage, bytes, rate and time left. With columns > 0
// it stays shorter than a terminal line of that width: a line that wraps
// would leave a copy of itself on screen at every redraw.
std::string console_progress_line(int64_t position, int64_t maximum, double seconds,
                                  int columns = 0);
// Width of the terminal on standard error; 80 when it cannot be told.
int console_error_columns(void);

// Asks on standard error and reads the answer from standard input; true
// for y or yes.
bool console_ask(const std::string &question);
