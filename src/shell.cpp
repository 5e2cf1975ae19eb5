#include "shell.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <thread>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "owners.h"

extern char **environ;

static shell_runner test_runner = nullptr;

// Set from the stop signal's handler: only a lock-free atomic may be.
static std::atomic<bool> stop_waiting{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag is set in a signal handler");

// How often a bounded wait looks at its child, its deadline and the stop.
#define BOUNDED_POLL_MS 10

void shell_set_runner(shell_runner runner)
{
    test_runner = runner;
}

void shell_stop_waiting(void)
{
    stop_waiting.store(true);
}

bool shell_stopping(void)
{
    return stop_waiting.load();
}

void shell_resume_waiting(void)
{
    stop_waiting.store(false);
}

namespace
{
// Owns the spawn attributes and file actions of one child.
struct spawn_setup {
    posix_spawnattr_t attr;
    posix_spawn_file_actions_t actions;
    spawn_setup()
    {
        posix_spawnattr_init(&attr);
        posix_spawn_file_actions_init(&actions);
    }
    ~spawn_setup()
    {
        posix_spawn_file_actions_destroy(&actions);
        posix_spawnattr_destroy(&attr);
    }
    spawn_setup(const spawn_setup &) = delete;
    spawn_setup &operator=(const spawn_setup &) = delete;
};
} // namespace

// Words of a command that needs no shell: nothing but words of ordinary
// characters separated by blanks, and a first word that names a program
// rather than a shell builtin or keyword. Anything the shell would interpret
// (quotes, escapes, expansions, globbing, redirections, pipes, lists,
// comments, assignments) leaves words empty and the command goes to the
// shell. Without PATH the shell's own search path would differ from
// posix_spawnp's, so then everything goes to the shell too.
static bool plain_words(const char *cmd, std::vector<std::string> *words)
{
    static const char *const shell_words[] = {
        // dash's builtins (some also exist as programs, which may differ) and keywords
        ".",        ":",     "[",    "alias", "bg",     "break",  "cd",    "chdir",    "command",
        "continue", "echo",  "eval", "exec",  "exit",   "export", "false", "fg",       "getopts",
        "hash",     "jobs",  "kill", "local", "printf", "pwd",    "read",  "readonly", "return",
        "set",      "shift", "test", "times", "trap",   "true",   "type",  "ulimit",   "umask",
        "unalias",  "unset", "wait", "case",  "do",     "done",   "elif",  "else",     "esac",
        "fi",       "for",   "if",   "in",    "then",   "until",  "while", "function", "select",
    };
    words->clear();
    if (!getenv("PATH"))
        return false;
    for (const char *p = cmd; *p; p++) {
        unsigned char c = static_cast<unsigned char>(*p);
        if (c < 0x20 && c != '\t')
            return false; // newlines separate commands; other controls are left to the shell
        if (strchr("\"'\\$`;&|<>()*?[]{}~#=!^", c))
            return false;
    }
    const char *p = cmd;
    for (;;) {
        while (*p == ' ' || *p == '\t')
            p++;
        if (!*p)
            break;
        const char *start = p;
        while (*p && *p != ' ' && *p != '\t')
            p++;
        words->emplace_back(start, static_cast<size_t>(p - start));
    }
    if (words->empty())
        return false;
    for (const char *w : shell_words) {
        if ((*words)[0] == w) {
            words->clear();
            return false;
        }
    }
    return true;
}

// The child starts like a fresh process: signals unblocked (the agent's
// background threads block the stop signals) and at their default actions,
// and none of the agent's descriptors (the server connection, API sockets):
// a miner started from here must not keep the agent's socket open. Its
// standard input is /dev/null; its standard output is stdout_fd, or /dev/null
// (what "pidof" and the device scripts print is of no use to the agent and
// would only interleave with its console log). Standard error stays.
//
// A command without shell syntax (plain_words) is run directly, its words as
// the arguments, which spares a shell per command (the process check runs
// several times a minute). When that spawn fails (no such program, not
// executable, a script without "#!" the shell would run itself) the program
// never ran, and the command goes to "/bin/sh -c" as before, which gives the
// shell's answer (127, 126, the script's result) and its message. *direct
// tells wait_child to report death by a signal the way the shell did.
static int spawn_shell(const char *cmd, int stdout_fd, pid_t *pid, bool own_group, bool *direct)
{
    spawn_setup s;
    sigset_t none, defaults;
    sigemptyset(&none);
    sigemptyset(&defaults);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD, SIGQUIT})
        sigaddset(&defaults, sig);
    posix_spawnattr_setsigmask(&s.attr, &none);
    posix_spawnattr_setsigdefault(&s.attr, &defaults);
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (own_group) {
        posix_spawnattr_setpgroup(&s.attr, 0);
        flags |= POSIX_SPAWN_SETPGROUP;
    }
    posix_spawnattr_setflags(&s.attr, flags);
    posix_spawn_file_actions_addopen(&s.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    if (stdout_fd >= 0)
        posix_spawn_file_actions_adddup2(&s.actions, stdout_fd, STDOUT_FILENO);
    else
        posix_spawn_file_actions_addopen(&s.actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addclosefrom_np(&s.actions, STDERR_FILENO + 1);

    std::vector<std::string> words;
    if (plain_words(cmd, &words)) {
        std::vector<char *> argv;
        for (auto &w : words)
            argv.push_back(&w[0]);
        argv.push_back(nullptr);
        if (posix_spawnp(pid, argv[0], &s.actions, &s.attr, argv.data(), environ) == 0) {
            *direct = true;
            return 0;
        }
    }
    *direct = false;
    char *const argv[] = {const_cast<char *>("sh"), const_cast<char *>("-c"),
                          const_cast<char *>(cmd), nullptr};
    int rc = posix_spawn(pid, "/bin/sh", &s.actions, &s.attr, argv, environ);
    if (rc != 0) {
        LOG_ERROR("Failed to run \"%s\": %s", cmd, strerror(rc));
        return -1;
    }
    return 0;
}

// The exit status of a command run through the shell: the shell's own, where
// a command killed by signal N is 128 + N and -1 means the shell itself died.
// A command run directly reports its death by a signal as the shell would.
static int exit_status(int status, bool direct)
{
    if (WIFEXITED(status))
        return WEXITSTATUS(status);
    if (direct && WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return -1;
}

// Kills a child started in a group of its own, and whatever it started in
// that group. The child itself is killed by its pid too: where fork stands
// in for vfork (qemu-user), it may not have made its group yet when a stop
// comes right after the spawn.
static void kill_group(pid_t pid)
{
    kill(-pid, SIGKILL);
    kill(pid, SIGKILL);
}

static int wait_child(pid_t pid, bool direct)
{
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR)
            return -1;
    }
    return exit_status(status, direct);
}

