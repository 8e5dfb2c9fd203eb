// The device maker's settings panel holds the device while it runs: before
// an update it is ended with the system's own taskkill.exe, and the update
// goes on only once no copy of it is left (one that runs elevated survives
// the kill).
#pragma once

#include <cstddef>

#define QXPANEL_PROGRAM "Orbetta_SettingsPanel.exe"

// The arguments that end it: /f /im Orbetta_SettingsPanel.exe.
extern const char *const qxpanel_kill_args[3];

// The full path of the system's own taskkill.exe (the folder that
// GetSystemDirectoryW names), UTF-8, into buf: never a bare name, which a
// taskkill.exe in the program's folder or the current folder would shadow.
// 0, or 1 with buf empty when the system folder cannot be read, or off
// Windows.
int qxpanel_taskkill_path(char *buf, size_t cap);

// Runs program (a UTF-8 path, taken as it is: nothing is searched) with its
// nargs arguments, without a console window, and waits for its end for at
// most QXPANEL_RUN_MS, looking every QXPANEL_RUN_POLL_MS through
// qx_sleep_ms; one still running then is ended. Its exit code; -1 when it
// could not be started (always, off Windows), -2 when it was ended at the
// bound.
int qxpanel_run(const char *program, const char *const *args, unsigned nargs);

// 1 while a process with the panel's file name runs (compared without case,
// as Windows compares file names), 0 when none does, -1 when the processes
// cannot be listed. Off Windows always 0. A probe set with qxpanel_set_probe
// answers in its place.
int qxpanel_running(void);
typedef int (*QxPanelProbe)(void *ctx);
// For tests: a probe in place of the system's list; null restores it.
void qxpanel_set_probe(QxPanelProbe fn, void *ctx);

// After the panel was told to end: whether it has gone, asking up to
// QXPANEL_GONE_CHECKS times QXPANEL_GONE_PAUSE_MS apart (a process ended by
// force leaves the list a moment later). 0 when it has gone, else the last
// answer of qxpanel_running (1 or -1).
int qxpanel_wait_gone(void);

// The whole step for a program without a runner of its own: the system's
// taskkill.exe by its path, then qxpanel_wait_gone.
int qxpanel_end(void);
