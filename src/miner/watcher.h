// Watcher of the configuration files in /config: reports changes of the miner
// and network configuration once the files have settled.
#pragma once

// What changed since the last report.
struct watcher_status {
    bool miner_cfg_changed; // MINER_CONFIG_FILE_NAME was written or moved in
    bool net_cfg_changed;   // NETWORK_CONFIG_FILE_NAME was written or moved in
};

// Called on the watcher thread about 3 s after the last write of a watched
// file; status is borrowed for the call.
typedef void (*watcher_callback_t)(struct watcher_status *status);

// Starts the watcher thread on PATH_CONFIG_DIR. A null callback is allowed
// (changes are then only cleared). Always 0: an already running watcher is
// left as it is (warning); a thread that cannot be created aborts the process.
// Start and stop are called from one thread at a time.
int watcher_start(watcher_callback_t callback);
// Same as watcher_start on another folder (tests).
int watcher_start_dir(watcher_callback_t callback, const char *dir);
// Asks the thread to end and joins it (within about one second). 0, or -1
// when the join fails. A watcher that is not running is a warning and 0.
int watcher_stop(void);

// The agent's own store of the file name in the watched folder: announced
// right before the store (its rename into place is then not reported), and
// ended once the store has returned, whether or not it wrote. Every other
// event of that file is reported as usual. An announcement covers one rename
// and expires after the watcher's first pass that begins after its end.
// Any thread; begin and end in pairs.
void watcher_own_write_begin(const char *name);
void watcher_own_write_end(void);

// Whether the watcher thread runs (diagnostics and tests).
bool watcher_is_running(void);
