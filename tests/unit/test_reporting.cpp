#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <limits>
#include <memory>
#include <netinet/ether.h>
#include <csignal>
#include <string>
#include <unistd.h>

#include "agent.h"
#include "fake_miner.h"
#include "fake_shell.h"
#include "log_capture.h"
#include "miner/metrics.h"
#include "miner/status.h"
#include "json_text.h"
#include "owners.h"
#include "periodic.h"
#include "session_fixture.h"
#include "shell.h"

namespace
{

std::string stats_answer(bool hashing)
{
    std::string stats = R"({"Elapsed":61,"GHS 5s":")" + std::string(hashing ? "503.1" : "0") +
                        R"(","GHS av":500.0,"freq_avg1":384.0})";
    return R"({"STATS":[{"Type":"Antminer L3+"})" + stats + "]}";
}

kv_metrics_t snapshot(enum miner_states state)
{
    kv_metrics_t m;
    memset(&m, 0, sizeof(m));
    m.state = state;
    return m;
}
} // namespace

// Every row of the reported-state table.
TEST(StatusReport, StateTable)
{
    struct {
        bool snapshot, auto_tune, stopped, running, ready_and_hashing;
        const char *text;
    } rows[] = {
        {true, true, true, false, false, "autotuning"},
        {true, false, true, true, true, "pause"},
        {true, false, false, true, true, "mining"},
        {true, false, false, true, false, "initializing"},
        {true, false, false, false, true, "unknown"},
        {false, true, true, true, false, "pause"},
        {false, false, false, true, false, "initializing"},
        {false, true, false, false, false, "restarting"},
    };
    FakeShell shell;
    for (const auto &r : rows) {
        SCOPED_TRACE(r.text);
        shell.running = r.running;
        miner_is_stopped = r.stopped;
        miner_is_auto_tune = r.auto_tune;
        malloc_ptr<kv_metrics_t> m;
        if (r.snapshot) {
            FakeMiner miner;
            miner.answer("stats", stats_answer(r.ready_and_hashing));
            m.reset(cgminer_metrics());
            ASSERT_TRUE(m);
        }
        EXPECT_STREQ(translate_miner_state(status_reported_state(m.get())), r.text);
    }
    miner_is_stopped = false;
    miner_is_auto_tune = false;
    EXPECT_STREQ(translate_miner_state(MINER_STATE_SHUTTING_DOWN), "restarting");
    EXPECT_STREQ(translate_miner_state(MINER_STATE_FAILURE), "error");
    EXPECT_STREQ(translate_miner_state(42), "unknown");
}

TEST(StatusReport, WhenAReportIsDue)
{
    kv_metrics_t mining = snapshot(MINER_STATE_MINING);
    struct {
        const char *name;
        const kv_metrics_t *metrics;
        enum miner_states prev;
        bool forced;
        int secs;
        bool due;
    } cases[] = {
        {"unchanged", &mining, MINER_STATE_MINING, false, 25, false},
        {"state changed", &mining, MINER_STATE_INITIALIZING, false, 5, true},
        {"asked for", &mining, MINER_STATE_MINING, true, 5, true},
        {"period over", &mining, MINER_STATE_MINING, false, 30, true},
        {"no snapshot after restarting", nullptr, MINER_STATE_RESTARTING, false, 25, false},
        {"no snapshot after mining", nullptr, MINER_STATE_MINING, false, 5, true},
        {"no snapshot, period over", nullptr, MINER_STATE_RESTARTING, false, 30, true},
    };
    for (const auto &c : cases)
        EXPECT_EQ(status_report_due(c.metrics, c.prev, c.forced, c.secs), c.due) << c.name;
}

