// Cost of the reporting cycles, for instruction counting under callgrind
// (scripts/bench-footprint.sh) against the miner on 127.0.0.1:4028 (the
// simulated miner in the device sandbox):
//
//   status_cycle   what the status thread does every 5 s: the miner snapshot
//                  (stats call, process check, readiness probe), the pool
//                  record (pools call), and the status message as it is
//                  serialised for the server (network figures included)
//   metrics_cycle  what the metrics thread does every 10 s: the snapshot and
//                  the metrics message, serialised
//
// The serialisation is the session's (indented, 10 significant digits); the
// write through libwebsockets (deflate, TLS) is not part of a cycle here.
//
//   api-status     only the miner API exchanges of a status cycle (stats,
//                  readiness probe, pools), for the CPU-time comparison
//   api-metrics    only those of a metrics cycle (stats, readiness probe)
//
//   bench_cycle [-n CYCLES] [-k status|metrics|api-status|api-metrics]
//
// One cycle runs first as a warm-up (lazy symbol binding, first-use
// allocations); under callgrind the counts start after it. Each cycle runs
// in a function of its own (not inlined) so that callgrind's inclusive
// counts of status_cycle / metrics_cycle divided by CYCLES are the cost of
// one cycle, and those of api_call_cmd / api_is_alive the part that is the
// miner API exchange. Also prints the CPU time per cycle (this process, and
// the processes it spawned).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <valgrind/callgrind.h>

#include "log.h"
#include "miner/metrics.h"
#include "miner/network.h"
#include "miner/api.h"
#include "miner/status.h"
#include "miner/support.h"
#include "paths.h"

extern "C" size_t status_cycle(void);
extern "C" size_t metrics_cycle(void);
extern "C" size_t api_cycle(bool with_pools);

static size_t serialised(json_t *msg)
{
    const size_t flags = JSON_INDENT(2) | JSON_REAL_PRECISION(10);
    size_t len = json_dumpb(msg, nullptr, 0, flags);
    std::string buf(len, '\0');
    json_dumpb(msg, &buf[0], len, flags);
    json_decref(msg);
    return len;
}

extern "C" __attribute__((noinline)) size_t status_cycle(void)
{
    kv_metrics_t *m = cgminer_metrics();
    kv_pools_stats_t *p = cgminer_pools_stats();
    struct netinfo ni;
    bool have_ni = net_get_info(NET_IFACE, &ni) == 0;
    json_t *msg = status_build_message(m, p, have_ni ? &ni : nullptr);
    size_t len = msg && m && p ? serialised(msg) : 0;
    if (msg && !len)
        json_decref(msg);
    free(m);
    free(p);
    return len;
}

extern "C" __attribute__((noinline)) size_t metrics_cycle(void)
{
    kv_metrics_t *m = cgminer_metrics();
    if (!m)
        return 0;
    size_t len = serialised(metrics_build_message(m));
    free(m);
    return len;
}

// The exchanges alone: what status_cycle (with_pools) or metrics_cycle ask the miner.
extern "C" __attribute__((noinline)) size_t api_cycle(bool with_pools)
{
    size_t ok = 1;
    json_t *res = nullptr;
    ok &= api_call_cmd("stats", &res) == 0 ? 1 : 0;
    json_decref(res);
    ok &= api_is_alive() ? 1 : 0;
    if (with_pools) {
        ok &= api_call_cmd("pools", &res) == 0 ? 1 : 0;
        json_decref(res);
    }
    return ok;
}

static size_t api_status_cycle(void)
{
    return api_cycle(true);
}

static size_t api_metrics_cycle(void)
{
    return api_cycle(false);
}

static double cpu_seconds(int who)
{
    struct rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

int main(int argc, char **argv)
{
    int cycles = 20;
    std::string kind = "status";
    int opt;
    while ((opt = getopt(argc, argv, "n:k:")) != -1) {
        if (opt == 'n')
            cycles = atoi(optarg);
        else if (opt == 'k')
            kind = optarg;
        else
            return 2;
    }
    if (cycles <= 0 ||
        (kind != "status" && kind != "metrics" && kind != "api-status" && kind != "api-metrics")) {
        fprintf(stderr,
                "usage: bench_cycle [-n CYCLES] [-k status|metrics|api-status|api-metrics]\n");
        return 2;
    }
    if (log_init() != 0)
        return 2;
    size_t (*cycle)(void) = kind == "status"       ? status_cycle
                            : kind == "metrics"    ? metrics_cycle
                            : kind == "api-status" ? api_status_cycle
                                                   : api_metrics_cycle;
    if (!cycle()) {
        fprintf(stderr, "bench_cycle: the miner does not answer\n");
        return 1;
    }
    CALLGRIND_ZERO_STATS;
    double cpu0 = cpu_seconds(RUSAGE_SELF), child0 = cpu_seconds(RUSAGE_CHILDREN);
    size_t bytes = 0;
    int failures = 0;
    for (int i = 0; i < cycles; i++) {
        size_t n = cycle();
        bytes += n;
        failures += n ? 0 : 1;
    }
    double cpu = cpu_seconds(RUSAGE_SELF) - cpu0;
    double child = cpu_seconds(RUSAGE_CHILDREN) - child0;
    printf("%s: %d cycles, %d failed, CPU per cycle %.0f us (this process) + %.0f us (spawned "
           "processes)",
           kind.c_str(), cycles, failures, cpu * 1e6 / cycles, child * 1e6 / cycles);
    if (kind.rfind("api", 0) != 0)
        printf(", %.0f bytes per message", double(bytes) / cycles);
    printf("\n");
    log_cleanup();
    return failures ? 1 : 0;
}
