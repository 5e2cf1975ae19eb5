// Test helper: an open configuration transaction on the shared record,
// without the file: one pool, fans at 50 %, target 65.
#pragma once

#include <cstring>

#include "miner/support.h"

// An open transaction on a record, without the file.
struct OpenTransaction {
    OpenTransaction()
    {
        memset(&miner_config, 0, sizeof(miner_config));
        miner_config.pool_count = 1;
        strcpy(miner_config.pools[0].url, "a");
        strcpy(miner_config.pools[0].worker, "w");
        miner_config.bitmain_fan_pwm = 50;
        miner_config.bitmain_target_temp = 65;
        miner_config_loaded = true;
        miner_config_changed = false;
    }
    ~OpenTransaction()
    {
        memset(&miner_config, 0, sizeof(miner_config));
        miner_config_loaded = false;
        miner_config_changed = false;
        miner_is_auto_tune = false;
    }
};
