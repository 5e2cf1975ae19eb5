#include "miner/status.h"

#include <atomic>
#include <cstdlib>
#include <mutex>

#include "agent.h"
#include "log.h"
#include "miner/firmware.h"
#include "miner/metrics.h"
#include "owners.h"
#include "periodic.h"
#include "paths.h"
#include "protocol.h"
#include "util.h"

#define STATUS_CYCLE_SECS 5
#define STATUS_PERIOD_SECS 30

static void status_pass(void);

// A pass every 5 seconds, at once when a report is asked for.
static struct periodic_thread status_thread("status@agent", STATUS_CYCLE_SECS, status_pass,
                                            "Failed to create status reporting thread, code: %d");
static std::atomic<bool> reporting_disabled{false};
static std::mutex report_mutex;
static bool force_status_report = false; // guarded by report_mutex

// Touched only by the status thread, and by the stop after the thread ended.
static malloc_ptr<kv_metrics_t> miner_metrics;
static malloc_ptr<kv_pools_stats_t> pools_stats;
static enum miner_states prev_state = MINER_STATE_INITIALIZING;
static int since_report = 0; // seconds, counted in passes

int status_report_now(void)
{
    {
        std::lock_guard<std::mutex> lock(report_mutex);
        force_status_report = true;
    }
    periodic_wake(&status_thread);
    return 0;
}

void status_disalbe_reporting(void)
{
    reporting_disabled = true;
}

void status_enable_reporting(void)
{
    reporting_disabled = false;
}

bool status_reporting_enabled(void)
{
    return !reporting_disabled;
}

bool status_report_pending(bool take)
{
    std::lock_guard<std::mutex> lock(report_mutex);
    bool pending = force_status_report;
    if (take)
        force_status_report = false;
    return pending;
}

const char *translate_miner_state(int state)
{
    switch (state) {
    case MINER_STATE_INITIALIZING:
        return "initializing";
    case MINER_STATE_MINING:
        return "mining";
    case MINER_STATE_AUTO_TUNING:
        return "autotuning";
    case MINER_STATE_SHUTTING_DOWN:
    case MINER_STATE_RESTARTING:
        return "restarting";
    case MINER_STATE_STOPPED:
        return "pause";
    case MINER_STATE_FAILURE:
        return "error";
    default:
        return "unknown";
    }
}

const char *translate_pool_status(int status)
{
    switch (status) {
    case POOL_ACTIVE:
        return "active";
    case POOL_ALIVE:
        return "alive";
    case POOL_DEAD:
        return "dead";
    default:
        return "unknown";
    }
}

enum miner_states status_reported_state(const kv_metrics_t *metrics)
{
    if (metrics)
        return cgminer_autotune_in_progress() ? MINER_STATE_AUTO_TUNING : metrics->state;
    if (miner_is_stopped)
        return MINER_STATE_STOPPED;
    return cgminer_running() ? MINER_STATE_INITIALIZING : MINER_STATE_RESTARTING;
}

static json_t *build_network_info(const struct netinfo *ni)
{
    if (!ni)
        return nullptr;
    char ip[20], netmask[20], gateway[20], mac[20];
    json_t *dns = json_array();
    for (int i = 0; i < ni->ns_count && i < NETINFO_MAX_NS; i++) {
        char buf[20];
        json_array_append_new(dns, json_string(inet_to_str(ni->ns[i], buf)));
    }
    return json_pack("{ss,ss,ss,so,ss}", "ip", inet_to_str(ni->ip, ip), "netmask",
                     inet_to_str(ni->netmask, netmask), "gateway",
                     inet_to_str(ni->gateway, gateway), "dnsservers", dns, "mac",
                     ether_to_str(&ni->mac, mac));
}

static json_t *build_pool_stats(const kv_pool_stats_t *pool)
{
    if (pool->status == POOL_NOT_CONFIGURED)
        return nullptr;
    return json_pack("{sb,ss,sI,sI,sI,ss}", "boost", pool->asicboost, "difficulty", pool->diff,
                     "accepted", static_cast<json_int_t>(pool->accepted), "rejected",
                     static_cast<json_int_t>(pool->rejected), "stale",
                     static_cast<json_int_t>(pool->stale), "status",
                     translate_pool_status(pool->status));
}

