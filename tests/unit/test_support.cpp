#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <functional>
#include <jansson.h>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_miner.h"
#include "fake_shell.h"
#include "log_capture.h"
#include "miner/status.h"
#include "miner/support.h"
#include "owners.h"
#include "shell.h"

namespace
{

// The stats object of the device's firmware: 4 chains, 2 fans.
json_ptr device_stats()
{
    json_t *s = json_pack("{si,ss,sf,sf,si,si,si,si,si}", "Elapsed", 3600, "GHS 5s", "503.20",
                          "GHS av", 501.0, "freq_avg1", 384.0, "temp_max", 60, "miner_count", 4,
                          "fan_num", 2, "fan1", 3000, "fan2", 4800);
    for (int n = 1; n <= 4; n++) {
        auto key = [n](const char *pattern) {
            char buf[32];
            snprintf(buf, sizeof(buf), pattern, n);
            return std::string(buf);
        };
        json_object_set_new(s, key("chain_acn%d").c_str(), json_integer(72));
        json_object_set_new(s, key("chain_rate%d").c_str(), json_string("125.80"));
        json_object_set_new(s, key("freq_avg%d").c_str(), json_real(380.0 + n));
        json_object_set_new(s, key("voltage%d").c_str(), json_integer(850 + n));
        json_object_set_new(s, key("temp%d").c_str(), json_integer(40 + n));
        json_object_set_new(s, key("temp2_%d").c_str(), json_integer(50 + n));
        json_object_set_new(s, key("chain_hw%d").c_str(), json_integer(n * 10));
        json_object_set_new(s, key("consumption%d").c_str(), json_real(200.5));
    }
    return json_ptr(s);
}

// The raw answer as the miner writes it: objects back to back, a bare inf, a NUL.
std::string stats_answer(json_t *stats, int elements = 2)
{
    char *text = json_dumps(stats, JSON_COMPACT);
    std::string body = R"({"STATUS":[{"STATUS":"S","Msg":"CGMiner stats","Min":inf}],"STATS":[)";
    body += R"({"CGMiner":"4.9.0","Type":"Antminer L3+"})";
    for (int i = 1; i < elements; i++)
        body += text;
    body += R"(],"id":1})";
    body.push_back('\0');
    free(text);
    return body;
}

using metrics_ptr = malloc_ptr<kv_metrics_t>;
using pools_ptr = malloc_ptr<kv_pools_stats_t>;

void set(json_t *o, const char *key, json_t *value)
{
    if (value)
        json_object_set_new(o, key, value);
    else
        json_object_del(o, key);
}
} // namespace

/* ---- metrics snapshot -------------------------------------------------------------- */

TEST(MinerMetrics, SnapshotFromDeviceStats)
{
    FakeMiner miner;
    FakeShell shell;
    LogCapture cap;
    json_ptr stats = device_stats();
    miner.answer("stats", stats_answer(stats.get()));
    metrics_ptr m(cgminer_metrics());
    ASSERT_TRUE(m);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);
    EXPECT_EQ(m->uptime, 3600);
    EXPECT_DOUBLE_EQ(m->hashrate, 0.5032);
    EXPECT_DOUBLE_EQ(m->hashrate_avg, 0.501);
    EXPECT_DOUBLE_EQ(m->freq, 381.0); // the first chain's average
    EXPECT_EQ(m->temp, 60);           // above every chip temperature
    EXPECT_DOUBLE_EQ(m->watt, 4 * 200.5);
    EXPECT_EQ(m->hw_errors, 100);
    EXPECT_EQ(m->state, MINER_STATE_MINING);
    EXPECT_NEAR(static_cast<double>(m->timestamp), static_cast<double>(time(nullptr)), 5);
    ASSERT_EQ(m->chain_count, 4u);
    for (int i = 0; i < 4; i++) {
        const kv_chain_stats_t &c = m->chain_list[i];
        EXPECT_EQ(c.id, i + 1);
        EXPECT_EQ(c.num_chips, 72);
        EXPECT_DOUBLE_EQ(c.hash_rate, 0.1258);
        EXPECT_DOUBLE_EQ(c.freq, 381.0 + i);
        EXPECT_DOUBLE_EQ(c.volt, 851.0 + i);
        EXPECT_EQ(c.pcb_temp, 41 + i);
        EXPECT_EQ(c.chip_temp, 51 + i);
    }
    ASSERT_EQ(m->fan_count, 2u);
    EXPECT_EQ(m->fan_list[0].id, 1);
    EXPECT_EQ(m->fan_list[0].speed, 50);
    EXPECT_EQ(m->fan_list[1].speed, 80);
    EXPECT_EQ(miner.requests().front(), R"({"command": "stats"})");
}

