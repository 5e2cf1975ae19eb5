// /config/cgminer.conf contents through the miner configuration loader.
//
// A file that loads is also turned into the server's view, stored back (the
// merging store) and loaded again: the second load must give the same record
// as the first (the fan group aside, see below), or the store lost or changed
// a setting; stored again, it must not change any more.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include <jansson.h>

#include "fuzz_env.h"
#include "miner/config.h"
#include "miner/l3plus/support.h"
#include "paths.h"

static void without_fans(miner_config *cfg)
{
    cfg->bitmain_fan_ctrl = false;
    cfg->bitmain_fan_pwm = 0;
    cfg->bitmain_target_temp = 0;
    cfg->bitmain_fan_rpm_off = false;
    cfg->bitmain_silentstart = false;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    FuzzFastSleep fast;
    fuzz_reset_state();
    fuzz_write_file(PATH_MINER_CONFIG, data, size);

    auto first = std::make_unique<miner_config>();
    if (miner_load_config(PATH_MINER_CONFIG, first.get()) != 0)
        return 0;

    json_t *view = compose_config(first.get());
    if (!view) {
        fprintf(stderr, "a loaded configuration has no server view\n");
        abort();
    }
    char *text = json_dumps(view, JSON_COMPACT);
    if (!text) {
        fprintf(stderr, "the server view cannot be serialised\n");
        abort();
    }
    free(text);
    json_decref(view);
    json_decref(cgminer_config());

    if (miner_update_config(PATH_MINER_CONFIG, first.get()) != 0)
        return 0; // refused, the file stays as it was
    auto second = std::make_unique<miner_config>();
    if (miner_load_config(PATH_MINER_CONFIG, second.get()) != 0) {
        fprintf(stderr, "the stored configuration does not load again\n");
        abort();
    }
    // The fan group may read back otherwise: a group reset for its types
    // stores no target temperature, so the one in the file comes back.
    auto first_rest = std::make_unique<miner_config>(*first);
    auto second_rest = std::make_unique<miner_config>(*second);
    without_fans(first_rest.get());
    without_fans(second_rest.get());
    if (memcmp(first_rest.get(), second_rest.get(), sizeof(miner_config)) != 0) {
        fprintf(stderr, "the stored configuration loads as another record\n");
        abort();
    }
    // What reads back is stable from then on.
    auto third = std::make_unique<miner_config>();
    if (miner_update_config(PATH_MINER_CONFIG, second.get()) != 0 ||
        miner_load_config(PATH_MINER_CONFIG, third.get()) != 0 ||
        memcmp(second.get(), third.get(), sizeof(miner_config)) != 0) {
        fprintf(stderr, "the stored configuration changes from one store to the next\n");
        abort();
    }
    return 0;
}
