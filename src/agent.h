// The agent process: state record, start-up, run loop and the messages the
// agent sends on its own account.
#pragma once

#include <atomic>

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
bool agent_is_connected(void);
bool agent_is_authenticated(void);
// Requests an orderly stop; any thread.
int agent_stop(void);

// Queues an "update_config" message with the device configuration; the
// result of agent_enqueue_message. Any thread.
int upload_miner_config(void);
