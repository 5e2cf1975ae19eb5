// Miner API cost: N calls against the miner on 127.0.0.1:4028 (the simulated
// miner in the device sandbox), one fresh connection each. Reports calls per
// second, CPU time per call (the calling process, and its children for the
// snapshot, which runs "pidof"), and heap bytes allocated per call.
//
//   bench_api [-n CALLS] [-k stats|pools|metrics]
//
// "metrics" is the whole snapshot: a "stats" call, the process check and the
// readiness probe.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "log.h"
#include "miner/api.h"
#include "miner/support.h"

// Heap accounting: every allocation of the process goes through these.
extern "C" {
void *__libc_malloc(size_t);
void *__libc_calloc(size_t, size_t);
void *__libc_realloc(void *, size_t);
void __libc_free(void *);
}

static std::atomic<unsigned long long> heap_bytes{0};
static std::atomic<unsigned long long> heap_calls{0};

extern "C" void *malloc(size_t n)
{
    heap_bytes += n;
    heap_calls++;
    return __libc_malloc(n);
}
extern "C" void *calloc(size_t n, size_t size)
{
    heap_bytes += n * size;
    heap_calls++;
    return __libc_calloc(n, size);
}
extern "C" void *realloc(void *p, size_t n)
{
    heap_bytes += n;
    heap_calls++;
    return __libc_realloc(p, n);
}
extern "C" void free(void *p)
{
    __libc_free(p);
}

static double cpu_seconds(int who)
{
    struct rusage ru;
    getrusage(who, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

static bool one_call(const std::string &kind)
{
    if (kind == "metrics") {
        kv_metrics_t *m = cgminer_metrics();
        bool ok = m != nullptr;
        free(m);
        return ok;
    }
    if (kind == "pools") {
        kv_pools_stats_t *p = cgminer_pools_stats();
        bool ok = p != nullptr;
        free(p);
        return ok;
    }
    json_t *res = nullptr;
    int rc = api_call_cmd(kind.c_str(), &res);
    json_decref(res);
    return rc == 0;
}

int main(int argc, char **argv)
{
    int calls = 1000;
    std::string kind = "stats";
    int opt;
    while ((opt = getopt(argc, argv, "n:k:")) != -1) {
        if (opt == 'n')
            calls = atoi(optarg);
        else if (opt == 'k')
            kind = optarg;
        else
            return 2;
    }
    if (calls <= 0 || (kind != "stats" && kind != "pools" && kind != "metrics")) {
        fprintf(stderr, "usage: bench_api [-n CALLS] [-k stats|pools|metrics]\n");
        return 2;
    }
    if (log_init() != 0)
        return 2;
    if (!one_call(kind)) { // warm-up, and a check that the miner answers
        fprintf(stderr, "bench_api: the miner does not answer\n");
        return 1;
    }

    unsigned long long bytes0 = heap_bytes, allocs0 = heap_calls;
    double cpu0 = cpu_seconds(RUSAGE_SELF), child0 = cpu_seconds(RUSAGE_CHILDREN);
    auto t0 = std::chrono::steady_clock::now();
    int failures = 0;
    for (int i = 0; i < calls; i++)
        failures += one_call(kind) ? 0 : 1;
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = cpu_seconds(RUSAGE_SELF) - cpu0;
    double child = cpu_seconds(RUSAGE_CHILDREN) - child0;
    unsigned long long bytes = heap_bytes - bytes0, allocs = heap_calls - allocs0;

    printf("bench_api: %d %s calls (%d failed) in %.2f s: %.0f calls/s\n", calls, kind.c_str(),
           failures, wall, calls / wall);
    printf("bench_api: CPU per call: agent %.0f us, child processes %.0f us\n", cpu / calls * 1e6,
           child / calls * 1e6);
    printf("bench_api: heap per call: %.0f bytes in %.1f allocations\n",
           static_cast<double>(bytes) / calls, static_cast<double>(allocs) / calls);
    log_cleanup();
    return failures ? 1 : 0;
}
