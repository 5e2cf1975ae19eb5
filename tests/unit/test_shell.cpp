#include <gtest/gtest.h>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <string>
#include <unistd.h>

#include "log_capture.h"
#include "shell.h"

TEST(Shell, ExitStatusAndOutput)
{
    struct {
        const char *cmd;
        int status;
        std::string output;
    } cases[] = {
        {"true", 0, ""},
        {"echo hello; exit 3", 3, "hello\n"},
        {"printf 'a\\0b'", 0, std::string("a\0b", 3)},
        {"kill -9 $$", -1, ""},
        {"/no/such/command 2>/dev/null", 127, ""},
    };
    LogCapture cap;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.cmd);
        EXPECT_EQ(shell_run(c.cmd), c.status);
        std::string out = "stale";
        EXPECT_EQ(shell_read(c.cmd, &out), c.status);
        EXPECT_EQ(out, c.output);
        EXPECT_TRUE(cap.contains(LOG_LEVEL_DEBUG, std::string("Running: ") + c.cmd));
    }
}

// A command starts clean: no descriptor of the agent (its server connection
// must not live on in a miner started from here), no blocked signals.
TEST(Shell, CommandsInheritNoDescriptorsAndNoBlockedSignals)
{
    int fd = open("/dev/null", O_RDONLY); // deliberately without O_CLOEXEC
    ASSERT_GE(fd, 3);
    sigset_t set, old;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    pthread_sigmask(SIG_BLOCK, &set, &old);

    EXPECT_EQ(shell_run(("test -e /proc/$$/fd/" + std::to_string(fd)).c_str()), 1);
    std::string out;
    EXPECT_EQ(shell_read(
                  // Builtins only: a child of the shell would read the mask the
                  // shell holds while it starts that child.
                  "while read -r k v; do [ \"$k\" = SigBlk: ] && echo \"$k\t$v\"; done "
                  "< /proc/$$/status; true",
                  &out),
              0);
    EXPECT_EQ(out, "SigBlk:\t0000000000000000\n");
    // Nothing to read: a command never waits on the agent's terminal.
    EXPECT_EQ(shell_read("read line; echo $?", &out), 0);
    EXPECT_EQ(out, "1\n");

    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    close(fd);
}
