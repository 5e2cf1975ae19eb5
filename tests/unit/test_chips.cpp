#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <jansson.h>
#include <memory>
#include <string>
#include <vector>

#include "fake_shell.h"
#include "handlers.h"
#include "log_capture.h"
#include "miner/config.h"
#include "miner/l3plus/config.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "json_text.h"
#include "owners.h"
#include "session_fixture.h"

namespace
{

} // namespace

/* ---- chip lookups ---------------------------------------------------------- */

// Own value, else the chain's, else the global one, each modulo 65536.
TEST(ChipLookups, FreqAndCustomFreq)
{
    struct {
        const char *name;
        int chain, chip;
        int own, local, global;
        uint16_t freq;
        bool custom;
    } rows[] = {
        {"own value", 1, 1, 400, 410, 384, 400, true},
        {"own 0: the chain's", 2, 5, 0, 410, 384, 410, false},
        {"all 0 but the global", 3, 72, 0, 0, 384, 384, false},
        {"negative chain value narrowed", 4, 1, 0, -5, 384, 65531, false},
        {"negative own value: no custom frequency", 4, 72, -1, 410, 384, 65535, false},
        {"own value above 16 bits", 1, 72, 65536 + 400, 410, 384, 400, true},
        {"own value 65536 narrows to 0: the chain's", 2, 1, 65536, 410, 384, 410, true},
        {"nothing set", 3, 1, 0, 0, 0, 0, false},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        std::unique_ptr<struct miner_config> cfg(new struct miner_config());
        chain_chip_freqs(cfg.get(), r.chain)[r.chip - 1] = r.own;
        *chain_freq_field(cfg.get(), r.chain) = r.local;
        cfg->bitmain_freq = r.global;
        EXPECT_EQ(chip_freq(r.chain, r.chip, cfg.get()), r.freq);
        EXPECT_EQ(chip_custom_freq(r.chain, r.chip, cfg.get()), r.custom);
        // The neighbours on the same chain and the same chip on the other
        // chains do not see the chip's own value.
        int other_chip = r.chip == 1 ? 2 : r.chip - 1;
        EXPECT_FALSE(chip_custom_freq(r.chain, other_chip, cfg.get()));
        for (int chain : CHAIN_IDS) {
            if (chain != r.chain) {
                EXPECT_FALSE(chip_custom_freq(chain, r.chip, cfg.get())) << chain;
            }
        }
    }
}

TEST(ChipLookups, Hashrate)
{
    const char *dump = R"([{"Asic00":"12.5","Asic01":12.5,"Asic02":"abc","Asic03":"  -3e2x",
                            "Asic04":"inf","Asic05":"nan","Asic06":"1e999","Asic07":null,
                            "Asic09":"0x10","Asic71":"2.25"},
                           {"Asic00":"3.5"}])";
    struct {
        const char *name;
        const char *chains;
        int chain, chip;
        double rate;
    } rows[] = {
        {"no dump", nullptr, 1, 1, 0.0},
        {"a number", "5", 1, 1, 0.0},
        {"an object instead of the array", R"({"Asic00":"12.5"})", 1, 1, 0.0},
        {"element not an object", R"([5,{"Asic00":"3.5"}])", 1, 1, 0.0},
        {"first chip: Asic00", dump, 1, 1, 12.5},
        {"last chip: Asic71", dump, 1, 72, 2.25},
        {"second chain", dump, 2, 1, 3.5},
        {"third chain past the end", dump, 3, 1, 0.0},
        {"fourth chain past the end", dump, 4, 1, 0.0},
        {"a number instead of a text", dump, 1, 2, 0.0},
        {"nothing converts", dump, 1, 3, 0.0},
        {"blanks, sign, exponent, trailing text", dump, 1, 4, -300.0},
        {"infinity", dump, 1, 5, 0.0},
        {"not a number", dump, 1, 6, 0.0},
        {"overflow", dump, 1, 7, 0.0},
        {"null member", dump, 1, 8, 0.0},
        {"missing member", dump, 1, 9, 0.0},
        {"hexadecimal", dump, 1, 10, 0.0},
        {"missing member of a short chain", dump, 2, 72, 0.0},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.name);
        json_ptr chains = parse(r.chains);
        EXPECT_EQ(chip_hashrate(r.chain, r.chip, chains.get()), r.rate);
    }
}