using steady_time = std::chrono::steady_clock::time_point;

// Waits for pid until it ends (0, its wait status in *status), the deadline
// passes (-2) or the process is stopping (-4); -1 when it cannot be waited for.
static int wait_child_bounded(pid_t pid, steady_time deadline, int *status)
{
    for (;;) {
        pid_t done = waitpid(pid, status, WNOHANG);
        if (done == pid)
            return 0;
        if (done < 0 && errno != EINTR)
            return -1;
        if (stop_waiting)
            return -4;
        if (std::chrono::steady_clock::now() >= deadline)
            return -2;
        std::this_thread::sleep_for(std::chrono::milliseconds(BOUNDED_POLL_MS));
    }
}

// Starts cmd with its standard output on a pipe whose reading end goes to rd.
static int spawn_reader(const char *cmd, bool own_group, fd_owner *rd, pid_t *pid, bool *direct)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) {
        LOG_ERROR("Failed to run \"%s\": %s", cmd, strerror(errno));
        return -1;
    }
    rd->reset(fds[0]);
    fd_owner wr(fds[1]);
    return spawn_shell(cmd, wr.get(), pid, own_group, direct);
}

int shell_run(const char *cmd)
{
    assert(cmd);
    log_msg(LOG_LEVEL_DEBUG, "Running: %s", cmd);
    if (test_runner)
        return test_runner(cmd, nullptr);
    pid_t pid;
    bool direct;
    if (spawn_shell(cmd, -1, &pid, false, &direct) != 0)
        return -1;
    return wait_child(pid, direct);
}