TEST(StatusReport, Message)
{
    FakeShell shell;
    kv_metrics_t m = snapshot(MINER_STATE_MINING);
    m.uptime = 3723;
    kv_pools_stats_t pools;
    memset(&pools, 0, sizeof(pools));
    pools.main = {false, "131K", 10, 1, 2, POOL_ACTIVE};
    pools.reserved2 = {false, "0", 0, 0, 0, POOL_DEAD};
    pools.svc_fee_list[0] = {false, "1", 5, 0, 0, POOL_ALIVE};
    pools.svc_fee_list[1] = {false, "1", 5, 0, 0, POOL_NOT_CONFIGURED};
    pools.svc_fee_count = 2;
    struct netinfo ni;
    memset(&ni, 0, sizeof(ni));
    inet_pton(AF_INET, "192.0.2.10", &ni.ip);
    inet_pton(AF_INET, "255.255.255.0", &ni.netmask);
    inet_pton(AF_INET, "192.0.2.1", &ni.gateway);
    inet_pton(AF_INET, "192.0.2.53", &ni.ns[0]);
    ni.ns_count = 1;
    ni.mac = *ether_aton("00:11:22:aa:bb:cc");

    json_ptr msg(status_build_message(&m, &pools, &ni));
    EXPECT_EQ(
        dumps(msg.get()),
        R"({"type":"status","firmware_id":"pelto-antminer-l3plus","firmware_ver":"3.9.0",)"
        R"("uptime":3723,"state":{"name":"mining"},)"
        R"("network":{"ip":"192.0.2.10","netmask":"255.255.255.0","gateway":"192.0.2.1",)"
        R"("dnsservers":["192.0.2.53"],"mac":"00:11:22:aa:bb:cc"},)"
        R"("pools":{"main":{"boost":false,"difficulty":"131K","accepted":10,"rejected":1,)"
        R"("stale":2,"status":"active"},"reserved2":{"boost":false,"difficulty":"0",)"
        R"("accepted":0,"rejected":0,"stale":0,"status":"dead"},"service_fee":[{"boost":false,)"
        R"("difficulty":"1","accepted":5,"rejected":0,"stale":0,"status":"alive"}]}})");

    // No snapshot and no pools: uptime 0, no "pools", the state from the process.
    shell.running = false;
    msg.reset(status_build_message(nullptr, nullptr, &ni));
    EXPECT_EQ(dumps(json_object_get(msg.get(), "state")), R"({"name":"restarting"})");
    EXPECT_EQ(json_integer_value(json_object_get(msg.get(), "uptime")), 0);
    EXPECT_EQ(json_object_get(msg.get(), "pools"), nullptr);

    // No interface: no message.
    LogCapture cap;
    EXPECT_EQ(status_build_message(&m, &pools, nullptr), nullptr);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to build status msg"));
}

TEST(MetricsReport, Message)
{
    kv_metrics_t m = snapshot(MINER_STATE_MINING);
    m.timestamp = 1700000000;
    m.temp = 71;
    m.fan_count = 1;
    m.fan_list[0] = {2, 50, 3000};
    m.chain_count = 4;
    for (int i = 0; i < 4; i++)
        if (i != 2)
            m.chain_list[i] = {i + 1, 72, 0.125, 384.0, 850, 200.5, 3, 70, 55};
    json_ptr msg(metrics_build_message(&m));
    EXPECT_EQ(
        dumps(msg.get()),
        R"({"type":"metrics","timestamp":1700000000,"hash_rate":0.0,"hashrate_avg":0.0,)"
        R"("freq":0.0,"temp":71,"watt":0.0,"hw_errors":0,)"
        R"("fans":[{"id":"2","speed":50,"rpm":3000}],"chains":[)"
        R"({"id":"1","num_chips":72,"hash_rate":0.125,"freq":384.0,"volt":850.0,"watt":200.5,"hw_errors":3,"chip_temp":70,"pcb_temp":55},)"
        R"({"id":"2","num_chips":72,"hash_rate":0.125,"freq":384.0,"volt":850.0,"watt":200.5,"hw_errors":3,"chip_temp":70,"pcb_temp":55},)"
        R"({"id":"0","num_chips":0,"hash_rate":0.0,"freq":0.0,"volt":0.0,"watt":0.0,"hw_errors":0,"chip_temp":0,"pcb_temp":0},)"
        R"({"id":"4","num_chips":72,"hash_rate":0.125,"freq":384.0,"volt":850.0,"watt":200.5,"hw_errors":3,"chip_temp":70,"pcb_temp":55}]})");

    kv_metrics_t zero = snapshot(MINER_STATE_INITIALIZING);
    msg.reset(metrics_build_message(&zero));
    EXPECT_EQ(dumps(json_object_get(msg.get(), "fans")), "[]");
    EXPECT_EQ(dumps(json_object_get(msg.get(), "chains")), "[]");
    // Without a connection the message is dropped.
    EXPECT_EQ(metrics_send_zeroes(), -2);
}

