#include "miner/watcher.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <signal.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "log_capture.h"

namespace
{
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// One callback as the watcher made it.
struct Call {
    bool miner;
    bool net;
    Clock::time_point at;
};

// What the callback saw; it runs on the watcher thread.
struct Recorder {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Call> calls;
};
Recorder recorder;

void record(struct watcher_status *status)
{
    std::lock_guard<std::mutex> lock(recorder.mutex);
    recorder.calls.push_back({status->miner_cfg_changed, status->net_cfg_changed, Clock::now()});
    recorder.cond.notify_all();
}

// A callback that records and, the first time, holds the watcher thread
// until released.
bool callback_held = false; // guarded by recorder.mutex
bool hold_done = false;     // guarded by recorder.mutex
void record_and_hold(struct watcher_status *status)
{
    record(status);
    std::unique_lock<std::mutex> lock(recorder.mutex);
    if (hold_done)
        return;
    hold_done = callback_held = true;
    recorder.cond.wait(lock, [] { return !callback_held; });
}
void release_callback()
{
    std::lock_guard<std::mutex> lock(recorder.mutex);
    callback_held = false;
    recorder.cond.notify_all();
}

double seconds_between(Clock::time_point from, Clock::time_point to)
{
    return std::chrono::duration<double>(to - from).count();
}

// Watches of the process's inotify descriptor as the kernel lists them in
// /proc/self/fdinfo; -1 while there is no inotify descriptor.
int inotify_watches()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d)
        return -1;
    int found = -1;
    while (struct dirent *e = readdir(d)) {
        std::string link_path = std::string("/proc/self/fd/") + e->d_name;
        char target[64] = {0};
        if (readlink(link_path.c_str(), target, sizeof(target) - 1) <= 0)
            continue;
        if (strcmp(target, "anon_inode:inotify") != 0)
            continue;
        std::ifstream in(std::string("/proc/self/fdinfo/") + e->d_name);
        if (!in)
            continue;
        int watches = 0;
        std::string line;
        while (std::getline(in, line))
            if (line.rfind("inotify wd:", 0) == 0)
                watches++;
        found = watches;
        break;
    }
    closedir(d);
    return found;
}