static json_t *build_pools_stats(const kv_pools_stats_t *pools)
{
    if (!pools)
        return nullptr;
    json_t *fees = json_array();
    for (unsigned i = 0; i < pools->svc_fee_count && i < SVC_FEE_POOLS_MAX; i++) {
        json_t *fee = build_pool_stats(&pools->svc_fee_list[i]);
        if (fee)
            json_array_append_new(fees, fee);
    }
    return json_pack("{so*,so*,so*,so}", "main", build_pool_stats(&pools->main), "reserved",
                     build_pool_stats(&pools->reserved), "reserved2",
                     build_pool_stats(&pools->reserved2), "service_fee", fees);
}

json_t *status_build_message(const kv_metrics_t *metrics, const kv_pools_stats_t *pools,
                             const struct netinfo *ni)
{
    int uptime = metrics ? metrics->uptime : 0;
    json_ptr state(
        json_pack("{ss}", "name", translate_miner_state(status_reported_state(metrics))));
    json_ptr network(build_network_info(ni));
    json_ptr pools_obj(build_pools_stats(pools));
    json_error_t err;
    json_t *msg =
        json_pack_ex(&err, 0, "{ss,ss,ss,si,sO*,sO,sO*}", "type", "status", "firmware_id",
                     firmware_name(), "firmware_ver", firmware_version(), "uptime", uptime, "state",
                     state.get(), "network", network.get(), "pools", pools_obj.get());
    if (!msg) {
        LOG_ERROR("%s", err.text);
        LOG_ERROR("Failed to build status msg");
    }
    return msg;
}

bool status_report_due(const kv_metrics_t *metrics, enum miner_states prev, bool forced,
                       int secs_since_report)
{
    bool changed = metrics ? metrics->state != prev : prev != MINER_STATE_RESTARTING;
    return changed || forced || secs_since_report >= STATUS_PERIOD_SECS;
}

// Status thread: the latest snapshot and pool record.
static void update_miner_status(void)
{
    miner_metrics.reset(cgminer_metrics());
    pools_stats.reset(periodic_running(&status_thread) ? cgminer_pools_stats() : nullptr);
}

// Status thread.
static int status_report(void)
{
    if (reporting_disabled)
        return 0;
    if (!agent_is_authenticated())
        return -1;
    struct netinfo ni;
    bool have_ni = net_get_info(NET_IFACE, &ni) == 0;
    json_t *msg =
        status_build_message(miner_metrics.get(), pools_stats.get(), have_ni ? &ni : nullptr);
    if (!msg)
        return -1;

    if (miner_metrics) {
        // The moment mining starts, the server gets the figures at once.
        if (prev_state == MINER_STATE_INITIALIZING && miner_metrics->state == MINER_STATE_MINING) {
            malloc_ptr<kv_metrics_t> fresh(cgminer_metrics());
            if (fresh)
                metrics_send(fresh.get());
        }
        prev_state =
            cgminer_autotune_in_progress() ? MINER_STATE_AUTO_TUNING : miner_metrics->state;
    } else if (cgminer_running()) {
        prev_state = MINER_STATE_INITIALIZING;
    } else {
        prev_state = miner_is_stopped ? MINER_STATE_STOPPED : MINER_STATE_RESTARTING;
    }
    return agent_enqueue_message(msg);
}

static void status_pass(void)
{
    update_miner_status();
    if (!periodic_running(&status_thread))
        return;
    bool forced = status_report_pending(true);
    if (status_report_due(miner_metrics.get(), prev_state, forced, since_report)) {
        status_report();
        since_report = 0;
    }
    // The wait that follows: a wake-up counts as a whole cycle.
    since_report += STATUS_CYCLE_SECS;
}

int status_start_reporting(void)
{
    if (periodic_running(&status_thread))
        return 0;
    prev_state = MINER_STATE_INITIALIZING;
    since_report = 0;
    return periodic_start(&status_thread);
}

int status_stop_reporting(void)
{
    periodic_stop(&status_thread);
    miner_metrics.reset();
    pools_stats.reset();
    return 0;
}
