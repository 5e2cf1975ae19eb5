#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <jansson.h>
#include <memory>
#include <string>
#include <vector>

#include "handlers.h"
#include "log_capture.h"
#include "miner/l3plus/config.h"
#include "miner/l3plus/support.h"
#include "open_transaction.h"
#include "json_text.h"
#include "owners.h"

namespace
{

std::string chips_json(int count, int first_id)
{
    std::string s = "[";
    for (int i = 0; i < count; i++)
        s += (i ? "," : "") + std::string(R"({"id":")") + std::to_string(first_id + i % 72) +
             R"(","freq":400})";
    return s + "]";
}

struct Case {
    const char *name;
    int (*parser)(json_t *);
    std::string request;
    int result;
    const char *error; // an ERROR line that must be logged (nullptr: none at all)
    std::function<void()> check;
};

void run_cases(const std::vector<Case> &cases)
{
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OpenTransaction t;
        LogCapture cap;
        json_ptr request = parse(c.request);
        struct miner_config before = miner_config;
        EXPECT_EQ(c.parser(request.get()), c.result);
        if (c.result == 0 && c.parser != config_pools) {
            EXPECT_EQ(memcmp(&before, &miner_config, sizeof(before)), 0);
        }
        if (c.error) {
            EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, c.error)) << c.error;
        } else {
            EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
        }
        if (c.check)
            c.check();
    }
}
} // namespace

