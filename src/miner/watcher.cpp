#include "miner/watcher.h"

#include <atomic>
#include <cassert>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <poll.h>
#include <pthread.h>
#include <string>
#include <sys/inotify.h>
#include <system_error>
#include <thread>
#include <unistd.h>

#include "log.h"
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
static std::atomic<bool> watcher_paused{false};

namespace
{
// The inotify descriptor, closed when the thread leaves.
struct inotify_owner {
    int fd;
    inotify_owner() : fd(inotify_init1(IN_CLOEXEC)) {}
    ~inotify_owner()
    {
        if (fd >= 0)
            close(fd);
    }
    inotify_owner(const inotify_owner &) = delete;
    inotify_owner &operator=(const inotify_owner &) = delete;
};
} // namespace

static bool has_change(const struct watcher_status *note)
{
    return note->miner_cfg_changed || note->net_cfg_changed;
}

// Reads the events that are ready (one read) and marks the watched files
// written or moved in. Whether the note holds a change, counting the ones
// still pending from earlier passes; false when the read fails.
static bool detect_changes(int fd, struct watcher_status *note)
{
    alignas(struct inotify_event) char buf[EVENT_BUF_SIZE];
    ssize_t len = read(fd, buf, sizeof(buf));
    if (len < 0) {
        LOG_ERROR("Failed to read inotify events");
        return false;
    }
    size_t size = static_cast<size_t>(len);
    size_t off = 0;
    while (size - off >= sizeof(struct inotify_event)) {
        const auto *ev = reinterpret_cast<const struct inotify_event *>(buf + off);
        off += sizeof(struct inotify_event) + ev->len;
        if (off > size)
            break;
        if (ev->len == 0 || !(ev->mask & (IN_MOVED_TO | IN_CLOSE_WRITE)))
            continue;
        if (strcmp(ev->name, MINER_CONFIG_FILE_NAME) == 0)
            note->miner_cfg_changed = true;
        else if (strcmp(ev->name, NETWORK_CONFIG_FILE_NAME) == 0)
            note->net_cfg_changed = true;
    }
    return has_change(note);
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

    inotify_owner in;
    if (in.fd < 0) {
        LOG_ERROR("%s", strerror(errno));
        LOG_ERROR("Failed to initialize inotify");
        watcher_running = false;
        return;
    }
    // A folder that cannot be watched leaves a watcher that reports nothing.
    inotify_add_watch(in.fd, dir.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);

    struct watcher_status note = {false, false};
    int quiet_ms = 0;
    while (watcher_running) {
        struct pollfd pfd = {in.fd, POLLIN, 0};
        int ret = poll(&pfd, 1, POLL_TIMEOUT);
        if (ret < 0 && errno != EINTR) {
            LOG_ERROR("%s", strerror(errno));
            LOG_ERROR("Failed to poll config change events");
            break;
        }
        // A pass that read events may be shorter than POLL_TIMEOUT; the quiet
        // time only counts passes after the last of them.
        if (ret > 0 && (pfd.revents & POLLIN)) {
            if (detect_changes(in.fd, &note)) {
                // The agent's own write, and whatever was pending before it.
                if (watcher_paused)
                    note = {false, false};
                quiet_ms = 0;
            }
        }
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

void watcher_pause(void)
{
    watcher_paused = true;
}

void watcher_resume(void)
{
    watcher_paused = false;
}

bool watcher_is_running(void)
{
    return watcher_running;
}
