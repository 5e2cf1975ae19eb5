#include <gtest/gtest.h>

#include <chrono>
#include <jansson.h>
#include <memory>
#include <string>
#include <thread>

#include "fake_miner.h"
#include "log_capture.h"
#include "miner/api.h"
#include "json_text.h"
#include "owners.h"

namespace
{

// A JSON object of exactly len bytes.
std::string object_of_size(size_t len)
{
    const std::string head = "{\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(len - head.size() - tail.size(), 'x') + tail;
}

double seconds_since(std::chrono::steady_clock::time_point t0)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}
} // namespace

TEST(ApiClient, AnswersArriveWholeAndRepaired)
{
    const std::string nul(1, '\0');
    struct {
        const char *name;
        std::string raw;
        std::string expected;
    } cases[] = {
        {"exactly one buffer", object_of_size(4096), object_of_size(4096)},
        {"several buffers", object_of_size(3 * 4096 + 123), object_of_size(3 * 4096 + 123)},
        {"two buffers plus one byte", object_of_size(8193), object_of_size(8193)},
        {"objects back to back", R"({"STATS":[{"a":1}{"b":2}]})", R"({"STATS":[{"a":1},{"b":2}]})"},
        {"bare inf", R"({"Min":inf,"Max":1.5})", R"({"Min":0,"Max":1.5})"},
        {"trailing NUL ends the text", R"({"a":[{"x":1}{"y":2}]})" + nul + "garbage",
         R"({"a":[{"x":1},{"y":2}]})"},
    };
    FakeMiner miner;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        miner.answer("*", c.raw);
        json_t *res = nullptr;
        ASSERT_EQ(api_call_cmd("stats", &res), 0);
        json_ptr owner(res);
        json_ptr expected = parse(c.expected);
        ASSERT_TRUE(expected);
        EXPECT_TRUE(json_equal(res, expected.get()));
        EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
    }
    // The request is the bare object on one line: no terminator, no newline.
    EXPECT_EQ(miner.requests().back(), R"({"command": "stats"})");
}

TEST(ApiClient, FailuresLogTheirLinesAndGiveNoAnswer)
{
    struct {
        const char *name;
        std::string raw;
        std::vector<std::string> errors; // every ERROR line, in order
    } cases[] = {
        {"empty answer", "", {"", "Failed to parse API response:\n"}},
        {"not JSON", "<html>busy</html>", {"", "Failed to parse API response:\n<html>busy</html>"}},
        {"long answer: its start and its length",
         std::string(20000, 'x'),
         {"", "Failed to parse API response:\n" + std::string(512, 'x') + "... (20000 bytes)"}},
        {"answer over the size limit",
         object_of_size(API_MAX_RESPONSE + 10),
         {"Failed to receive API response: Message too long", "Failed to receive API response"}},
    };
    FakeMiner miner;
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        miner.answer("*", c.raw);
        json_t *res = reinterpret_cast<json_t *>(&cap); // must be reset
        EXPECT_EQ(api_call_cmd("pools", &res), -1);
        EXPECT_EQ(res, nullptr);
        auto errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), c.errors.size());
        for (size_t i = 0; i < errors.size(); i++) {
            // ERROR lines carry "file:line: " before the text.
            EXPECT_NE(errors[i].find("api.cpp:"), std::string::npos) << errors[i];
            EXPECT_TRUE(errors[i].size() >= c.errors[i].size() &&
                        errors[i].compare(errors[i].size() - c.errors[i].size(), c.errors[i].size(),
                                          c.errors[i]) == 0)
                << errors[i];
        }
    }
}

TEST(ApiClient, MinerNotListeningCostsOneErrorLine)
{
    LogCapture cap;
    int port = FakeMiner::closed_port();
    api_set_addr("127.0.0.1", port);
    json_t *res = nullptr;
    EXPECT_EQ(api_call_cmd("stats", &res), -1);
    EXPECT_EQ(res, nullptr);
    EXPECT_FALSE(api_is_alive());
    auto errors = cap.messages(LOG_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("Connection failed to API at 127.0.0.1:" + std::to_string(port)),
              std::string::npos);

    // An unresolvable host: its own line before the connection line.
    cap.clear();
    api_set_addr("no-such-host.invalid", port);
    EXPECT_EQ(api_call_cmd("stats", &res), -1);
    errors = cap.messages(LOG_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Can't resove hostname: no-such-host.invalid"), std::string::npos);
    api_set_addr("127.0.0.1", 4028);
}

TEST(ApiClient, SetAddrIgnoresMissingHostAndBadPort)
{
    FakeMiner miner;
    miner.answer("*", "{}");
    api_set_addr(nullptr, 1);
    api_set_addr("192.0.2.1", 0);
    api_set_addr("192.0.2.1", -5);
    json_t *res = nullptr;
    EXPECT_EQ(api_call_cmd("stats", &res), 0);
    json_decref(res);
    EXPECT_TRUE(api_is_alive());
}

// A miner that accepts and never answers, or answers a byte at a time, costs
// one bounded call, not a frozen thread.
TEST(ApiClient, SilentAndTricklingMinersTimeOut)
{
    const std::string big = object_of_size(400); // 20 s at one byte per 50 ms
    for (auto mode : {FakeMiner::Mode::silent, FakeMiner::Mode::trickle}) {
        SCOPED_TRACE(mode == FakeMiner::Mode::silent ? "silent" : "trickle");
        FakeMiner miner;
        miner.answer("*", big);
        miner.set_mode(mode, 50);
        LogCapture cap;
        auto t0 = std::chrono::steady_clock::now();
        json_t *res = nullptr;
        EXPECT_EQ(api_call_cmd("stats", &res), -1);
        double took = seconds_since(t0);
        EXPECT_GE(took, API_CALL_TIMEOUT_MS / 1000.0 - 0.5);
        EXPECT_LT(took, API_CALL_TIMEOUT_MS / 1000.0 + 5);
        EXPECT_TRUE(
            cap.contains(LOG_LEVEL_ERROR, "Failed to receive API response: Connection timed out"));
    }
}

TEST(ApiClient, CallsFromTwoThreadsAreSerialised)
{
    FakeMiner miner;
    miner.answer("*", R"({"ok":true})");
    miner.set_delay_ms(200);
    int results[4] = {-1, -1, -1, -1};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; i++) {
        threads.emplace_back([&results, i] {
            json_t *res = nullptr;
            results[i] = api_call_cmd(i % 2 ? "stats" : "pools", &res);
            json_decref(res);
        });
    }
    for (auto &t : threads)
        t.join();
    for (int r : results)
        EXPECT_EQ(r, 0);
    EXPECT_EQ(miner.connections(), 4);
    EXPECT_EQ(miner.max_concurrent(), 1);
}
