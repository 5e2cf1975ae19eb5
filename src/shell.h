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
// than max_bytes. The exit status; -1 when it cannot be started, -2 when it
// ran out of time, -3 when it printed too much (out holds what was read).
int shell_read_bounded(const char *cmd, std::string *out, int timeout_ms, size_t max_bytes);

// Tests: replaces the executor of both calls (out is null for shell_run).
// A null runner restores the real one. Not for use while commands run.
using shell_runner = int (*)(const char *cmd, std::string *out);
void shell_set_runner(shell_runner runner);