// Variations of the stats answer: what the snapshot keeps and what it logs.
TEST(MinerMetrics, AnswerVariations)
{
    struct Case {
        const char *name;
        std::function<void(json_t *)> change;
        int elements;
        bool snapshot;
        std::vector<std::string> errors;
        std::function<void(const kv_metrics_t &)> check;
    };
    const Case cases[] = {
        {"spike is reported as the average",
         [](json_t *s) {
             set(s, "GHS 5s", json_string("120"));
             set(s, "GHS av", json_real(50.0));
         },
         2,
         true,
         {},
         [](const kv_metrics_t &m) { EXPECT_DOUBLE_EQ(m.hashrate, 0.05); }},
        {"under twice the average stands",
         [](json_t *s) {
             set(s, "GHS 5s", json_string("90"));
             set(s, "GHS av", json_real(50.0));
         },
         2,
         true,
         {},
         [](const kv_metrics_t &m) { EXPECT_DOUBLE_EQ(m.hashrate, 0.09); }},
        {"rate text without a number, or inf/nan, is 0: initializing",
         [](json_t *s) { set(s, "GHS 5s", json_string("nan")); },
         2,
         true,
         {},
         [](const kv_metrics_t &m) {
             EXPECT_EQ(m.hashrate, 0.0);
             EXPECT_EQ(m.state, MINER_STATE_INITIALIZING);
         }},
        {"one STATS element",
         nullptr,
         1,
         false,
         {"", "Failed to unpack STATS from api response"},
         nullptr},
        {"three STATS elements",
         nullptr,
         3,
         false,
         {"", "Failed to unpack STATS from api response"},
         nullptr},
        {"average as an integer",
         [](json_t *s) { set(s, "GHS av", json_integer(501)); },
         2,
         false,
         {"Failed to unpack global metrics"},
         nullptr},
        {"uptime as a string",
         [](json_t *s) { set(s, "Elapsed", json_string("3600")); },
         2,
         false,
         {"Failed to unpack global metrics"},
         nullptr},
        {"stock firmware: no chain averages, real voltages",
         [](json_t *s) {
             for (int n = 1; n <= 4; n++) {
                 set(s, ("freq_avg" + std::to_string(n)).c_str(), nullptr);
                 set(s, ("voltage" + std::to_string(n)).c_str(), json_real(8.9));
             }
         },
         2,
         false,
         {"Failed to unpack global metrics"},
         nullptr},
        {"chain 3 without its chip count",
         [](json_t *s) { set(s, "chain_acn3", nullptr); },
         2,
         true,
         {"Couldn't parse data for chain 2"},
         [](const kv_metrics_t &m) {
             EXPECT_EQ(m.chain_count, 4u);
             EXPECT_EQ(m.chain_list[2].id, 0);
             EXPECT_EQ(m.chain_list[2].num_chips, 0);
             EXPECT_EQ(m.chain_list[3].id, 4);
             EXPECT_DOUBLE_EQ(m.watt, 3 * 200.5);
             EXPECT_EQ(m.hw_errors, 10 + 20 + 40);
         }},
        {"a real voltage empties that chain",
         [](json_t *s) { set(s, "voltage1", json_real(8.9)); },
         2,
         true,
         {"Couldn't parse data for chain 0"},
         [](const kv_metrics_t &m) { EXPECT_EQ(m.chain_list[0].id, 0); }},
        {"optional chain members absent",
         [](json_t *s) {
             set(s, "voltage2", nullptr);
             set(s, "consumption2", nullptr);
             set(s, "consumption3", json_integer(150));
         },
         2,
         true,
         {},
         [](const kv_metrics_t &m) {
             EXPECT_EQ(m.chain_list[1].id, 2);
             EXPECT_EQ(m.chain_list[1].volt, 0.0);
             EXPECT_DOUBLE_EQ(m.watt, 2 * 200.5 + 150);
         }},
        {"figures beyond the fields' range are held in it",
         [](json_t *s) {
             set(s, "chain_hw1", json_integer(INT_MAX));
             set(s, "chain_hw2", json_integer(4294967296)); // 0 in its low 32 bits
             for (int n = 1; n <= 4; n++)
                 set(s, ("consumption" + std::to_string(n)).c_str(), json_real(1e308));
         },
         2,
         true,
         {},
         [](const kv_metrics_t &m) {
             EXPECT_EQ(m.chain_list[1].hw_errors, INT_MAX);
             EXPECT_EQ(m.hw_errors, INT_MAX);
             EXPECT_EQ(m.watt, DBL_MAX);
         }},
        {"hottest chip above temp_max",
         [](json_t *s) {
             set(s, "temp2_2", json_integer(72));
             set(s, "temp_max", nullptr);
         },
         2,
         true,
         {},
         [](const kv_metrics_t &m) { EXPECT_EQ(m.temp, 72); }},
    };
    FakeMiner miner;
    FakeShell shell;
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        json_ptr stats = device_stats();
        if (c.change)
            c.change(stats.get());
        miner.answer("stats", stats_answer(stats.get(), c.elements));
        LogCapture cap;
        metrics_ptr m(cgminer_metrics());
        EXPECT_EQ(static_cast<bool>(m), c.snapshot);
        auto errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), c.errors.size());
        for (size_t i = 0; i < errors.size(); i++)
            EXPECT_NE(errors[i].find(c.errors[i]), std::string::npos) << errors[i];
        if (m && c.check)
            c.check(*m);
    }
}

