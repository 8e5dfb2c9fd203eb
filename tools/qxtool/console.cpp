#include "console.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "qxsys.h"
#include "updaterules.h"

#ifdef _WIN32
#include <io.h>
#include <windows.h>
#define qx_isatty _isatty
#define qx_fileno _fileno
#else
#include <sys/ioctl.h>
#include <unistd.h>
#define qx_isatty isatty
#define qx_fileno fileno
#endif

namespace
{

std::mutex g_lock;
size_t g_bar_width = 0; // characters of the bar now on screen, 0 = none

// Caller holds g_lock. Blanks the bar so that a line can take its place.
void clear_bar()
{
    if (!g_bar_width)
        return;
    fprintf(stderr, "\r%*s\r", (int)g_bar_width, "");
    g_bar_width = 0;
}

// Writes UTF-8 text to a stream; caller holds g_lock. A Windows console is
// given the text as UTF-16, so that it shows the same characters whatever
// its code page (which would turn the UTF-8 bytes into other letters); a
// pipe or a file gets the UTF-8 bytes. False when it could not be written.
bool put(FILE *stream, const std::string &text)
{
#ifdef _WIN32
    HANDLE h = (HANDLE)_get_osfhandle(qx_fileno(stream));
    DWORD mode = 0;
    if (h != INVALID_HANDLE_VALUE && GetConsoleMode(h, &mode)) {
        fflush(stream);
        if (text.empty())
            return true;
        int n = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
        std::wstring wide((size_t)(n > 0 ? n : 0), L'\0');
        if (n > 0)
            MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), &wide[0], n);
        size_t done = 0;
        while (done < wide.size()) {
            DWORD written = 0;
            if (!WriteConsoleW(h, wide.data() + done, (DWORD)(wide.size() - done), &written,
                               nullptr) ||
                written == 0) {
                errno = EIO;
                return false;
            }
            done += written;
        }
        return true;
    }
#endif
    return fwrite(text.data(), 1, text.size(), stream) == text.size();
}

void to_stderr(void *, const char *text, size_t len)
{
    std::lock_guard<std::mutex> hold(g_lock);
    clear_bar();
    put(stderr, std::string(text, len));
    fflush(stderr);
}

void discard(void *, const char *, size_t) {}

int g_output_error = 0; // errno of the first text lost on standard output

std::string safe(const std::string &text)
{
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if ((c < 0x20 && c != '\n' && c != '\t') || c == 0x7f) {
            char hex[8];
            snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out.push_back((char)c);
        }
    }
    return out;
}

} // namespace

void console_init(bool verbose)
{
    qx_set_output(verbose ? to_stderr : discard, nullptr);
}

bool console_input_is_terminal(void)
{
    return qx_isatty(qx_fileno(stdin)) != 0;
}

bool console_error_is_terminal(void)
{
    return qx_isatty(qx_fileno(stderr)) != 0;
}

void console_text(const std::string &text)
{
    std::lock_guard<std::mutex> hold(g_lock);
    clear_bar();
    fflush(stderr);
    errno = 0;
    if ((!put(stdout, safe(text) + "\n") || fflush(stdout) != 0) && !g_output_error)
        g_output_error = errno ? errno : EIO;
}

int console_output_error(void)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_output_error && fflush(stdout) != 0)
        g_output_error = errno ? errno : EIO;
    return g_output_error;
}

void console_error(const std::string &text)
{
    std::lock_guard<std::mutex> hold(g_lock);
    clear_bar();
    fflush(stdout);
    put(stderr, safe(text) + "\n");
    fflush(stderr);
}

void console_problem(const std::string &text)
{
    console_error("qxtool: " + text);
}

int console_error_columns(void)
{
#ifdef _WIN32
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) {
        int columns = info.srWindow.Right - info.srWindow.Left + 1;
        if (columns > 0)
            return columns;
    }
#else
    struct winsize ws;
    if (ioctl(qx_fileno(stderr), TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0)
        return ws.ws_col;
#endif
    return 80;
}

