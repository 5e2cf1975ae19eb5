// Status reporting: a "status" message when the miner state changes, when a
// report is asked for, and otherwise every 30 seconds.
#pragma once

#include <jansson.h>

#include "miner/network.h"
#include "miner/support.h"

// Starts the "status@agent" thread unless it runs. 0; aborts when the thread
// cannot be created. Main thread.
int status_start_reporting(void);
// Asks the thread to end and waits for it (at once while it waits, within
// one miner API call while it reads the miner), then drops the latest
// snapshot and pool record. 0. Main thread.
int status_stop_reporting(void);

// Asks for a status report now and wakes the reporting thread; any thread.
int status_report_now(void);
// Status reports off/on (a registration holds them back); any thread.
void status_disalbe_reporting(void);
void status_enable_reporting(void);

bool status_reporting_enabled(void);
// Whether a report has been asked for and not yet taken; clears the request
// when take is true.
bool status_report_pending(bool take);

// The reported texts.
const char *translate_miner_state(int state);
const char *translate_pool_status(int status);

// The state reported for a snapshot (null: none could be taken), with the
// auto-tune and stop flags and, without a snapshot, the process check.
enum miner_states status_reported_state(const kv_metrics_t *metrics);
// Whether a status report is due: the state changed since the last report
// (prev), one was asked for, or 30 seconds have passed.
bool status_report_due(const kv_metrics_t *metrics, enum miner_states prev, bool forced,
                       int secs_since_report);
// The "status" message, or null (logged) when it cannot be built; ni null
// means the interface could not be read. Any thread.
json_t *status_build_message(const kv_metrics_t *metrics, const kv_pools_stats_t *pools,
                             const struct netinfo *ni);