int shell_read(const char *cmd, std::string *out)
{
    assert(cmd && out);
    log_msg(LOG_LEVEL_DEBUG, "Running: %s", cmd);
    out->clear();
    if (test_runner)
        return test_runner(cmd, out);

    fd_owner rd;
    pid_t pid;
    bool direct;
    if (spawn_reader(cmd, false, &rd, &pid, &direct) != 0)
        return -1;
    char buf[4096];
    for (;;) {
        ssize_t n = read(rd.get(), buf, sizeof(buf));
        if (n > 0) {
            out->append(buf, static_cast<size_t>(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    return wait_child(pid, direct);
}

int shell_read_bounded(const char *cmd, std::string *out, int timeout_ms, size_t max_bytes)
{
    assert(cmd && out);
    log_msg(LOG_LEVEL_DEBUG, "Running: %s", cmd);
    out->clear();
    if (test_runner)
        return test_runner(cmd, out);

    fd_owner rd;
    pid_t pid;
    bool direct;
    if (spawn_reader(cmd, true, &rd, &pid, &direct) != 0)
        return -1;
    steady_time deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int result = 0;
    bool stopped = false;
    char buf[4096];
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0 || stop_waiting) {
            result = -2;
            stopped = left > 0;
            break;
        }
        // In slices, so that a stop is seen while the command is silent.
        struct pollfd pfd = {rd.get(), POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left < 100 ? left : 100));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            continue; // the checks above end it
        ssize_t n = read(rd.get(), buf, sizeof(buf));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        if (out->size() + static_cast<size_t>(n) > max_bytes) {
            result = -3;
            break;
        }
        out->append(buf, static_cast<size_t>(n));
    }
    // The output has ended; the command itself gets what is left of its time.
    if (result == 0) {
        int status = 0;
        result = wait_child_bounded(pid, deadline, &status);
        if (result == 0)
            return exit_status(status, direct);
        if (result == -1)
            return -1;
        stopped = result == -4;
        result = -2;
    }
    // The command and whatever it started in its group: only its output was
    // wanted, so nothing is lost when a stop cuts it short.
    kill_group(pid);
    log_msg(LOG_LEVEL_WARN, "Command \"%s\" %s, killed", cmd,
            result == -3 ? "printed too much"
                         : (stopped ? "cut short by the stop" : "ran out of time"));
    wait_child(pid, direct);
    return result;
}

int shell_run_bounded(const char *cmd, int timeout_ms)
{
    assert(cmd);
    log_msg(LOG_LEVEL_DEBUG, "Running: %s", cmd);
    if (test_runner)
        return test_runner(cmd, nullptr);
    pid_t pid;
    bool direct;
    if (spawn_shell(cmd, -1, &pid, true, &direct) != 0)
        return -1;
    steady_time deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    int status = 0;
    int res = wait_child_bounded(pid, deadline, &status);
    switch (res) {
    case 0:
        return exit_status(status, direct);
    case -4:
        // Not killed: a script cut off half-way (a network restart, the
        // miner's init script) could leave the device worse off than one
        // that finishes after the agent has gone. In a group of its own, it
        // gets none of the signals that end the agent.
        log_msg(LOG_LEVEL_WARN, "Command \"%s\" left running: the agent is stopping", cmd);
        return -4;
    case -2:
        kill_group(pid);
        LOG_ERROR("Command \"%s\" did not end within %d ms, killed", cmd, timeout_ms);
        wait_child(pid, direct);
        return -2;
    default:
        return -1;
    }
}