/* ---- chip state ------------------------------------------------------------- */

TEST(ChipState, Boundaries)
{
    struct {
        double rate;
        uint16_t freq;
        kv_chip_state_t state;
    } rows[] = {
        {1.0, 222, CHIP_STATE_FAST},      {0.85, 222, CHIP_STATE_FAST},
        {0.84, 222, CHIP_STATE_SLOW},     {0.5, 222, CHIP_STATE_SLOW},
        {0.49, 222, CHIP_STATE_UNSTABLE}, {4.99, 444, CHIP_STATE_FAST},
        {5.0, 444, CHIP_STATE_UNSTABLE},  {0.0, 222, CHIP_STATE_UNKNOWN},
        {0.0, 0, CHIP_STATE_UNKNOWN},     {0.0, 65535, CHIP_STATE_UNKNOWN},
        {1.0, 0, CHIP_STATE_UNSTABLE},    {-1.0, 222, CHIP_STATE_UNSTABLE},
        {-1.0, 0, CHIP_STATE_UNSTABLE},
    };
    for (const auto &r : rows) {
        EXPECT_EQ(chip_state(r.rate, r.freq), r.state) << r.rate << " at " << r.freq;
    }
}

/* ---- serialization ---------------------------------------------------------- */

TEST(ChipSerialize, StateNames)
{
    struct {
        int state;
        const char *name;
    } rows[] = {
        {CHIP_STATE_UNKNOWN, "unknown"},
        {CHIP_STATE_FAST, "fast"},
        {CHIP_STATE_SLOW, "slow"},
        {CHIP_STATE_UNSTABLE, "unstable"},
        {7, "unknown"},
        {-1, "unknown"},
    };
    for (const auto &r : rows) {
        EXPECT_STREQ(chip_state_name(static_cast<kv_chip_state_t>(r.state)), r.name) << r.state;
    }
}

TEST(ChipSerialize, ChipInfo)
{
    struct {
        kv_chip_info_t chip;
        const char *json;
    } rows[] = {
        {{1, 1500.0, 400, true, CHIP_STATE_FAST},
         R"({"id":"1","hr":1.5,"freq":400,"state":"fast","custom_freq":true})"},
        {{72, 250.0, 384, false, CHIP_STATE_SLOW},
         R"({"id":"72","hr":0.25,"freq":384,"state":"slow"})"},
        {{5, 0.0, 65535, false, CHIP_STATE_UNKNOWN},
         R"({"id":"5","hr":0.0,"freq":65535,"state":"unknown"})"},
        {{6, 1.0, 0, false, CHIP_STATE_UNSTABLE},
         R"({"id":"6","hr":0.001,"freq":0,"state":"unstable"})"},
        // A rate that JSON cannot hold: no chip at all.
        {{7, INFINITY, 384, true, CHIP_STATE_FAST}, "(null)"},
    };
    for (auto &r : rows) {
        json_ptr out(serialize_chip_info(&r.chip));
        EXPECT_EQ(dumps(out.get()), r.json);
    }
}