TEST(MinerMetrics, StateDecision)
{
    struct {
        bool running, stopped, ready, hashing, auto_tune;
        enum miner_states state;
    } cases[] = {
        {true, false, true, true, false, MINER_STATE_MINING},
        {true, false, true, true, true, MINER_STATE_AUTO_TUNING},
        {true, false, true, false, false, MINER_STATE_INITIALIZING},
        {true, false, false, true, false, MINER_STATE_INITIALIZING},
        {true, true, true, true, false, MINER_STATE_STOPPED},
        {false, false, true, true, false, MINER_STATE_UNKNOWN},
        {false, true, true, true, true, MINER_STATE_STOPPED},
    };
    FakeShell shell;
    for (const auto &c : cases) {
        SCOPED_TRACE(testing::Message()
                     << "running " << c.running << " stopped " << c.stopped << " ready " << c.ready
                     << " hashing " << c.hashing << " auto-tune " << c.auto_tune);
        FakeMiner miner;
        json_ptr stats = device_stats();
        if (!c.hashing)
            set(stats.get(), "GHS 5s", json_string("0.00"));
        miner.answer("stats", stats_answer(stats.get()));
        if (!c.ready)
            miner.set_accept_limit(1); // the readiness probe is refused
        shell.running = c.running;
        miner_is_stopped = c.stopped;
        miner_is_auto_tune = c.auto_tune;
        metrics_ptr m(cgminer_metrics());
        ASSERT_TRUE(m);
        EXPECT_EQ(m->state, c.state);
    }
    miner_is_stopped = false;
    miner_is_auto_tune = false;
}

