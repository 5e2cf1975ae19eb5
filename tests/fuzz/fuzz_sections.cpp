// The configuration commands' section parsers, each on an open transaction of
// a realistic /config/cgminer.conf.
//
// Input: one byte choosing the parser (and, where one takes it, a chain or a
// pool slot), then the section as JSON (any JSON value). After a parser the
// transaction's record must still have a server view, and once stored and
// read back it must stay the same through further stores.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <jansson.h>

#include "fuzz_env.h"
#include "handlers.h"
#include "miner/config.h"
#include "miner/l3plus/config.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "paths.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    return 0;
}

enum {
    SEC_POOLS,
    SEC_POOL,
    SEC_CHAINS,
    SEC_CHAIN,
    SEC_CHIPS,
    SEC_WATCHDOG,
    SEC_FANS,
    SEC_PERF,
    SEC_AUTOTUNER,
    SEC_NETWORK,
    SEC_WEB_ACCESS,
    SEC_MODEL_KEYS, // parse_miner_config on a whole file object
    SEC_COUNT,
};

static void check_record_survives_store(void)
{
    json_t *view = compose_config(&miner_config);
    char *text = view ? json_dumps(view, JSON_COMPACT) : nullptr;
    if (!text) {
        fprintf(stderr, "the record has no server view after a section\n");
        abort();
    }
    free(text);
    json_decref(view);

    // Stored, the record reads back with the file's own rules (a target
    // temperature of 0 as 65, a speed above 100 as 100, ...); what reads back
    // must then be stable: stored and read again, it is the same record.
    if (miner_update_config(PATH_MINER_CONFIG, &miner_config) != 0)
        return;
    auto first = std::make_unique<struct miner_config>();
    auto second = std::make_unique<struct miner_config>();
    if (miner_load_config(PATH_MINER_CONFIG, first.get()) != 0 ||
        miner_update_config(PATH_MINER_CONFIG, first.get()) != 0 ||
        miner_load_config(PATH_MINER_CONFIG, second.get()) != 0) {
        fprintf(stderr, "the stored record does not load and store again\n");
        abort();
    }
    if (memcmp(first.get(), second.get(), sizeof(struct miner_config)) != 0) {
        fprintf(stderr, "the stored record changes from one store to the next\n");
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1)
        return 0;
    FuzzFastSleep fast;
    fuzz_reset_state();
    fuzz_write_file(PATH_MINER_CONFIG, FUZZ_MINER_CONFIG);
    fuzz_write_file(PATH_NETWORK_CONFIG, FUZZ_NETWORK_CONFIG);

    const unsigned sel = data[0] % SEC_COUNT;
    const int arg = data[0] / SEC_COUNT; // 0..21: a chain id or a pool slot
    json_t *root =
        json_loadb(reinterpret_cast<const char *>(data + 1), size - 1, JSON_DECODE_ANY, nullptr);
    if (!root)
        return 0;

    if (begin_miner_config() != 0) {
        fprintf(stderr, "the transaction does not open\n");
        abort();
    }
    int rc = 0;
    switch (sel) {
    case SEC_POOLS:
        rc = config_pools(root);
        break;
    case SEC_POOL:
        rc = config_pool(arg - 1, root);
        break;
    case SEC_CHAINS:
        rc = config_chains(root);
        break;
    case SEC_CHAIN:
        rc = config_chain(root);
        break;
    case SEC_CHIPS:
        rc = config_chips(arg % 6, root);
        break;
    case SEC_WATCHDOG:
        rc = config_watchdog(root);
        break;
    case SEC_FANS:
        rc = config_fans(root);
        break;
    case SEC_PERF:
        rc = config_perf(root);
        break;
    case SEC_AUTOTUNER:
        rc = config_autotuner(root);
        break;
    case SEC_NETWORK:
        rc = config_network(root);
        break;
    case SEC_WEB_ACCESS:
        rc = agent_config_web_access(root);
        break;
    case SEC_MODEL_KEYS: {
        auto cfg = std::make_unique<struct miner_config>();
        if (json_is_object(root))
            rc = parse_miner_config(root, cfg.get());
        break;
    }
    }
    if (rc < -1 || rc > 1) {
        fprintf(stderr, "section parser %u returned %d\n", sel, rc);
        abort();
    }
    if (rc >= 0 && sel != SEC_NETWORK && sel != SEC_WEB_ACCESS && sel != SEC_MODEL_KEYS)
        check_record_survives_store();
    config_reset_notices();
    json_decref(root);
    fuzz_reset_state();
    return 0;
}