// Waits until the watcher's descriptor has at least min_watches watches.
bool wait_watching(int min_watches)
{
    auto deadline = Clock::now() + 5s;
    while (Clock::now() < deadline) {
        if (inotify_watches() >= min_watches)
            return true;
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

bool wait_stopped()
{
    auto deadline = Clock::now() + 5s;
    while (watcher_is_running() && Clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    return !watcher_is_running();
}

// Threads of the process named name, with their blocked-signal masks.
std::vector<unsigned long long> threads_named(const std::string &name)
{
    std::vector<unsigned long long> masks;
    DIR *d = opendir("/proc/self/task");
    if (!d)
        return masks;
    while (struct dirent *e = readdir(d)) {
        if (e->d_name[0] == '.')
            continue;
        std::string task = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string comm_name;
        if (!std::getline(comm, comm_name) || comm_name != name)
            continue;
        std::ifstream status(task + "/status");
        std::string line;
        unsigned long long mask = 0;
        while (std::getline(status, line))
            if (line.rfind("SigBlk:", 0) == 0)
                mask = std::stoull(line.substr(7), nullptr, 16);
        masks.push_back(mask);
    }
    closedir(d);
    return masks;
}

// A joined thread may linger in /proc for a moment.
bool no_thread_named(const std::string &name)
{
    auto deadline = Clock::now() + 2s;
    while (!threads_named(name).empty()) {
        if (Clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(20ms);
    }
    return true;
}

bool blocks(unsigned long long mask, int sig)
{
    return (mask >> (sig - 1)) & 1;
}

// Lowers the open-file limit to the descriptors already open, so that the
// next descriptor the process asks for is refused (EMFILE).
struct NoMoreFiles {
    struct rlimit old;
    bool ok = false;
    NoMoreFiles()
    {
        getrlimit(RLIMIT_NOFILE, &old);
        int probe = open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (probe < 0)
            return;
        close(probe);
        struct rlimit lim = old;
        lim.rlim_cur = static_cast<rlim_t>(probe);
        ok = setrlimit(RLIMIT_NOFILE, &lim) == 0;
    }
    ~NoMoreFiles() { setrlimit(RLIMIT_NOFILE, &old); }
    NoMoreFiles(const NoMoreFiles &) = delete;
    NoMoreFiles &operator=(const NoMoreFiles &) = delete;
};

class WatcherTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kvagent-watcher-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        std::lock_guard<std::mutex> lock(recorder.mutex);
        recorder.calls.clear();
    }
    void TearDown() override
    {
        if (watcher_is_running())
            watcher_stop();
        release_callback();
        std::filesystem::remove_all(dir);
    }

    void write(const std::string &name, const std::string &text = "{}\n")
    {
        std::ofstream out(dir + "/" + name, std::ios::binary | std::ios::trunc);
        out << text;
    }
    // Writes name under a temporary name, then moves it into place.
    void replace(const std::string &name)
    {
        write(name + ".new");
        ASSERT_EQ(rename((dir + "/" + name + ".new").c_str(), (dir + "/" + name).c_str()), 0);
    }

    // The calls once there are n of them, or when timeout has passed.
    std::vector<Call> wait_calls(size_t n, std::chrono::milliseconds timeout)
    {
        std::unique_lock<std::mutex> lock(recorder.mutex);
        recorder.cond.wait_for(lock, timeout, [n] { return recorder.calls.size() >= n; });
        return recorder.calls;
    }
    std::vector<Call> calls()
    {
        std::lock_guard<std::mutex> lock(recorder.mutex);
        return recorder.calls;
    }

    std::string dir;
};

// Each change is reported once, about 3 s after the last write, with the
// files that changed since the previous report.
TEST_F(WatcherTest, SettledChangesAreReportedOnce)
{
    ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
    ASSERT_TRUE(wait_watching(1));

    // One write of the miner configuration.
    Clock::time_point written = Clock::now();
    write("cgminer.conf");
    std::vector<Call> seen = wait_calls(1, 8s);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].miner);
    EXPECT_FALSE(seen[0].net);
    EXPECT_GE(seconds_between(written, seen[0].at), 2.5);
    EXPECT_LT(seconds_between(written, seen[0].at), 8.0);

    // A file written under another name and renamed onto network.conf.
    written = Clock::now();
    replace("network.conf");
    seen = wait_calls(2, 8s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_FALSE(seen[1].miner);
    EXPECT_TRUE(seen[1].net);
    EXPECT_GE(seconds_between(written, seen[1].at), 2.5);
    EXPECT_LT(seconds_between(written, seen[1].at), 8.0);

    // Both files, one second apart: a single report, timed from the second
    // write (the first alone would have come about 2 s after it).
    write("cgminer.conf");
    std::this_thread::sleep_for(1s);
    written = Clock::now();
    write("network.conf");
    seen = wait_calls(3, 8s);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_TRUE(seen[2].miner);
    EXPECT_TRUE(seen[2].net);
    EXPECT_GE(seconds_between(written, seen[2].at), 2.5);
    EXPECT_LT(seconds_between(written, seen[2].at), 8.0);

    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_EQ(calls().size(), 3u);
}

// The agent's own announced store is not reported, and it does not drop an
// outside change still settling; an announcement whose store wrote nothing
// expires. Other files in the folder are not reported.
TEST_F(WatcherTest, OwnAndUnrelatedWritesAreNotReported)
{
    ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
    ASSERT_TRUE(wait_watching(1));

    write("network.conf");
    std::this_thread::sleep_for(200ms);
    watcher_own_write_begin("cgminer.conf");
    replace("cgminer.conf");
    watcher_own_write_end();
    std::vector<Call> seen = wait_calls(1, 8s);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_FALSE(seen[0].miner);
    EXPECT_TRUE(seen[0].net);

    for (const char *name : {"korvane.json", "cgminer.conf.tmp", "network.conf~",
                             "old-cgminer.conf", "CGMINER.CONF", "network"})
        write(name);
    replace("korvane.json");
    // A store that wrote nothing: its announcement is gone after a pass.
    watcher_own_write_begin("cgminer.conf");
    watcher_own_write_end();
    EXPECT_EQ(wait_calls(2, 3500ms).size(), 1u);

    replace("cgminer.conf");
    seen = wait_calls(2, 8s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[1].miner);
    EXPECT_FALSE(seen[1].net);

    EXPECT_EQ(watcher_stop(), 0);
}

// Events lost to a full queue count as a change of both files.
TEST_F(WatcherTest, QueueOverflowIsAChangeOfBoth)
{
    std::ifstream limit_file("/proc/sys/fs/inotify/max_queued_events");
    int limit = 0;
    if (!(limit_file >> limit) || limit <= 0 || limit > 1000000)
        GTEST_SKIP() << "no inotify queue limit to overflow";
    ASSERT_EQ(watcher_start_dir(record_and_hold, dir.c_str()), 0);
    ASSERT_TRUE(wait_watching(1));
    write("cgminer.conf");
    ASSERT_EQ(wait_calls(1, 8s).size(), 1u); // the watcher now waits in the callback
    // Alternating names: the kernel merges identical events in a row.
    for (int i = 0; i <= limit; i++)
        write(i % 2 ? "a" : "b", "");
    release_callback();
    std::vector<Call> seen = wait_calls(2, 8s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[1].miner);
    EXPECT_TRUE(seen[1].net);
    EXPECT_EQ(watcher_stop(), 0);
}

TEST_F(WatcherTest, StartStopAndRestart)
{
    LogCapture cap;

    ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
    EXPECT_TRUE(watcher_is_running());
    ASSERT_TRUE(wait_watching(1));
    std::vector<unsigned long long> masks = threads_named("watcher@agent");
    ASSERT_EQ(masks.size(), 1u);
    EXPECT_TRUE(blocks(masks[0], SIGINT));
    EXPECT_TRUE(blocks(masks[0], SIGTERM));
    EXPECT_TRUE(blocks(masks[0], SIGHUP));

    // A second start leaves the running watcher alone.
    EXPECT_EQ(watcher_start_dir(record, dir.c_str()), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is already running"), 1);
    EXPECT_EQ(threads_named("watcher@agent").size(), 1u);

    Clock::time_point asked = Clock::now();
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_LT(seconds_between(asked, Clock::now()), 2.5);
    EXPECT_FALSE(watcher_is_running());
    EXPECT_TRUE(no_thread_named("watcher@agent"));
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is not running"), 0);
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is not running"), 1);

    // A stop right after the start.
    ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
    asked = Clock::now();
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_LT(seconds_between(asked, Clock::now()), 2.5);
    EXPECT_FALSE(watcher_is_running());
    EXPECT_TRUE(no_thread_named("watcher@agent"));
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is not running"), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);

    // Without inotify the thread ends by itself; a stop then finds nothing
    // running (and joins the thread).
    {
        NoMoreFiles limit;
        ASSERT_TRUE(limit.ok);
        ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
        EXPECT_TRUE(wait_stopped());
    }
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, "Failed to initialize inotify"), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, strerror(EMFILE)), 1);
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is not running"), 2);

    // Once more, then straight to a new start, which takes the ended thread's place.
    {
        NoMoreFiles limit;
        ASSERT_TRUE(limit.ok);
        ASSERT_EQ(watcher_start_dir(record, dir.c_str()), 0);
        EXPECT_TRUE(wait_stopped());
    }
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, "Failed to initialize inotify"), 2);

    // Without a callback, changes are dropped when they settle.
    ASSERT_EQ(watcher_start_dir(nullptr, dir.c_str()), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is already running"), 1);
    ASSERT_TRUE(wait_watching(1));
    write("cgminer.conf");
    std::this_thread::sleep_for(3500ms);
    EXPECT_TRUE(watcher_is_running());
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_FALSE(watcher_is_running());
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Watcher is not running"), 2);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 4);
    EXPECT_TRUE(calls().empty());
}

// A folder that cannot be watched, or whose watch is lost, is watched again
// as soon as it can be: one ERROR per loss, and everything counts as changed.
TEST_F(WatcherTest, MissingOrLostFolderIsWatchedAgain)
{
    LogCapture cap;
    std::string missing = dir + "/missing";

    ASSERT_EQ(watcher_start_dir(record, missing.c_str()), 0);
    ASSERT_TRUE(wait_watching(0));
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(inotify_watches(), 0);
    EXPECT_TRUE(watcher_is_running());
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to watch " + missing));

    ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
    std::vector<Call> seen = wait_calls(1, 8s);
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_TRUE(seen[0].miner && seen[0].net);

    // Removed: the watch goes with it.
    std::filesystem::remove_all(missing);
    std::this_thread::sleep_for(2500ms);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 2);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Lost the watch of " + missing));
    ASSERT_EQ(mkdir(missing.c_str(), 0700), 0);
    seen = wait_calls(2, 8s);
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_TRUE(seen[1].miner && seen[1].net);

    Clock::time_point asked = Clock::now();
    EXPECT_EQ(watcher_stop(), 0);
    EXPECT_LT(seconds_between(asked, Clock::now()), 2.5);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 2);
}

} // namespace
