// Test helper: stands in for the device's shell (see shell_set_runner).
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "miner/support.h"
#include "shell.h"

// Stands in for the device's shell: "pidof -s cgminer" answers as told, every
// other command is recorded; commands can be held until released.
struct FakeShell {
    std::mutex mutex;
    std::condition_variable cond;
    bool running = true;
    bool hold = false;
    std::vector<std::string> commands;

    static inline FakeShell *current = nullptr;
    static int run(const char *cmd, std::string *)
    {
        FakeShell *s = current;
        std::unique_lock<std::mutex> lock(s->mutex);
        if (std::string(cmd) == "pidof -s cgminer")
            return s->running ? 0 : 1;
        s->commands.push_back(cmd);
        s->cond.notify_all();
        s->cond.wait(lock, [s] { return !s->hold; });
        return 0;
    }
    FakeShell()
    {
        current = this;
        shell_set_runner(&FakeShell::run);
    }
    ~FakeShell()
    {
        release();
        EXPECT_TRUE(cgminer_wait_workers(10));
        shell_set_runner(nullptr);
        current = nullptr;
    }
    void release()
    {
        std::lock_guard<std::mutex> lock(mutex);
        hold = false;
        cond.notify_all();
    }
    std::vector<std::string> recorded()
    {
        std::lock_guard<std::mutex> lock(mutex);
        return commands;
    }
    void wait_commands(size_t n)
    {
        std::unique_lock<std::mutex> lock(mutex);
        cond.wait_for(lock, std::chrono::seconds(10), [&] { return commands.size() >= n; });
    }
};