std::string console_progress_line(int64_t position, int64_t maximum, double seconds, int columns)
{
    if (maximum <= 0)
        maximum = 1;
    if (position < 0)
        position = 0;
    if (position > maximum)
        position = maximum;
    int percent = (int)(position * 100 / maximum);

    char rate[32] = "";
    char left[32] = "";
    if (seconds > 0.05 && position > 0) {
        double per_s = position / seconds;
        if (per_s >= 1024 * 1024)
            snprintf(rate, sizeof rate, "%.1f MiB/s", per_s / (1024 * 1024));
        else
            snprintf(rate, sizeof rate, "%.1f KiB/s", per_s / 1024);
        long rest = (long)((maximum - position) / per_s + 0.5);
        snprintf(left, sizeof left, "%ld:%02ld left", rest / 60, rest % 60);
    } else {
        snprintf(rate, sizeof rate, "-- KiB/s");
        snprintf(left, sizeof left, "-:-- left");
    }
    char head[16];
    snprintf(head, sizeof head, "%3d%%", percent);
    const std::string bytes = updaterules::grouped_text(position) + " of " +
                              updaterules::grouped_text(maximum) + " bytes";
    std::string tail = bytes + "  " + rate + "  " + left;

    // The last column stays free: a full line wraps on some terminals.
    const bool limited = columns > 0;
    int room = limited ? columns - 1 : 0;
    int cells = 30;
    if (limited) {
        int fixed = (int)(strlen(head) + 4 + tail.size()); // " [" and "] "
        if (room - fixed < cells)
            cells = room - fixed;
    }
    std::string line = head;
    if (cells >= 10) {
        int filled = (int)(position * cells / maximum);
        std::string bar((size_t)cells, ' ');
        for (int i = 0; i < filled; ++i)
            bar[(size_t)i] = '=';
        if (filled < cells)
            bar[(size_t)filled] = '>';
        line += " [" + bar + "] ";
    } else {
        line += " ";
        // Without the bar, whole parts go before any is cut: the rate
        // first, then the time left, then the bytes.
        const std::string shorter[] = {bytes + "  " + left, bytes, ""};
        for (const std::string &t : shorter) {
            if (!limited || line.size() + tail.size() <= (size_t)room)
                break;
            tail = t;
        }
        if (tail.empty())
            line.pop_back();
    }
    line += tail;
    if (limited && line.size() > (size_t)room)
        line.resize((size_t)room);
    return line;
}

void console_progress(int64_t position, int64_t maximum, double seconds)
{
    int columns = console_error_columns();
    std::string line = console_progress_line(position, maximum, seconds, columns);
    std::lock_guard<std::mutex> hold(g_lock);
    // A shorter line must cover all of the longer one before it, without
    // running past the line's end.
    size_t width = line.size() > g_bar_width ? line.size() : g_bar_width;
    if (width > (size_t)(columns - 1))
        width = line.size();
    fprintf(stderr, "\r%-*s", (int)width, line.c_str());
    fflush(stderr);
    g_bar_width = width;
}

void console_progress_end(void)
{
    std::lock_guard<std::mutex> hold(g_lock);
    if (!g_bar_width)
        return;
    fputc('\n', stderr);
    fflush(stderr);
    g_bar_width = 0;
}

bool console_ask(const std::string &question)
{
    {
        std::lock_guard<std::mutex> hold(g_lock);
        clear_bar();
        fflush(stdout);
        put(stderr, question);
        fflush(stderr);
    }
    char answer[64];
#ifndef _WIN32
    // A stop that came just before the read would leave it waiting for a
    // line: the read starts only once there is one to take.
    qx_wait_input(qx_fileno(stdin));
#endif
    if (qx_stop_requested() || !fgets(answer, sizeof answer, stdin)) {
        // End of input (Ctrl+D), or a stop, leaves the cursor after the question.
        std::lock_guard<std::mutex> hold(g_lock);
        fputc('\n', stderr);
        fflush(stderr);
        return false;
    }
    size_t n = strcspn(answer, "\r\n");
    answer[n] = '\0';
    for (size_t i = 0; i < n; ++i)
        if (answer[i] >= 'A' && answer[i] <= 'Z')
            answer[i] = (char)(answer[i] - 'A' + 'a');
    return strcmp(answer, "y") == 0 || strcmp(answer, "yes") == 0;
}
