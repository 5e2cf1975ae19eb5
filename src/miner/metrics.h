// Metrics reporting: a "metrics" message every 10 seconds from a fresh
// snapshot of the miner.
#pragma once

#include "miner/support.h"

// Starts the "metrics@agent" thread unless it runs. 0; aborts when the thread
// cannot be created. Main thread.
int metrics_start(void);
// Asks the thread to end and waits for it: at once while it waits, within one
// miner API call (5 s) while it reads the miner. 0. Main thread.
int metrics_stop(void);

// Queues the "metrics" message of a snapshot (borrowed). The queue's result,
// or -1 when the message cannot be built. Any thread.
int metrics_send(const kv_metrics_t *metrics);
// The message of an all-zero snapshot taken now.
int metrics_send_zeroes(void);
// The message itself (for tests); null when it cannot be built.
json_t *metrics_build_message(const kv_metrics_t *metrics);
