// The agent process: state record, start-up, run loop and the messages the
// agent sends on its own account.
#pragma once

#include <atomic>
#include <jansson.h>

#include "config.h"
#include "util.h"

#define AGENT_VERSION "2.0.0"

struct agent_state {
    struct url_info server;
    struct agent_config config;
    // Written on the main thread; other threads only read them (the stop
    // request also writes interrupt). Atomic so those reads are well defined.
    std::atomic<bool> running;
    std::atomic<bool> connected;
    std::atomic<bool> authenticated;
    std::atomic<bool> interrupt;
};

int agent_main(int argc, char **argv);

struct agent_config *agent_config(void);
// The agent's state record, the one its connection's vhd points at.
struct agent_state *agent_get_state(void);
bool agent_is_connected(void);
bool agent_is_authenticated(void);
// Requests an orderly stop; any thread.
int agent_stop(void);

// Queues an "update_config" message with the device configuration (the
// views of /config/cgminer.conf and /config/network.conf); the result of
// agent_enqueue_message. Any thread.
int upload_miner_config(void);
// The configuration watcher's callback: uploads the configuration. Watcher thread.
struct watcher_status;
void handle_config_changes(struct watcher_status *status);
// Runs the kernel log script (at most 20 s) and queues "logs", or "get_logs"
// with "ok" false and the reason. -1 without a connection, else the queue's
// result. Main thread.
int miner_send_logs(const char *req_id);
// The message miner_send_logs queues (runs the script); null only when even
// the failure form cannot be built.
json_t *agent_logs_message(const char *req_id);
// True once if -u was given: the first login then uploads the configuration.
bool agent_take_upload_request(void);