// The timestamp goes out whole, whatever the width of time_t (the largest one
// a 64-bit time_t holds does not fit an int).
TEST(MetricsReport, WholeTimestamp)
{
    kv_metrics_t m = snapshot(MINER_STATE_MINING);
    m.timestamp = std::numeric_limits<time_t>::max();
    m.temp = 71;
    json_ptr msg(metrics_build_message(&m));
    ASSERT_NE(msg, nullptr);
    EXPECT_EQ(json_integer_value(json_object_get(msg.get(), "timestamp")),
              static_cast<json_int_t>(std::numeric_limits<time_t>::max()));
    EXPECT_EQ(json_integer_value(json_object_get(msg.get(), "temp")), 71);
}

/* ---- kernel log ---------------------------------------------------------------------- */

TEST(KernelLog, BoundedCommand)
{
    struct {
        const char *name;
        std::string cmd;
        int result;
        size_t size;
    } cases[] = {
        {"many lines", "seq 1 20000", 0, 108894},
        {"long line", "head -c 3000 /dev/zero | tr '\\0' x", 0, 3000},
        {"nothing", "true", 0, 0},
        {"too much", "yes", -3, 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        std::string out;
        EXPECT_EQ(shell_read_bounded(c.cmd.c_str(), &out, 20000, 1024 * 1024), c.result);
        if (c.result == 0) {
            EXPECT_EQ(out.size(), c.size);
        }
    }

    // A command that hangs, with a child of its own holding the output open:
    // both are killed at the limit.
    char marker[] = "/tmp/kvagent-logs-XXXXXX";
    int fd = mkstemp(marker);
    ASSERT_GE(fd, 0);
    close(fd);
    std::string cmd = "echo partial; sleep 30 & echo $! > " + std::string(marker) + "; sleep 30";
    std::string out;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(shell_read_bounded(cmd.c_str(), &out, 1000, 1024), -2);
    double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_LT(took, 10);
    EXPECT_EQ(out, "partial\n");
    std::string pid_text;
    ASSERT_EQ(shell_read(("cat " + std::string(marker)).c_str(), &pid_text), 0);
    int child = atoi(pid_text.c_str());
    ASSERT_GT(child, 0);
    // Gone, or a zombie waiting for whoever adopted it.
    std::string state;
    shell_read(("grep State /proc/" + std::to_string(child) + "/status").c_str(), &state);
    EXPECT_TRUE(state.empty() || state.find("zombie") != std::string::npos) << state;
    unlink(marker);
}

namespace
{
int (*log_script)(const char *, std::string *) = nullptr;
} // namespace

TEST(KernelLog, Messages)
{
    struct {
        const char *name;
        int (*script)(const char *, std::string *);
        std::string expected;
    } cases[] = {
        {"output",
         [](const char *, std::string *out) {
             *out = "[    0.000000] Booting Linux\n" + std::string(300, 'k') + "\n";
             return 0;
         },
         R"({"type":"logs","request_id":"r1","logs":"[    0.000000] Booting Linux\n)" +
             std::string(300, 'k') + R"(\n"})"},
        {"empty output", [](const char *, std::string *) { return 0; },
         R"({"type":"logs","request_id":"r1","logs":""})"},
        {"exit status is not looked at", [](const char *, std::string *) { return 127; },
         R"({"type":"logs","request_id":"r1","logs":""})"},
        {"cannot start", [](const char *, std::string *) { return -1; },
         R"({"type":"get_logs","request_id":"r1","ok":false,"message":"Fetching logs failed"})"},
        {"hangs", [](const char *, std::string *) { return -2; },
         R"({"type":"get_logs","request_id":"r1","ok":false,"message":"Fetching logs failed"})"},
        {"too much", [](const char *, std::string *) { return -3; },
         R"({"type":"get_logs","request_id":"r1","ok":false,)"
         R"("message":"Unable to allocate memory for storing log messages"})"},
        {"not UTF-8",
         [](const char *, std::string *out) {
             *out = "\xff\xfe";
             return 0;
         },
         R"({"type":"get_logs","request_id":"r1","ok":false,)"
         R"("message":"Failed to encode logs response"})"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        log_script = c.script;
        shell_set_runner([](const char *cmd, std::string *out) {
            EXPECT_STREQ(cmd, "sh /www/pages/cgi-bin/get_kernel_log.cgi");
            return log_script(cmd, out);
        });
        LogCapture cap;
        json_ptr msg(agent_logs_message("r1"));
        shell_set_runner(nullptr);
        EXPECT_EQ(dumps(msg.get()), c.expected);
        EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), c.expected.find("get_logs") != std::string::npos);
    }
    // Not connected: nothing is run or sent.
    EXPECT_EQ(miner_send_logs("r2"), -1);
}

