#include "miner/watcher.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>
#include <vector>

#include "log.h"
#include "owners.h"
#include "paths.h"
#include "util.h"

// One pass of the watcher loop waits this long for events at most.
#define POLL_TIMEOUT 1000 // ms
// Passes without events after the last write before a change is reported.
#define QUIET_PASSES 3
// Room for a burst of events in one read, each with the longest name.
#define EVENT_BUF_SIZE (100 * (sizeof(struct inotify_event) + NAME_MAX + 1))

static std::thread watcher_thread;
// Set by watcher_start before the thread exists, cleared to ask the thread to
// end and by the thread itself when it ends.
static std::atomic<bool> watcher_running{false};

// The agent's own stores announced to the watcher: each stands for one rename
// of its name into the folder, which is then not an outside change. Ended
// ones expire after the first pass that begins after their end, by which
// time the rename's event has been read.
namespace
{
struct own_write {
    std::string name;
    bool ended;
    unsigned long end_pass; // the pass under way when the store ended
};
} // namespace
static std::mutex own_mutex;
static std::vector<own_write> own_writes; // guarded by own_mutex
// Passes of the watcher loop so far (the number of the one under way).
static std::atomic<unsigned long> pass_count{0};

static bool has_change(const struct watcher_status *note)
{
    return note->miner_cfg_changed || note->net_cfg_changed;
}

// An event of name that the agent announced as its own store: the
// announcement is used up.
static bool own_rename(const char *name)
{
    std::lock_guard<std::mutex> lock(own_mutex);
    for (auto it = own_writes.begin(); it != own_writes.end(); ++it) {
        if (it->name == name) {
            own_writes.erase(it);
            return true;
        }
    }
    return false;
}

static void expire_own_writes(unsigned long pass)
{
    std::lock_guard<std::mutex> lock(own_mutex);
    for (auto it = own_writes.begin(); it != own_writes.end();) {
        if (it->ended && pass > it->end_pass)
            it = own_writes.erase(it);
        else
            ++it;
    }
}

// What one read of events found.
enum read_result { READ_FAILED, READ_EVENTS, READ_WATCH_LOST };

// Reads the events that are ready (one read) and marks the watched files
// written or moved in. A full event queue (events were lost) counts as a
// change of both files. READ_WATCH_LOST when the folder's watch went away
// (and with it every later event).
static enum read_result detect_changes(int fd, int wd, struct watcher_status *note)
{
    alignas(struct inotify_event) char buf[EVENT_BUF_SIZE];
    ssize_t len = read(fd, buf, sizeof(buf));
    if (len < 0) {
        LOG_ERROR("Failed to read inotify events");
        return READ_FAILED;
    }
    enum read_result result = READ_EVENTS;
    size_t size = static_cast<size_t>(len);
    size_t off = 0;
    while (size - off >= sizeof(struct inotify_event)) {
        const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
        off += sizeof(struct inotify_event) + ev->len;
        if (off > size)
            break;
        if (ev->mask & IN_Q_OVERFLOW) {
            note->miner_cfg_changed = true;
            note->net_cfg_changed = true;
            continue;
        }
        if ((ev->mask & IN_IGNORED) && ev->wd == wd) {
            result = READ_WATCH_LOST;
            continue;
        }
        if (ev->len == 0 || !(ev->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)))
            continue;
        bool *flag = nullptr;
        if (strcmp(ev->name, MINER_CONFIG_FILE_NAME) == 0)
            flag = &note->miner_cfg_changed;
        else if (strcmp(ev->name, NETWORK_CONFIG_FILE_NAME) == 0)
            flag = &note->net_cfg_changed;
        if (!flag)
            continue;
        if ((ev->mask & IN_MOVED_TO) && own_rename(ev->name))
            continue;
        *flag = true;
    }
    return result;
}