TEST(MinerMetrics, Fans)
{
    struct {
        const char *name;
        json_t *fan_num, *fan1, *fan2;
        unsigned count;
        std::vector<std::pair<int, int>> fans; // id, speed
        std::vector<std::string> warnings;
    } cases[] = {
        {"both spinning",
         json_integer(2),
         json_integer(3000),
         json_integer(4800),
         2,
         {{1, 50}, {2, 80}},
         {}},
        {"first stopped", json_integer(2), json_integer(0), json_integer(3000), 1, {{2, 50}}, {}},
        {"one fan configured",
         json_integer(1),
         json_integer(3000),
         json_integer(3000),
         1,
         {{1, 50}},
         {}},
        {"over full speed",
         json_integer(2),
         json_integer(7200),
         json_integer(6000),
         2,
         {{1, 100}, {2, 100}},
         {}},
        {"slow fan has a speed of 0 but an id",
         json_integer(2),
         json_integer(59),
         nullptr,
         1,
         {{1, 0}},
         {"Failed to parse data for fan 2"}},
        {"fan count missing",
         nullptr,
         json_integer(3000),
         json_integer(1200),
         2,
         {{1, 50}, {2, 20}},
         {"Unable to parse the number of fans"}},
        {"rpm as a real",
         json_integer(2),
         json_real(3000.0),
         json_integer(1200),
         1,
         {{2, 20}},
         {"Failed to parse data for fan 1"}},
        {"negative count", json_integer(-1), json_integer(3000), json_integer(1200), 0, {}, {}},
        {"count beyond 32 bits",
         json_integer(4294967297),
         json_integer(3000),
         json_integer(1200),
         2,
         {{1, 50}, {2, 20}},
         {}},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.name);
        json_ptr root(json_object());
        set(root.get(), "fan_num", c.fan_num);
        set(root.get(), "fan1", c.fan1);
        set(root.get(), "fan2", c.fan2);
        kv_metrics_t m{};
        LogCapture cap;
        parse_fans_data(root.get(), &m);
        EXPECT_EQ(m.fan_count, c.count);
        for (size_t i = 0; i < c.fans.size(); i++) {
            EXPECT_EQ(m.fan_list[i].id, c.fans[i].first);
            EXPECT_EQ(m.fan_list[i].speed, c.fans[i].second);
        }
        EXPECT_EQ(cap.messages(LOG_LEVEL_WARN), c.warnings);
    }
}

TEST(MinerMetrics, ParseMinerState)
{
    const std::pair<const char *, enum miner_states> cases[] = {
        {"initializing", MINER_STATE_INITIALIZING},
        {"mining", MINER_STATE_MINING},
        {"autotuning", MINER_STATE_AUTO_TUNING},
        {"shutting-down", MINER_STATE_SHUTTING_DOWN},
        {"pause", MINER_STATE_STOPPED},
        {"failure", MINER_STATE_FAILURE},
        {"Mining", MINER_STATE_UNKNOWN},
        {"", MINER_STATE_UNKNOWN},
        {nullptr, MINER_STATE_UNKNOWN},
    };
    for (const auto &c : cases)
        EXPECT_EQ(parse_miner_state(c.first), c.second) << (c.first ? c.first : "(null)");
}

/* ---- pool statistics --------------------------------------------------------------- */

namespace
{
std::string pool(const char *url, const char *status, long long priority, const char *diff = "131K",
                 bool active = false, const char *accepted = "100")
{
    char buf[512];
    snprintf(buf, sizeof(buf),
             R"({"POOL":0,"URL":"%s","Status":"%s","Priority":%lld,"Accepted":%s,"Rejected":2,)"
             R"("Stale":1,"Diff":"%s","Stratum Active":%s,"User":"w"})",
             url, status, priority, accepted, diff, active ? "true" : "false");
    return buf;
}

std::string pools_answer(const std::vector<std::string> &list)
{
    std::string body = R"({"STATUS":[{"STATUS":"S"}],"POOLS":[)";
    for (size_t i = 0; i < list.size(); i++)
        body += (i ? "," : "") + list[i];
    return body + "],\"id\":1}" + std::string(1, '\0');
}

const char *kUrl = "stratum+tcp://pool.example.invalid:3333";
const char *kFee = "DevFee stratum+tcp://fee.example.invalid:3333";

// One letter per entry: main, reserved, reserved2, then service-fee pools.
// '-' empty (not configured), 'A' active, 'a' alive, 'd' dead.
std::string layout(const kv_pools_stats_t &p)
{
    auto letter = [](const kv_pool_stats_t &e) {
        switch (e.status) {
        case POOL_ACTIVE:
            return 'A';
        case POOL_ALIVE:
            return 'a';
        case POOL_DEAD:
            return 'd';
        default:
            return '-';
        }
    };
    std::string s = {letter(p.main), letter(p.reserved), letter(p.reserved2), '|'};
    for (unsigned i = 0; i < p.svc_fee_count; i++)
        s += letter(p.svc_fee_list[i]);
    return s;
}
} // namespace