/* ---- the reporting threads ---------------------------------------------------------- */

// The status and metrics threads of a logged-in agent with a mining miner,
// their periods counted in short units.
class ReportingThreads : public SessionTest
{
  protected:
    void SetUp() override
    {
        SessionTest::SetUp();
        miner.answer("stats", stats_answer(true));
        shell.running = true;
        miner_is_stopped = false;
        miner_is_auto_tune = false;
        agent_get_state()->connected = true;
        agent_get_state()->authenticated = true;
    }
    void TearDown() override
    {
        metrics_stop();
        status_stop_reporting();
        periodic_set_unit_ms(1000);
        agent_get_state()->connected = false;
        agent_get_state()->authenticated = false;
        SessionTest::TearDown();
    }

    // Takes the queued messages into taken; the number of type among them.
    size_t take(const char *type)
    {
        for (const std::string &text : drain_texts())
            taken.push_back(text);
        size_t n = 0;
        for (const std::string &text : taken)
            n += text.find(std::string("{\"type\":\"") + type + "\"") == 0;
        return n;
    }
    // Waits (up to secs) until count messages of type were queued.
    bool wait_for(const char *type, size_t count, int secs)
    {
        auto end = std::chrono::steady_clock::now() + std::chrono::seconds(secs);
        while (take(type) < count) {
            if (std::chrono::steady_clock::now() > end)
                return false;
            usleep(2000);
        }
        return true;
    }
    size_t requests_of(const std::string &command) const
    {
        size_t n = 0;
        for (const std::string &r : miner.requests())
            n += r.find("\"" + command + "\"") != std::string::npos;
        return n;
    }

    FakeShell shell;
    FakeMiner miner;
    std::vector<std::string> taken;
};

// A status at once (the miner went from "initializing" to mining), then one
// every sixth pass of the 5-unit cycle: the count follows from the passes,
// each of which reads the pools once, whatever the machine's speed.
// Metrics flow beside it.
TEST_F(ReportingThreads, StatusEverySixthCycleAndMetricsBeside)
{
    periodic_set_unit_ms(4);
    status_start_reporting();
    metrics_start();
    ASSERT_TRUE(wait_for("status", 4, 60));
    ASSERT_TRUE(wait_for("metrics", 3, 60));
    status_stop_reporting();
    metrics_stop();
    size_t statuses = take("status");
    size_t passes = requests_of("pools");
    ASSERT_GE(passes, 19u);
    // The last pass may have been stopped between its reads and its report.
    EXPECT_TRUE(statuses == 1 + (passes - 1) / 6 || statuses == 1 + (passes - 2) / 6)
        << statuses << " statuses in " << passes << " passes";
    for (const std::string &text : taken) {
        if (text.find(R"({"type":"status")") == 0) {
            EXPECT_NE(text.find(R"("state":{"name":"mining"})"), std::string::npos) << text;
        }
    }
}

// A report asked for ends the thread's wait at once, and so does the stop:
// with a 60-second cycle, neither waits for the cycle's end.
TEST_F(ReportingThreads, ReportRequestAndStopCutTheWait)
{
    periodic_set_unit_ms(12000);
    status_start_reporting();
    ASSERT_TRUE(wait_for("status", 1, 30)); // the first pass reports at once
    status_report_now();
    EXPECT_TRUE(wait_for("status", 2, 45));
    auto before = std::chrono::steady_clock::now();
    status_stop_reporting();
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(45));
}