TEST(ConfigSections, PoolsChainsWatchdog)
{
    const char *pool_a = R"({"stratum_url":"a","worker":"w"})";
    run_cases({
        {"main alone: the absent slots become empty pools", config_pools,
         std::string(R"({"main":)") + pool_a + "}", 0, nullptr,
         [] {
             EXPECT_EQ(miner_config.pool_count, 3u);
             EXPECT_STREQ(miner_config.pools[0].url, "a");
             EXPECT_STREQ(miner_config.pools[2].url, "");
             EXPECT_TRUE(miner_config_changed);
         }},
        {"reserve, password absent", config_pools,
         std::string(R"({"main":)") + pool_a + R"(,"reserved":{"stratum_url":"b","worker":"w2"}})",
         0, nullptr,
         [] {
             EXPECT_STREQ(miner_config.pools[1].url, "b");
             EXPECT_STREQ(miner_config.pools[1].passwd, "");
         }},
        {"no main", config_pools, R"({"reserved":{"stratum_url":"b","worker":"w"}})", -1,
         "Pools configuration failed, at least the main pool must be specified", nullptr},
        {"pool without worker", config_pools, R"({"main":{"stratum_url":"b"}})", -1,
         "Failed to config pool[0]", nullptr},
        {"worker beyond the bound is refused, never cut", config_pools,
         R"({"main":{"stratum_url":"a","worker":")" + std::string(256, 'w') + R"("}})", -1,
         "Pool worker of 256 bytes is too long (at most 255)",
         [] { EXPECT_STREQ(miner_config.pools[0].worker, "w"); }},
        {"chain with chips", config_chain,
         R"({"id":"2","use_global_freq":false,"use_global_volt":true,"freq":410,"volt":9,)"
         R"("chips":[{"id":"5","freq":400},{"id":"5","freq":420},{"id":"0","freq":1},)"
         R"({"id":"73","freq":1},{"id":7,"freq":1}]})",
         1, "Chain 2: chip 73 is out of range",
         [] {
             EXPECT_EQ(miner_config.bitmain_freq2, 410);
             EXPECT_EQ(miner_config.bitmain_voltage2, 0);
             EXPECT_EQ(miner_config.chain2_chip_freqs[4], 420); // the later entry wins
             EXPECT_EQ(miner_config.chain2_chip_freqs[6], 0);
         }},
        {"chip id beyond the int range is skipped", config_chain,
         R"({"id":"1","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,)"
         R"("chips":[{"id":"4294967297","freq":400}]})",
         0, "Chain 1: chip 4294967297 is out of range", nullptr},
        {"chain following the global values", config_chain,
         R"({"id":"1","use_global_freq":true,"use_global_volt":true,"freq":410,"volt":9.5,"chips":[]})",
         0, nullptr, nullptr},
        {"10000 chip entries", config_chain,
         R"({"id":"4","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":)" +
             chips_json(10000, 1) + "}",
         1, nullptr, [] { EXPECT_EQ(miner_config.chain4_chip_freqs[71], 400); }},
        {"chain 9", config_chain,
         R"({"id":"9","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":[]})",
         -1, "Invalid chain id: 9", nullptr},
        {"chain 4294967297 is not chain 1", config_chain,
         R"({"id":"4294967297","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":[]})",
         -1, "Invalid chain id: 4294967297", nullptr},
        {"chain 260 is not chain 4", config_chain,
         R"({"id":"260","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":[]})",
         -1, "Invalid chain id: 260", nullptr},
        {"frequency above 16 bits", config_chain,
         R"({"id":"1","use_global_freq":false,"use_global_volt":true,"freq":70000,"volt":0,"chips":[]})",
         -1, "frequency 70000 out of range", nullptr},
        // The field holds an int: a voltage beyond its range is refused, not converted.
        {"chain voltage above the int range", config_chain,
         R"({"id":"1","use_global_freq":true,"use_global_volt":false,"freq":0,"volt":1e300,"chips":[]})",
         -1, "Voltage 1e+300 is out of range", [] { EXPECT_EQ(miner_config.bitmain_voltage1, 0); }},
        {"chain voltage below the int range", config_chain,
         R"({"id":"3","use_global_freq":true,"use_global_volt":false,"freq":0,"volt":-3e9,"chips":[]})",
         -1, "Voltage -3e+09 is out of range", [] { EXPECT_EQ(miner_config.bitmain_voltage3, 0); }},
        {"largest chain voltage the field holds", config_chain,
         R"({"id":"2","use_global_freq":true,"use_global_volt":false,"freq":0,)"
         R"("volt":2147483647.5,"chips":[]})",
         1, nullptr, [] { EXPECT_EQ(miner_config.bitmain_voltage2, 2147483647); }},
        // 4294967696 is 400 in its low 32 bits: refused, never read as 400.
        {"chain frequency beyond the int range", config_chain,
         R"({"id":"1","use_global_freq":false,"use_global_volt":true,"freq":4294967696,)"
         R"("volt":0,"chips":[]})",
         -1, "freq is out of range", [] { EXPECT_EQ(miner_config.bitmain_freq1, 0); }},
        {"chip frequency beyond the int range is skipped", config_chain,
         R"({"id":"2","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,)"
         R"("chips":[{"id":"1","freq":4294967696},{"id":"2","freq":410}]})",
         1, "failed to parse chip settings",
         [] {
             EXPECT_EQ(miner_config.chain2_chip_freqs[0], 0);
             EXPECT_EQ(miner_config.chain2_chip_freqs[1], 410);
         }},
        {"chain without chips", config_chain,
         R"({"id":"1","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0})", -1,
         "Failed to parse config chain request - ", nullptr},
        {"chips not an array", config_chain,
         R"({"id":"1","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":{}})",
         -1, "Chips must be an array object", nullptr},
        {"chains not an array", config_chains, R"({"id":"1"})", -1,
         "Failed to parse chains settings, it should be an array", nullptr},
        {"second chain refused", config_chains,
         R"([{"id":"1","use_global_freq":false,"use_global_volt":true,"freq":400,"volt":0,"chips":[]},)"
         R"({"id":"0","use_global_freq":true,"use_global_volt":true,"freq":0,"volt":0,"chips":[]}])",
         -1, "Invalid chain id: 0", nullptr},
        {"watchdog limits", config_watchdog, R"({"min_hr":"400","max_temp":"95x"})", 1, nullptr,
         [] {
             EXPECT_EQ(miner_config.bitmain_minhr, 400);
             EXPECT_EQ(miner_config.bitmain_maxx, 0);
             EXPECT_EQ(miner_config.bitmain_tempoff, 95);
         }},
        {"watchdog unchanged", config_watchdog, "{}", 0, nullptr, nullptr},
        {"watchdog limit beyond the int range", config_watchdog,
         R"({"min_hr":"400","max_temp":"4294967391"})", -1, "max_temp is out of range",
         [] { EXPECT_EQ(miner_config.bitmain_minhr, 0); }},
        {"watchdog limit as a number", config_watchdog, R"({"min_hr":400})", -1,
         "Failed to parse watchdog req - ", nullptr},
    });
}

