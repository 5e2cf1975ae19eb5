#include "miner/metrics.h"

#include <cassert>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "owners.h"
#include "periodic.h"
#include "protocol.h"
#include "util.h"

#define METRICS_PERIOD_SECS 10

static void metrics_pass(void);

static struct periodic_thread metrics_thread("metrics@agent", METRICS_PERIOD_SECS, metrics_pass,
                                             "Failed to create metrics thread, code=%d");

static json_t *build_fan(const kv_fan_stats_t *fan)
{
    char id[10];
    snprintf(id, sizeof(id), "%d", fan->id);
    return json_pack("{ss,si,si}", "id", id, "speed", fan->speed, "rpm", fan->rpm);
}

static json_t *build_chain(const kv_chain_stats_t *chain)
{
    char id[10];
    snprintf(id, sizeof(id), "%d", chain->id);
    return json_pack("{ss,si,sf,sf,sf,sf,si,si,si}", "id", id, "num_chips", chain->num_chips,
                     "hash_rate", chain->hash_rate, "freq", chain->freq, "volt", chain->volt,
                     "watt", chain->watt, "hw_errors", chain->hw_errors, "chip_temp",
                     chain->chip_temp, "pcb_temp", chain->pcb_temp);
}

json_t *metrics_build_message(const kv_metrics_t *m)
{
    assert(m);
    json_ptr fans(json_array());
    for (unsigned i = 0; i < m->fan_count && i < 2; i++)
        json_array_append_new(fans.get(), build_fan(&m->fan_list[i]));
    json_ptr chains(json_array());
    for (unsigned i = 0; i < m->chain_count && i < CHAIN_COUNT; i++)
        json_array_append_new(chains.get(), build_chain(&m->chain_list[i]));

    json_error_t err;
    json_t *root = json_pack_ex(&err, 0, "{ss,sI,sf,sf,sf,si,sf,si,sO,sO}", "type", "metrics",
                                "timestamp", static_cast<json_int_t>(m->timestamp), "hash_rate",
                                m->hashrate, "hashrate_avg", m->hashrate_avg, "freq", m->freq,
                                "temp", m->temp, "watt", m->watt, "hw_errors", m->hw_errors, "fans",
                                fans.get(), "chains", chains.get());
    if (!root) {
        LOG_ERROR("%s", err.text);
        LOG_ERROR("Failed to build metrics message");
    }
    return root;
}

int metrics_send(const kv_metrics_t *metrics)
{
    json_t *root = metrics_build_message(metrics);
    if (!root)
        return -1;
    return agent_enqueue_message(root);
}

int metrics_send_zeroes(void)
{
    kv_metrics_t zero;
    memset(&zero, 0, sizeof(zero));
    zero.timestamp = time(nullptr);
    return metrics_send(&zero);
}

// One snapshot, one message.
static void metrics_pass(void)
{
    malloc_ptr<kv_metrics_t> m(cgminer_metrics());
    if (m)
        metrics_send(m.get());
}

int metrics_start(void)
{
    return periodic_start(&metrics_thread);
}

int metrics_stop(void)
{
    periodic_stop(&metrics_thread);
    return 0;
}