TEST(PoolStats, Classification)
{
    struct {
        const char *name;
        std::vector<std::string> pools;
        const char *layout;
        std::vector<std::string> warnings;
    } cases[] = {
        {"main, reserve and a fee pool at position 2",
         {pool(kUrl, "Alive", 0, "131K", true), pool(kUrl, "Alive", 1), pool(kFee, "Alive", 999)},
         "Aa-|a",
         {}},
        {"fee pool at position 0 leaves main empty",
         {pool(kFee, "Alive", 999), pool(kUrl, "Alive", 0, "1", true)},
         "-A-|a",
         {}},
        {"high priority without the DevFee prefix is a user pool",
         {pool(kUrl, "Dead", 999), pool("devfee x", "Alive", 999)},
         "da-|",
         {}},
        {"DevFee prefix at priority 899 is a user pool", {pool(kFee, "Alive", 899)}, "a--|", {}},
        {"priority beyond 32 bits is a fee pool's",
         {pool(kUrl, "Alive", 0), pool(kFee, "Alive", 4294967297)},
         "a--|a",
         {}},
        {"unconfigured slot",
         {pool(kUrl, "Alive", 0), pool("", "Dead", 1), pool("ab", "Dead", 2)},
         "a--|",
         {}},
        {"short URL that is alive counts",
         {pool(kUrl, "Alive", 0), pool("", "Alive", 1)},
         "aa-|",
         {}},
        {"unknown status stored but not reported",
         {pool(kUrl, "Sick", 0), pool(kUrl, "Alive", 1, "1", true)},
         "-A-|",
         {"Unknown pool status: Sick"}},
        {"unreadable element still takes its position",
         {pool(kUrl, "Alive", 0, "1", false, "\"100\""), pool(kUrl, "Alive", 1),
          pool(kUrl, "Dead", 2)},
         "-ad|",
         {"Failed to parse pool #0 stats: "}},
        {"positions past the third are skipped",
         {pool(kUrl, "Alive", 0), pool(kUrl, "Alive", 1), pool(kUrl, "Alive", 2),
          pool(kUrl, "Dead", 3)},
         "aaa|",
         {}},
        {"fifth fee pool ignored",
         {pool(kUrl, "Alive", 0), pool(kFee, "Alive", 999), pool(kFee, "Dead", 999),
          pool(kFee, "Alive", 999), pool(kFee, "Dead", 999), pool(kFee, "Alive", 999)},
         "a--|adad",
         {}},
    };
    FakeMiner miner;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        miner.answer("pools", pools_answer(c.pools));
        LogCapture cap;
        pools_ptr p(cgminer_pools_stats());
        ASSERT_TRUE(p);
        EXPECT_EQ(layout(*p), c.layout);
        auto warnings = cap.messages(LOG_LEVEL_WARN);
        ASSERT_EQ(warnings.size(), c.warnings.size());
        for (size_t i = 0; i < warnings.size(); i++)
            EXPECT_EQ(warnings[i].rfind(c.warnings[i], 0), 0u) << warnings[i];
    }
    EXPECT_EQ(miner.requests().back(), R"({"command": "pools"})");
}

TEST(PoolStats, CountersAndDifficulty)
{
    FakeMiner miner;
    miner.answer("pools", pools_answer({pool(kUrl, "Alive", 0, "", true, "12345678901234"),
                                        pool(kUrl, "Alive", 1, "123456789012345678\xc3\xa9"),
                                        pool(kUrl, "Alive", 2, "65.5K")}));
    pools_ptr p(cgminer_pools_stats());
    ASSERT_TRUE(p);
    EXPECT_STREQ(p->main.diff, "0");
    EXPECT_EQ(p->main.accepted, 12345678901234u);
    EXPECT_EQ(p->main.rejected, 2u);
    EXPECT_EQ(p->main.stale, 1u);
    EXPECT_FALSE(p->main.asicboost);
    EXPECT_STREQ(p->reserved.diff, "123456789012345678"); // cut before a character, not in it
    EXPECT_STREQ(p->reserved2.diff, "65.5K");
}

TEST(PoolStats, UnusableAnswers)
{
    struct {
        const char *name;
        std::string raw;
        const char *error;
    } cases[] = {
        {"no POOLS", R"({"STATUS":[]})", "Failed to unpack POOLS from api response: "},
        {"POOLS an object", R"({"POOLS":{"URL":"x"}})", "POOLS must be an array object"},
        {"not an object", R"([1,2])", "Failed to unpack POOLS from api response: "},
    };
    FakeMiner miner;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        miner.answer("pools", c.raw);
        LogCapture cap;
        EXPECT_EQ(cgminer_pools_stats(), nullptr);
        auto errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    }
}

/* ---- process control ----------------------------------------------------------------- */