TEST(ConfigSections, FansPerfAutotuner)
{
    const char *autotuner =
        R"({"stage1":true,"stage2":false,"stage3":true,"downclock_step":2,)"
        R"("min_freq":350,"hashrate_deviation":80,"test_time":3,"down_freq_hw":1})";
    run_cases({
        {"manual fans", config_fans, R"({"mode":"manual","speed":10})", 1, nullptr,
         [] { EXPECT_EQ(miner_config.bitmain_fan_pwm, 20); }},
        {"MANUAL is automatic", config_fans, R"({"mode":"MANUAL","target_temp":65})", 0, nullptr,
         nullptr},
        {"fans without a mode", config_fans, R"({"speed":50})", -1,
         "Failed to parse config fans request - ", nullptr},
        {"profile 0 keeps the chains", config_perf, R"({"profile":"0","freq":384,"volt":8})", 1,
         nullptr, [] { EXPECT_EQ(miner_config.bitmain_freq, 384); }},
        {"profile 3 resets the chains", config_perf, R"({"profile":"3","freq":0,"volt":0})", 1,
         nullptr, [] { EXPECT_EQ(miner_config.bitmain_autodownscale_profile, 3); }},
        {"perf without volt", config_perf, R"({"freq":384})", -1, "Failed to prase perf req - ",
         nullptr},
        {"perf frequency negative", config_perf, R"({"freq":-1,"volt":8})", -1,
         "frequency -1 out of range", nullptr},
        {"perf frequency beyond the int range", config_perf,
         R"({"profile":"0","freq":4294967696,"volt":8})", -1, "freq is out of range",
         [] { EXPECT_EQ(miner_config.bitmain_freq, 0); }},
        {"perf voltage beyond the int range", config_perf,
         R"({"profile":"0","freq":384,"volt":-4294967296})", -1, "volt is out of range", nullptr},
        {"fan speed beyond the int range", config_fans, R"({"mode":"manual","speed":4294967306})",
         -1, "speed is out of range", [] { EXPECT_EQ(miner_config.bitmain_fan_pwm, 50); }},
        {"autotuner step beyond the int range", config_autotuner,
         R"({"stage1":true,"stage2":false,"stage3":true,"downclock_step":4294967298,)"
         R"("min_freq":350,"hashrate_deviation":80,"test_time":3,"down_freq_hw":1})",
         -1, "downclock_step is out of range", nullptr},
        {"autotuner", config_autotuner, autotuner, 1, nullptr,
         [] {
             EXPECT_EQ(miner_config.bitmain_autodownscale_timer, 3); // the default interval
             EXPECT_FALSE(miner_is_auto_tune); // only a committed change sets it
         }},
        {"autotuner without a stage", config_autotuner, R"({"stage1":true})", -1,
         "Failed to parse config autotuner request - ", nullptr},
    });

    // Profile 3 clears every per-chain value, and the server is told only
    // once the transaction has been committed.
    OpenTransaction t;
    miner_config.bitmain_freq3 = 410;
    miner_config.chain1_chip_freqs[0] = 400;
    config_reset_notices();
    json_ptr req = parse(R"({"profile":"3","freq":384,"volt":8})");
    EXPECT_EQ(config_perf(req.get()), 1);
    EXPECT_EQ(miner_config.bitmain_freq3, 0);
    EXPECT_EQ(miner_config.chain1_chip_freqs[0], 0);
    json_ptr defaults(default_chain_settings());
    EXPECT_EQ(dumps(defaults.get()),
              R"([{"id":"1","use_global_freq":true,"use_global_volt":true,"freq":384,)"
              R"("volt":8,"chips":[]},{"id":"2","use_global_freq":true,)"
              R"("use_global_volt":true,"freq":384,"volt":8,"chips":[]},)"
              R"({"id":"3","use_global_freq":true,"use_global_volt":true,"freq":384,)"
              R"("volt":8,"chips":[]},{"id":"4","use_global_freq":true,)"
              R"("use_global_volt":true,"freq":384,"volt":8,"chips":[]}])");
    config_reset_notices();
}
