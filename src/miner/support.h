// The miner program: process control, metrics snapshots and pool statistics.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <ctime>
#include <jansson.h>

#include "miner/config.h"
#include "miner/l3plus/config.h"

// ---------------------------------------------------------------------------
// Process control

// Mining was stopped by the agent (and not started again since).
extern std::atomic<bool> miner_is_stopped;
// The miner configuration has autotuner stage 1 or 2 on.
extern std::atomic<bool> miner_is_auto_tune;

// Start (from scratch), restart or stop the miner. The operations run one at
// a time, in request order, on one background worker, so the last request
// decides how the miner ends up; each asks for a status report when it is
// done. Every device script of theirs is waited for 25 s at most (then killed
// with its group); once the process is stopping, the operation under way
// ends after its current script and the queued ones are dropped.
//
// A request that adds nothing to the last operation in line is a WARN and 0:
// a start or stop behind a queued one of its kind, or behind one under way
// when nothing is queued; a restart only behind a queued restart (one under
// way may have read the configuration before the change that asks again).
// A stop with nothing in line and no miner process is a WARN "Miner is not
// running" and 0; a stop behind other operations checks for the process when
// its turn comes. 0, or -1 when the worker cannot be created. Main thread.
int cgminer_start(void);
int cgminer_restart(void);
int cgminer_stop(void);

// The miner process exists ("pidof -s cgminer"). Any thread; runs a shell.
bool cgminer_running(void);
// The miner's API accepts a connection. Any thread.
bool cgminer_ready(void);
// Whether the miner runs once the operations in line are done: the last one
// (queued, else under way) decides, a start or restart yes, a stop no; with
// none, the process check. A stored configuration needs a restart then, even
// while a restart under way has the process gone for a moment.
bool cgminer_will_run(void);

// Waits up to timeout_secs until no miner operation is under way or queued;
// true when none is left. Called before the process tears down what the
// worker uses (logging).
bool cgminer_wait_workers(int timeout_secs);

// ---------------------------------------------------------------------------
// Metrics snapshot

enum miner_states {
    MINER_STATE_INITIALIZING = 0,
    MINER_STATE_MINING = 1,
    MINER_STATE_AUTO_TUNING = 2,
    MINER_STATE_SHUTTING_DOWN = 3,
    MINER_STATE_STOPPED = 4,
    MINER_STATE_FAILURE = 5,
    MINER_STATE_RESTARTING = 6,
    MINER_STATE_UNKNOWN = 7,
};

struct kv_fan_stats_t {
    int id;    // 1 or 2; 0 = no data
    int speed; // percent, 0-100
    int rpm;
};

struct kv_chain_stats_t {
    int id; // the miner's chain number; 0 = the slot holds no data
    int num_chips;
    double hash_rate;
    double freq;
    double volt;
    double watt;
    int hw_errors;
    int chip_temp;
    int pcb_temp;
};

struct kv_metrics_t {
    time_t timestamp;
    int uptime;
    enum miner_states state;
    double hashrate;
    double hashrate_avg;
    double freq;
    int temp;
    double watt;
    int hw_errors;
    kv_fan_stats_t fan_list[2];
    unsigned fan_count;
    // Slot i belongs to chain CHAIN_IDS[i], with or without data.
    kv_chain_stats_t chain_list[CHAIN_COUNT];
    unsigned chain_count;
};

// A new snapshot from the miner's "stats" answer (free() it), or null when the
// miner cannot be read. Status and metrics threads.
kv_metrics_t *cgminer_metrics(void);
enum miner_states parse_miner_state(const char *text);
// The chain and fan parts of a snapshot, from the stats object.
void parse_chains_data(json_t *root, kv_metrics_t *metrics);
void parse_fans_data(json_t *root, kv_metrics_t *metrics);
bool cgminer_autotune_in_progress(void);
// The leading decimal number of a text such as "503.12" (0 when there is
// none): blanks, a sign, digits, a point and an exponent. Only plain decimal
// notation: no hex, inf or nan, which would turn into figures that cannot be
// reported. The miner's rate texts are read with it. Any thread.
double leading_decimal(const char *text);

// ---------------------------------------------------------------------------
// Pool statistics

enum kv_pool_status_t {
    POOL_NOT_CONFIGURED = 0,
    POOL_ACTIVE = 1,
    POOL_ALIVE = 2,
    POOL_DEAD = 3,
};

struct kv_pool_stats_t {
    bool asicboost;
    char diff[20];
    uint64_t accepted;
    uint64_t rejected;
    uint64_t stale;
    enum kv_pool_status_t status;
};

#define SVC_FEE_POOLS_MAX 4

struct kv_pools_stats_t {
    kv_pool_stats_t main;
    kv_pool_stats_t reserved;
    kv_pool_stats_t reserved2;
    kv_pool_stats_t svc_fee_list[SVC_FEE_POOLS_MAX];
    unsigned svc_fee_count;
};

// A new record from the miner's "pools" answer (free() it), or null when the
// answer cannot be used. Status thread.
kv_pools_stats_t *cgminer_pools_stats(void);

// ---------------------------------------------------------------------------
// Configuration transaction on /config/cgminer.conf. Main thread only: the
// command handlers own the record.

// The record of the open transaction; all zero outside one.
extern struct miner_config miner_config;
// A transaction is open (the file is loaded into miner_config).
extern bool miner_config_loaded;
// A setter changed the record in the open transaction.
extern bool miner_config_changed;

// Loads the file into the record. 0, or -1.
int cgminer_config_begin_changes(void);
// Stores the record when something changed (announced to the watcher as the
// agent's own write) and clears it; a committed record sets
// miner_is_auto_tune. 1 stored, 0 nothing to store (nothing changed, or the
// file already holds exactly that text), -1 the store failed.
int cgminer_config_end_changes(void);
// Replaces pool pool_idx (0-2) or appends it right after the last one.
// A text longer than the record holds (POOL_URL_MAX, POOL_WORKER_MAX,
// POOL_PASSWD_MAX bytes) is refused. -1 refused, 0 already so, 1 changed.
int cgminer_pool(int pool_idx, const char *url, const char *worker, const char *passwd);

// {"network": view of /config/network.conf}, or null when the file cannot be
// loaded. Any thread.
json_t *cgminer_net_config(void);

// ---------------------------------------------------------------------------
// Chip metrics

enum kv_chip_state_t {
    CHIP_STATE_UNKNOWN = 0,
    CHIP_STATE_FAST = 1,
    CHIP_STATE_SLOW = 2,
    CHIP_STATE_UNSTABLE = 3,
};

struct kv_chip_info_t {
    int chip_id; // 1-72
    double hash_rate;
    uint16_t freq;
    bool custom_freq; // the chip has a frequency of its own
    enum kv_chip_state_t state;
};

struct kv_chip_metrics_t {
    int chain_id;
    kv_chip_info_t chips[CHIPS_PER_CHAIN];
};

// A chip's hash rate against the one its frequency should give (freq / 222):
// no hash rate at all is UNKNOWN; from 0.85 up to below 2.5 of it FAST, from
// 0.5 up to below 0.85 SLOW, anything else UNSTABLE.
enum kv_chip_state_t chip_state(double hash_rate, uint16_t freq);
// The 72 chips of a chain (one of CHAIN_IDS, checked by the caller): their
// frequencies from /config/cgminer.conf, their hash rates from the miner's
// chip dump (all 0, state UNKNOWN, when it cannot be read). A new record
// (free() it), or null when the configuration cannot be loaded. Main thread.
kv_chip_metrics_t *cgminer_chip_metrics(int chain);