// The commands each request runs, in order, and the stop flag it leaves.
TEST(MinerControl, CommandsAndStopFlag)
{
    struct {
        const char *name;
        bool running;
        bool stopped_before;
        int (*request)(void);
        std::vector<std::string> commands;
        bool stopped_after;
        const char *warning;
    } cases[] = {
        {"start while running",
         true,
         true,
         cgminer_start,
         {"/etc/init.d/cgminer.sh stop", "rm /tmp/stoptrigger", "/etc/init.d/cgminer.sh start"},
         false,
         nullptr},
        {"start while not running",
         false,
         true,
         cgminer_start,
         {"rm /tmp/stoptrigger", "/etc/init.d/cgminer.sh start"},
         false,
         nullptr},
        {"stop",
         true,
         false,
         cgminer_stop,
         {"/www/pages/cgi-bin/stop_cgminer.cgi", "echo \"1\" > /tmp/stoptrigger"},
         true,
         nullptr},
        {"stop while not running", false, false, cgminer_stop, {}, false, "Miner is not running"},
        {"restart keeps the stop flag",
         true,
         true,
         cgminer_restart,
         {"/etc/init.d/cgminer.sh restart"},
         true,
         nullptr},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        FakeShell shell;
        shell.running = c.running;
        miner_is_stopped = c.stopped_before;
        status_report_pending(true);
        EXPECT_EQ(c.request(), 0);
        EXPECT_TRUE(cgminer_wait_workers(10));
        EXPECT_EQ(shell.recorded(), c.commands);
        EXPECT_EQ(miner_is_stopped, c.stopped_after);
        // A worker that ran asks for a status report when it is done.
        EXPECT_EQ(status_report_pending(true), !c.commands.empty());
        if (c.warning) {
            EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, c.warning));
        } else {
            EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);
        }
    }
    miner_is_stopped = false;
}

// A request behind one of its kind adds nothing, except a restart behind one
// under way: that one may have read the configuration before the change that
// asks again, so it runs once more.
TEST(MinerControl, DuplicateRequests)
{
    struct {
        int (*request)(void);
        bool running;
        const char *first_script;
        const char *warning;
        const char *info;
        int runs; // the operations run for three requests, the first held
    } cases[] = {
        {cgminer_start, false, "rm /tmp/stoptrigger", "Starting of miner is in progress",
         "Miner started", 1},
        {cgminer_stop, true, "/www/pages/cgi-bin/stop_cgminer.cgi",
         "Stopping of miner is in progress", nullptr, 1},
        {cgminer_restart, true, "/etc/init.d/cgminer.sh restart", "Miner is already restarting",
         "Miner restarted", 2},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.warning);
        LogCapture cap;
        FakeShell shell;
        shell.running = c.running;
        shell.hold = true; // the first script does not return yet
        EXPECT_EQ(c.request(), 0);
        shell.wait_commands(1);
        EXPECT_EQ(c.request(), 0);
        EXPECT_EQ(c.request(), 0);
        EXPECT_EQ(cap.count(LOG_LEVEL_WARN, c.warning), 3 - c.runs);
        EXPECT_FALSE(cgminer_wait_workers(0));
        shell.release();
        EXPECT_TRUE(cgminer_wait_workers(10));
        auto commands = shell.recorded();
        EXPECT_EQ(std::count(commands.begin(), commands.end(), c.first_script), c.runs);
        if (c.info) {
            EXPECT_EQ(cap.count(LOG_LEVEL_INFO, c.info), c.runs);
        }
        // Done: the next request runs again.
        EXPECT_EQ(c.request(), 0);
        EXPECT_TRUE(cgminer_wait_workers(10));
        EXPECT_EQ(cap.count(LOG_LEVEL_WARN, c.warning), 3 - c.runs);
    }
    miner_is_stopped = false;
}

