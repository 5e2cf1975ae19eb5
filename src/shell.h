// The one way the agent runs commands on the device: every command goes
// through here and is logged at DEBUG, so this is also the one place where a
// test can see (or stand in for) what the agent asked for. A command is
// shell text ("/bin/sh -c"); one without shell syntax (only words of plain
// characters, a program rather than a builtin first) is started directly
// with the same result, sparing the shell process.
#pragma once

#include <string>

// Runs cmd and waits for it, its output discarded. Result: the command's exit status (0-255; 128+N
// for a command the signal N killed, as the shell reports it), or -1 when the shell could not
// be started or itself died of a signal.
// Any thread; blocks for as long as the command runs.
int shell_run(const char *cmd);

// Runs cmd with its standard output read into out (replaced). Same result as
// shell_run. Any thread.
int shell_read(const char *cmd, std::string *out);

// shell_read with limits: the command (and everything it started in its
// process group) is killed when it runs longer than timeout_ms or prints more
// than max_bytes, or when the process is stopping (shell_stop_waiting). The
// exit status; -1 when it cannot be started, -2 when it ran out of time or
// was cut short by the stop, -3 when it printed too much (out holds what was
// read).
int shell_read_bounded(const char *cmd, std::string *out, int timeout_ms, size_t max_bytes);

// shell_run for device scripts whose end the agent waits for: cmd runs in a
// process group of its own and is waited for at most timeout_ms. The exit
// status as shell_run; -1 when it cannot be started; -2 when it ran out of
// time: its whole group was killed (logged at ERROR). -4 when the process is
// stopping (shell_stop_waiting, before or during the wait): the command is
// started all the same and left to finish on its own, in its group, so that
// a network restart or a reboot asked for still happens; the caller goes on
// at once. Any thread.
int shell_run_bounded(const char *cmd, int timeout_ms);

// The process is stopping: every bounded wait (shell_run_bounded,
// shell_read_bounded) ends at once, and those started later do not wait.
// Async-signal-safe: the stop signal's handler calls it, so a thread waiting
// for a script sees the stop even when it is the thread that would act on it.
void shell_stop_waiting(void);
// shell_stop_waiting was called (and not undone since). Any thread.
bool shell_stopping(void);
// Undoes shell_stop_waiting (tests). Not while bounded commands run.
void shell_resume_waiting(void);

// Tests: replaces the executor of every call (out is null for shell_run and
// shell_run_bounded, which then run no bound of their own).
// A null runner restores the real one. Not for use while commands run.
using shell_runner = int (*)(const char *cmd, std::string *out);
void shell_set_runner(shell_runner runner);
