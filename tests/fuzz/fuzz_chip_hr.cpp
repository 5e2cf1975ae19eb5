// The miner's chip hash-rate dump (/www/pages/cgi-bin/chip_hr.json) through the
// chip metrics of every chain and their "chip_metrics" message.
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include <jansson.h>

#include "fuzz_env.h"
#include "handlers.h"
#include "miner/l3plus/config.h"
#include "miner/support.h"
#include "paths.h"

// Per-chain and per-chip frequencies, so both lookups are taken.
static const char kMinerConfig[] =
    "{\"pools\":[{\"url\":\"stratum+tcp://pool.example.invalid:3333\",\"user\":\"w\",\"pass\":"
    "\"x\"}],\"bitmain-freq\":\"384\",\"bitmain-freq2\":\"400\",\"bitmain-voltage\":\"0725\","
    "\"bitmain-chip-freq\":\"0:450:0:0:500\",\"multi-version\":\"1\"}";

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    fuzz_write_file(PATH_MINER_CONFIG, kMinerConfig, sizeof(kMinerConfig) - 1);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write_file(PATH_CHIP_HR, data, size);
    for (int slot = 0; slot < CHAIN_COUNT; slot++) {
        kv_chip_metrics_t *metrics = cgminer_chip_metrics(CHAIN_IDS[slot]);
        if (!metrics) {
            fprintf(stderr, "chip metrics failed with a valid configuration\n");
            abort();
        }
        json_t *msg = serialize_chip_metrics(metrics);
        free(metrics);
        if (!msg || json_array_size(json_object_get(msg, "chips")) != CHIPS_PER_CHAIN) {
            fprintf(stderr, "a chain's chip metrics lost chips\n");
            abort();
        }
        char *text = json_dumps(msg, JSON_COMPACT);
        if (!text) {
            fprintf(stderr, "chip metrics cannot be serialised\n");
            abort();
        }
        free(text);
        json_decref(msg);
    }
    return 0;
}
