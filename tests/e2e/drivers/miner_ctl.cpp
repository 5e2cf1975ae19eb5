// Drives the agent's miner control from inside a device sandbox, for the
// end-to-end tests: each argument is one step, run in order; each step prints
// one line "RESULT <step> <json>" on standard output.
//
//   kvminerctl running | ready | start | stop | restart | wait | stopped |
//              marker | metrics | pools | sleep:SECS | exit[:SECS] |
//              begin | pool:IDX,URL,USER,PASS | end | view | netview | autotune |
//              watch | unwatch | state
//
// "watch" starts the configuration watcher on /config; each change it reports
// prints "RESULT changed {...}".
//
// "exit[:SECS]" ends the way the agent does: it waits up to SECS (default 30)
// for workers under way, then tears logging down, or leaves at once without
// teardown when a worker is still running.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <jansson.h>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <unistd.h>

#include "log.h"
#include "miner/l3plus/support.h"
#include "miner/status.h"
#include "miner/support.h"
#include "miner/watcher.h"
#include "owners.h"
#include "paths.h"

namespace
{

void result(const std::string &step, json_t *value)
{
    json_ptr owner(value);
    char *text = value ? json_dumps(value, JSON_COMPACT | JSON_ENCODE_ANY) : nullptr;
    printf("RESULT %s %s\n", step.c_str(), text ? text : "null");
    fflush(stdout);
    free(text);
}

json_t *metrics_json(const kv_metrics_t &m)
{
    json_t *chains = json_array();
    for (unsigned i = 0; i < m.chain_count; i++) {
        const kv_chain_stats_t &c = m.chain_list[i];
        json_array_append_new(chains,
                              json_pack("{si,si,sf,sf,sf,sf,si,si,si}", "id", c.id, "num_chips",
                                        c.num_chips, "hash_rate", c.hash_rate, "freq", c.freq,
                                        "volt", c.volt, "watt", c.watt, "hw_errors", c.hw_errors,
                                        "chip_temp", c.chip_temp, "pcb_temp", c.pcb_temp));
    }
    json_t *fans = json_array();
    for (unsigned i = 0; i < m.fan_count; i++)
        json_array_append_new(fans, json_pack("{si,si,si}", "id", m.fan_list[i].id, "speed",
                                              m.fan_list[i].speed, "rpm", m.fan_list[i].rpm));
    return json_pack("{si,si,sf,sf,sf,si,sf,si,so,so}", "state", m.state, "uptime", m.uptime,
                     "hashrate", m.hashrate, "hashrate_avg", m.hashrate_avg, "freq", m.freq, "temp",
                     m.temp, "watt", m.watt, "hw_errors", m.hw_errors, "chains", chains, "fans",
                     fans);
}

json_t *pool_json(const kv_pool_stats_t &p)
{
    return json_pack("{si,ss,sI,sI,sI}", "status", p.status, "diff", p.diff, "accepted",
                     static_cast<json_int_t>(p.accepted), "rejected",
                     static_cast<json_int_t>(p.rejected), "stale",
                     static_cast<json_int_t>(p.stale));
}

json_t *pools_json(const kv_pools_stats_t &p)
{
    json_t *fees = json_array();
    for (unsigned i = 0; i < p.svc_fee_count; i++)
        json_array_append_new(fees, pool_json(p.svc_fee_list[i]));
    return json_pack("{so,so,so,so}", "main", pool_json(p.main), "reserved", pool_json(p.reserved),
                     "reserved2", pool_json(p.reserved2), "svc_fee", fees);
}

void print_change(struct watcher_status *status)
{
    result("changed", json_pack("{sb,sb}", "miner", status->miner_cfg_changed, "net",
                                status->net_cfg_changed));
}

json_t *marker(void)
{
    std::ifstream in(PATH_STOP_TRIGGER);
    if (!in)
        return json_null();
    std::stringstream text;
    text << in.rdbuf();
    return json_string(text.str().c_str());
}
} // namespace

int main(int argc, char **argv)
{
    if (log_init() != 0) {
        fprintf(stderr, "kvminerctl: cannot initialise logging\n");
        return 2;
    }
    for (int i = 1; i < argc; i++) {
        std::string step = argv[i];
        std::string arg;
        size_t colon = step.find(':');
        if (colon != std::string::npos) {
            arg = step.substr(colon + 1);
            step.resize(colon);
        }
        if (step == "running") {
            result(step, json_boolean(cgminer_running()));
        } else if (step == "ready") {
            result(step, json_boolean(cgminer_ready()));
        } else if (step == "start") {
            result(step, json_integer(cgminer_start()));
        } else if (step == "stop") {
            result(step, json_integer(cgminer_stop()));
        } else if (step == "restart") {
            result(step, json_integer(cgminer_restart()));
        } else if (step == "wait") {
            result(step, json_boolean(cgminer_wait_workers(60)));
        } else if (step == "stopped") {
            result(step, json_boolean(miner_is_stopped));
        } else if (step == "marker") {
            result(step, marker());
        } else if (step == "metrics") {
            malloc_ptr<kv_metrics_t> m(cgminer_metrics());
            result(step, m ? metrics_json(*m) : nullptr);
        } else if (step == "pools") {
            malloc_ptr<kv_pools_stats_t> p(cgminer_pools_stats());
            result(step, p ? pools_json(*p) : nullptr);
        } else if (step == "begin") {
            result(step, json_integer(cgminer_config_begin_changes()));
        } else if (step == "pool") {
            std::string fields[4];
            std::stringstream in(arg);
            for (auto &f : fields)
                std::getline(in, f, ',');
            result(step, json_integer(cgminer_pool(atoi(fields[0].c_str()), fields[1].c_str(),
                                                   fields[2].c_str(), fields[3].c_str())));
        } else if (step == "end") {
            result(step, json_integer(cgminer_config_end_changes()));
        } else if (step == "view") {
            result(step, cgminer_config());
        } else if (step == "netview") {
            result(step, cgminer_net_config());
        } else if (step == "autotune") {
            result(step, json_boolean(cgminer_autotune_in_progress()));
        } else if (step == "state") {
            malloc_ptr<kv_metrics_t> m(cgminer_metrics());
            result(step, json_string(translate_miner_state(status_reported_state(m.get()))));
        } else if (step == "watch") {
            result(step, json_integer(watcher_start(print_change)));
        } else if (step == "unwatch") {
            result(step, json_integer(watcher_stop()));
        } else if (step == "sleep") {
            std::this_thread::sleep_for(std::chrono::duration<double>(atof(arg.c_str())));
            result(step, json_true());
        } else if (step == "exit") {
            int secs = arg.empty() ? 30 : atoi(arg.c_str());
            if (!cgminer_wait_workers(secs)) {
                log_msg(LOG_LEVEL_WARN, "Miner worker still running, exiting without cleanup");
                result(step, json_false());
                _exit(0);
            }
            result(step, json_true());
            log_cleanup();
            return 0;
        } else {
            fprintf(stderr, "kvminerctl: unknown step %s\n", argv[i]);
            return 2;
        }
    }
    log_cleanup();
    return 0;
}