// Requests run one at a time in the order they came, so the last one decides
// how the miner ends up. The first request's first script is held while the
// others arrive; a stop behind a start checks for the miner when its turn
// comes, not when it was asked for.
TEST(MinerControl, LastRequestWins)
{
    const std::string cgi = "/www/pages/cgi-bin/stop_cgminer.cgi";
    const std::string marker = "echo \"1\" > /tmp/stoptrigger";
    const std::string rm = "rm /tmp/stoptrigger";
    const std::string stop = "/etc/init.d/cgminer.sh stop";
    const std::string start = "/etc/init.d/cgminer.sh start";
    const std::string restart = "/etc/init.d/cgminer.sh restart";
    struct {
        const char *name;
        bool running_before, running_after;
        std::vector<int (*)(void)> requests;
        std::vector<std::string> commands;
        bool stopped_after;
    } cases[] = {
        {"stop, start",
         true,
         true,
         {cgminer_stop, cgminer_start},
         {cgi, marker, stop, rm, start},
         false},
        {"start, stop while no miner runs yet",
         false,
         true,
         {cgminer_start, cgminer_stop},
         {rm, start, cgi, marker},
         true},
        {"stop, start, stop",
         true,
         true,
         {cgminer_stop, cgminer_start, cgminer_stop},
         {cgi, marker, stop, rm, start, cgi, marker},
         true},
        {"stop, restart",
         true,
         true,
         {cgminer_stop, cgminer_restart},
         {cgi, marker, restart},
         true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        FakeShell shell;
        shell.running = c.running_before;
        miner_is_stopped = !c.stopped_after;
        shell.hold = true;
        EXPECT_EQ(c.requests[0](), 0);
        shell.wait_commands(1);
        for (size_t i = 1; i < c.requests.size(); i++)
            EXPECT_EQ(c.requests[i](), 0);
        {
            std::lock_guard<std::mutex> lock(shell.mutex);
            shell.running = c.running_after;
        }
        status_report_pending(true);
        shell.release();
        EXPECT_TRUE(cgminer_wait_workers(10));
        EXPECT_EQ(shell.recorded(), c.commands);
        EXPECT_EQ(miner_is_stopped, c.stopped_after);
        EXPECT_TRUE(status_report_pending(true));
        EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);
    }
    miner_is_stopped = false;
}

// Whether a stored configuration needs a restart: the last operation in line
// decides, also while the restart under way has the process gone for a moment
// (a miner that started before the store would keep the old configuration).
TEST(MinerControl, WillRunFollowsTheLastInLine)
{
    struct {
        const char *name;
        bool running; // the process check while the first script is held
        std::vector<int (*)(void)> requests;
        bool will_run;
    } cases[] = {
        {"nothing in line, running", true, {}, true},
        {"nothing in line, no miner", false, {}, false},
        {"restart under way, process gone", false, {cgminer_restart}, true},
        {"start under way", false, {cgminer_start}, true},
        {"stop under way", true, {cgminer_stop}, false},
        {"restart, then a stop queued", false, {cgminer_restart, cgminer_stop}, false},
        {"stop, then a start queued", true, {cgminer_stop, cgminer_start}, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        FakeShell shell;
        shell.running = true; // a stop is queued only for a running miner
        shell.hold = true;
        for (size_t i = 0; i < c.requests.size(); i++) {
            EXPECT_EQ(c.requests[i](), 0);
            if (i == 0)
                shell.wait_commands(1);
        }
        {
            std::lock_guard<std::mutex> lock(shell.mutex);
            shell.running = c.running;
        }
        EXPECT_EQ(cgminer_will_run(), c.will_run);
        shell.release();
        EXPECT_TRUE(cgminer_wait_workers(10));
    }
    miner_is_stopped = false;
}

// Once the process is stopping, the operation under way ends after its
// current script and what is queued is dropped.
TEST(MinerControl, StopDropsTheRest)
{
    struct resume_guard {
        ~resume_guard() { shell_resume_waiting(); }
    } resume;
    LogCapture cap;
    FakeShell shell;
    miner_is_stopped = true;
    shell.hold = true;
    EXPECT_EQ(cgminer_start(), 0);
    shell.wait_commands(1); // the start's "cgminer.sh stop"
    EXPECT_EQ(cgminer_restart(), 0);
    shell_stop_waiting();
    shell.release();
    EXPECT_TRUE(cgminer_wait_workers(10));
    EXPECT_EQ(shell.recorded(), std::vector<std::string>{"/etc/init.d/cgminer.sh stop"});
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "Agent is stopping, 1 miner operation(s) dropped"));
    EXPECT_FALSE(cap.contains(LOG_LEVEL_INFO, "Miner started"));
    EXPECT_TRUE(miner_is_stopped);
    miner_is_stopped = false;
}