// All 72 chips in order; a chip that cannot be serialized is left out.
TEST(ChipSerialize, ChainMetrics)
{
    malloc_ptr<kv_chip_metrics_t> m(
        static_cast<kv_chip_metrics_t *>(calloc(1, sizeof(kv_chip_metrics_t))));
    ASSERT_TRUE(m);
    m->chain_id = 3;
    for (int i = 0; i < CHIPS_PER_CHAIN; i++)
        m->chips[i] = {i + 1, 0.0, 384, false, CHIP_STATE_UNKNOWN};
    m->chips[0] = {1, 1500.0, 400, true, CHIP_STATE_FAST};
    m->chips[1] = {2, 250.0, 384, false, CHIP_STATE_SLOW};
    m->chips[71].hash_rate = NAN;

    std::string expected = R"({"chain_id":"3","chips":[)"
                           R"({"id":"1","hr":1.5,"freq":400,"state":"fast","custom_freq":true},)"
                           R"({"id":"2","hr":0.25,"freq":384,"state":"slow"})";
    for (int id = 3; id <= 71; id++)
        expected +=
            R"(,{"id":")" + std::to_string(id) + R"(","hr":0.0,"freq":384,"state":"unknown"})";
    expected += "]}";

    LogCapture cap;
    json_ptr out(serialize_chip_metrics(m.get()));
    EXPECT_EQ(dumps(out.get()), expected);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

/* ---- device commands through the dispatch ---------------------------------- */

using DeviceCommands = SessionTest;

// The reply, the shell commands and the log lines of each command; nothing
// here reaches the device's files (chip metrics of a valid chain: end-to-end).
TEST_F(DeviceCommands, RepliesCommandsAndLogs)
{
    const std::vector<std::string> none;
    const std::vector<std::string> stop = {"/www/pages/cgi-bin/stop_cgminer.cgi",
                                           "echo \"1\" > /tmp/stoptrigger"};
    const std::vector<std::string> start = {"/etc/init.d/cgminer.sh stop", "rm /tmp/stoptrigger",
                                            "/etc/init.d/cgminer.sh start"};
    struct {
        const char *request;
        std::vector<std::string> replies;
        std::vector<std::string> commands;
        enum log_level level; // of the expected line (DEBUG: no WARN or ERROR at all)
        const char *line;
    } rows[] = {
        {R"({"type":"reboot","mode":"soft"})",
         {R"({"type":"reboot","ok":true})"},
         {"sync", "reboot"},
         LOG_LEVEL_INFO,
         "Rebooting asic, mode = hard"},
        {R"({"type":"stop_mining"})",
         {R"({"type":"stop_mining","ok":true})"},
         stop,
         LOG_LEVEL_DEBUG,
         nullptr},
        {R"({"type":"start_mining"})",
         {R"({"type":"start_mining","ok":true})"},
         start,
         LOG_LEVEL_DEBUG,
         nullptr},
        {R"({"type":"status"})", {}, none, LOG_LEVEL_DEBUG, nullptr},
        // Not connected: the logs are not fetched, and that is no failure.
        {R"({"type":"logs","request_id":"r1"})", {}, none, LOG_LEVEL_DEBUG, nullptr},
        {R"({"type":"logs"})",
         {R"({"type":"logs","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Failed to parse get logs request:\n{\n  \"type\": \"logs\"\n}"},
        {R"({"type":"logs","request_id":7})",
         {R"({"type":"logs","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Failed to parse get logs request:\n"},
        {R"({"type":"chip_metrics","request_id":"c1"})",
         {R"({"type":"chip_metrics","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Failed to parse chip metrics request:\n{\n  \"type\": \"chip_metrics\",\n"},
        {R"({"type":"chip_metrics","request_id":"c1","chain_id":2})",
         {R"({"type":"chip_metrics","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Failed to parse chip metrics request:\n"},
        {R"({"type":"chip_metrics","request_id":"c1","chain_id":"0"})",
         {R"({"type":"chip_metrics","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Invalid chain id: 0"},
        {R"({"type":"chip_metrics","request_id":"c1","chain_id":"5"})",
         {R"({"type":"chip_metrics","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Invalid chain id: 5"},
        {R"({"type":"chip_metrics","request_id":"c1","chain_id":"x"})",
         {R"({"type":"chip_metrics","ok":false})"},
         none,
         LOG_LEVEL_ERROR,
         "Invalid chain id: 0"},
    };
    for (const auto &r : rows) {
        SCOPED_TRACE(r.request);
        cap.clear();
        {
            FakeShell shell; // the miner runs; its end waits for the workers
            EXPECT_EQ(dispatch(r.request), 0);
            EXPECT_TRUE(cgminer_wait_workers(10));
            EXPECT_EQ(shell.recorded(), r.commands);
        }
        EXPECT_EQ(drain_texts(), r.replies);
        if (r.line) {
            EXPECT_TRUE(cap.contains(r.level, r.line)) << r.line;
        }
        EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);
        EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), r.level == LOG_LEVEL_ERROR ? 1 : 0);
    }
    miner_is_stopped = false;
}