// Watches dir; -1 when it cannot, logged once per loss (lost says whether
// the loss has been logged already).
static int add_watch(int fd, const std::string &dir, bool *lost)
{
    int wd = inotify_add_watch(fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
    if (wd < 0 && !*lost) {
        LOG_ERROR("Failed to watch %s: %s, trying again every second", dir.c_str(),
                  strerror(errno));
        *lost = true;
    }
    return wd;
}

// The watcher thread. Editors and the agent write a file in several steps;
// a change is reported once no event has been read for QUIET_PASSES polls,
// about 3 s after the last write. Only this thread touches the note and calls
// the callback.
static void watch(watcher_callback_t callback, const std::string &dir)
{
    set_thread_name("watcher@agent");
    block_stop_signals();
    // watcher_running was set by watcher_start before the thread was created;
    // setting it again here would undo a stop that came before the thread ran.
    fd_owner in(inotify_init1(IN_CLOEXEC)); // closed when the thread leaves
    if (!in.valid()) {
        LOG_ERROR("%s", strerror(errno));
        LOG_ERROR("Failed to initialize inotify");
        watcher_running = false;
        return;
    }
    // A folder that cannot be watched (not there yet, or gone: removed,
    // unmounted) is tried again every pass. Whatever happened to the files
    // meanwhile was not seen, so a watch regained counts as a change of both.
    bool lost = false;
    int wd = add_watch(in.get(), dir, &lost);

    struct watcher_status note = {false, false};
    int quiet_ms = 0;
    while (watcher_running) {
        unsigned long pass = ++pass_count;
        if (wd < 0) {
            wd = add_watch(in.get(), dir, &lost);
            if (wd >= 0) {
                log_msg(LOG_LEVEL_INFO, "Watching %s again", dir.c_str());
                lost = false;
                note = {true, true};
                quiet_ms = 0;
            }
        }
        struct pollfd pfd = {in.get(), POLLIN, 0};
        int ret = poll(&pfd, 1, POLL_TIMEOUT);
        if (ret < 0 && errno != EINTR) {
            LOG_ERROR("%s", strerror(errno));
            LOG_ERROR("Failed to poll config change events");
            break;
        }
        // A pass that read events may be shorter than POLL_TIMEOUT; the quiet
        // time only counts passes after the last of them. Any event in the
        // folder (a temporary file, the agent's own write) restarts it while
        // a change is pending.
        if (ret > 0 && (pfd.revents & POLLIN)) {
            enum read_result read = detect_changes(in.get(), wd, &note);
            if (read == READ_WATCH_LOST) {
                wd = -1;
                LOG_ERROR("Lost the watch of %s, trying again every second", dir.c_str());
                lost = true;
            }
            if (read != READ_FAILED && has_change(&note))
                quiet_ms = 0;
        }
        expire_own_writes(pass);
        if (!has_change(&note))
            continue;
        if (quiet_ms < QUIET_PASSES * POLL_TIMEOUT) {
            quiet_ms += POLL_TIMEOUT;
            continue;
        }
        if (callback)
            callback(&note);
        note = {false, false};
    }
    watcher_running = false;
}

// Joins a thread that ended by itself, so no joinable thread is left behind.
static void join_finished(void)
{
    if (!watcher_thread.joinable())
        return;
    try {
        watcher_thread.join();
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to join watcher thread, ret=%d", e.code().value());
        watcher_thread.detach();
    }
}

int watcher_start_dir(watcher_callback_t callback, const char *dir)
{
    assert(dir);
    if (watcher_running) {
        log_msg(LOG_LEVEL_WARN, "Watcher is already running");
        return 0;
    }
    join_finished();
    // Set before the thread exists, so that a stop right after the start
    // finds it running.
    watcher_running = true;
    try {
        watcher_thread = std::thread(watch, callback, std::string(dir));
    } catch (const std::system_error &e) {
        LOG_ERROR("Failed to start watcher thread, ret=%d", e.code().value());
        abort();
    }
    return 0;
}

int watcher_start(watcher_callback_t callback)
{
    return watcher_start_dir(callback, PATH_CONFIG_DIR);
}

int watcher_stop(void)
{
    if (!watcher_running) {
        log_msg(LOG_LEVEL_WARN, "Watcher is not running");
        join_finished();
        return 0;
    }
    // The thread sees the cleared flag within one poll timeout.
    watcher_running = false;
    if (!watcher_thread.joinable())
        return 0;
    try {
        watcher_thread.join();
    } catch (const std::system_error &e) {
        // Called from the callback, on the watcher thread itself: it ends
        // when the callback returns.
        LOG_ERROR("Failed to join watcher thread, ret=%d", e.code().value());
        watcher_thread.detach();
        return -1;
    }
    return 0;
}

void watcher_own_write_begin(const char *name)
{
    assert(name);
    std::lock_guard<std::mutex> lock(own_mutex);
    own_writes.push_back({name, false, 0});
}

void watcher_own_write_end(void)
{
    std::lock_guard<std::mutex> lock(own_mutex);
    for (auto it = own_writes.rbegin(); it != own_writes.rend(); ++it) {
        if (!it->ended) {
            it->ended = true;
            it->end_pass = pass_count;
            break;
        }
    }
}

bool watcher_is_running(void)
{
    return watcher_running;
}
