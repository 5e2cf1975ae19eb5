// Miner configuration file cost: load + store cycles (the work of one
// configuration transaction that changes something) and the server view, on a
// device-like /config/cgminer.conf copy in a temporary folder.
//
//   bench_config [-n CYCLES]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <jansson.h>
#include <string>
#include <sys/resource.h>
#include <unistd.h>

#include "log.h"
#include "miner/config.h"
#include "miner/l3plus/support.h"

static double cpu_seconds(void)
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec +
           (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// A file as the device keeps it: three pools, per-chain values, every chip set.
static std::string device_file(void)
{
    std::string chips;
    for (int i = 0; i < CHAIN_COUNT * CHIPS_PER_CHAIN; i++)
        chips += (i ? ":" : "") + std::to_string(380 + i % 40);
    return R"({"pools": [
{"url": "stratum+tcp://pool.example.invalid:3333", "user": "farm.rig001", "pass": "x"},
{"url": "stratum+tcp://backup.example.invalid:3333", "user": "farm.rig001", "pass": "x"},
{"url": "stratum+tcp://third.example.invalid:3333", "user": "farm.rig001", "pass": "x"}],
"api-listen": true, "api-network": true, "api-groups": "A:stats:pools:devs:summary:version",
"api-allow": "A:0/0,W:*", "bitmain-use-vil": true, "bitmain-freq": "384",
"bitmain-voltage": "8", "bitmain-freq1": "390", "bitmain-freq2": "0", "bitmain-freq3": "0",
"bitmain-freq4": "400", "bitmain-fan-ctrl": true, "bitmain-fan-pwm": "80",
"bitmain-autodownscale": true, "bitmain-autodownscale-prec": "80",
"bitmain-chip-freq": ")" +
           chips + R"(", "bitmain-tempoff": "95", "multi-version": "1"})";
}

int main(int argc, char **argv)
{
    int cycles = 2000;
    int opt;
    while ((opt = getopt(argc, argv, "n:")) != -1) {
        if (opt != 'n')
            return 2;
        cycles = atoi(optarg);
    }
    if (cycles <= 0)
        return 2;
    char tmpl[] = "/tmp/kvagent-bench-config-XXXXXX";
    if (!mkdtemp(tmpl))
        return 1;
    std::string path = std::string(tmpl) + "/cgminer.conf";
    std::ofstream(path) << device_file();
    if (log_init_from("/dev/null") != 0)
        fprintf(stderr, "bench_config: logging not configured\n");

    struct miner_config cfg;
    auto t0 = std::chrono::steady_clock::now();
    double cpu0 = cpu_seconds();
    int failures = 0;
    for (int i = 0; i < cycles; i++) {
        if (miner_load_config(path.c_str(), &cfg) != 0) {
            failures++;
            continue;
        }
        cfg.bitmain_freq = 384 + i % 2; // a change, as a transaction that stores has
        failures += miner_update_config(path.c_str(), &cfg) != 0;
    }
    double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    double cpu = cpu_seconds() - cpu0;
    printf("bench_config: %d load+store cycles (%d failed) in %.2f s: %.0f cycles/s, "
           "%.0f us CPU per cycle (file %ju bytes)\n",
           cycles, failures, wall, cycles / wall, cpu / cycles * 1e6,
           static_cast<uintmax_t>(std::filesystem::file_size(path)));

    t0 = std::chrono::steady_clock::now();
    cpu0 = cpu_seconds();
    size_t bytes = 0;
    for (int i = 0; i < cycles; i++) {
        if (miner_load_config(path.c_str(), &cfg) != 0) {
            failures++;
            continue;
        }
        json_t *view = compose_config(&cfg);
        char *text = json_dumps(view, JSON_COMPACT);
        bytes = text ? strlen(text) : 0;
        free(text);
        json_decref(view);
    }
    wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    cpu = cpu_seconds() - cpu0;
    printf("bench_config: %d server views (load + compose + serialise, %zu bytes) in %.2f s: "
           "%.0f views/s, %.0f us CPU per view\n",
           cycles, bytes, wall, cycles / wall, cpu / cycles * 1e6);
    std::filesystem::remove_all(tmpl);
    log_cleanup();
    return failures ? 1 : 0;
}
