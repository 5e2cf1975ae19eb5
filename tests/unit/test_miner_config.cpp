#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <jansson.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "log_capture.h"
#include "open_transaction.h"
#include "miner/config.h"
#include "miner/l3plus/support.h"
#include "miner/support.h"
#include "json_text.h"
#include "owners.h"

namespace
{

std::string join_chips(int count, const std::function<int(int)> &value)
{
    std::string s;
    for (int i = 0; i < count; i++)
        s += (i ? ":" : "") + std::to_string(value(i));
    return s;
}

class MinerConfigFile : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kvagent-minercfg-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/cgminer.conf";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string &text)
    {
        std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
    }
    std::string read() const
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream s;
        s << in.rdbuf();
        return s.str();
    }
    // Loads text; the record and the load's result.
    int load(const std::string &text, struct miner_config *cfg)
    {
        write(text);
        return miner_load_config(path.c_str(), cfg);
    }

    std::string dir, path;
};
} // namespace

/* ---- loading ------------------------------------------------------------------------- */

TEST_F(MinerConfigFile, ReadRulesAndDefaults)
{
    struct Case {
        const char *name;
        std::string text;
        int result;
        std::vector<std::string> errors; // ERROR lines, in order (substrings)
        std::function<void(const struct miner_config &)> check;
    };
    const Case cases[] = {
        {"defaults",
         R"({"pools": []})",
         0,
         {},
         [](const struct miner_config &c) {
             EXPECT_EQ(c.pool_count, 0u);
             EXPECT_FALSE(c.bitmain_fan_ctrl);
             EXPECT_EQ(c.bitmain_fan_pwm, 0);
             EXPECT_EQ(c.bitmain_target_temp, 65);
             EXPECT_EQ(c.bitmain_freq, 384);
             EXPECT_EQ(c.bitmain_voltage, 8);
             EXPECT_EQ(c.bitmain_autodownscale_prec, 75);
             EXPECT_EQ(c.bitmain_autodownscale_min, 400);
             EXPECT_EQ(c.bitmain_autodownscale_step, 2);
             EXPECT_EQ(c.bitmain_autodownscale_after, 2);
             EXPECT_EQ(c.bitmain_tempoff, 0);
             EXPECT_EQ(c.chain4_chip_freqs[71], 0);
         }},
        {"caps and the target temperature",
         R"({"pools": [], "bitmain-fan-pwm": "150", "bitmain-target-temp": "-5",
             "bitmain-autodownscale-prec": "120", "bitmain-fan-rpm-off": "true"})",
         0,
         {},
         [](const struct miner_config &c) {
             EXPECT_EQ(c.bitmain_fan_pwm, 100);
             EXPECT_EQ(c.bitmain_target_temp, 65);
             EXPECT_EQ(c.bitmain_autodownscale_prec, 100);
             EXPECT_FALSE(c.bitmain_fan_rpm_off);
         }},
        {"numbers in texts",
         R"({"pools": [], "bitmain-fan-rpm-off": "1", "bitmain-target-temp": "70",
             "bitmain-freq": "  -12x", "bitmain-voltage": "abc", "bitmain-freq2": "99999999999999",
             "bitmain-minhr": "+", "bitmain-tempoff": "90"})",
         0,
         {},
         [](const struct miner_config &c) {
             EXPECT_TRUE(c.bitmain_fan_rpm_off);
             EXPECT_EQ(c.bitmain_target_temp, 70);
             EXPECT_EQ(c.bitmain_freq, -12);
             EXPECT_EQ(c.bitmain_voltage, 0);
             EXPECT_EQ(c.bitmain_freq2, INT_MAX);
             EXPECT_EQ(c.bitmain_minhr, 0);
             EXPECT_EQ(c.bitmain_tempoff, 90);
         }},
        {"fan group of wrong types is reset",
         R"({"pools": [], "bitmain-fan-ctrl": "true", "bitmain-fan-pwm": "50",
             "bitmain-target-temp": "70"})",
         0,
         {"Failed to parse fan settings - "},
         [](const struct miner_config &c) {
             EXPECT_FALSE(c.bitmain_fan_ctrl);
             EXPECT_EQ(c.bitmain_fan_pwm, 0);
             EXPECT_EQ(c.bitmain_target_temp, 0);
         }},
        {"pools: five give three, a bad one is skipped",
         R"({"pools": [{"url": "a", "user": "u", "pass": "p"}, {"url": "b", "user": "u"},
                      {"url": "c", "user": "u", "pass": "p"}, {"url": "d", "user": "u", "pass": "p"},
                      {"url": "e", "user": "u", "pass": "p"}]})",
         0,
         {"", "Failed to parse pool[1]"},
         [](const struct miner_config &c) {
             ASSERT_EQ(c.pool_count, 2u); // only the first three elements count
             EXPECT_STREQ(c.pools[0].url, "a");
             EXPECT_STREQ(c.pools[1].url, "c");
         }},
        {"long pool strings are cut, at a character boundary",
         R"({"pools": [{"url": ")" + std::string(600, 'u') + R"(", "user": ")" +
             std::string(254, 'w') + "\u00e9" + R"(", "pass": ")" + std::string(300, 'p') +
             R"("}]})",
         0,
         {},
         [](const struct miner_config &c) {
             EXPECT_EQ(strlen(c.pools[0].url), 511u);
             EXPECT_EQ(std::string(c.pools[0].worker), std::string(254, 'w'));
             EXPECT_EQ(strlen(c.pools[0].passwd), 255u);
         }},
        {"frequency as a number",
         R"({"pools": [], "bitmain-freq": 384})",
         -1,
         {"Failed to parse global freq and volt settings - ", "Failed to parse miner settings",
          "Failed to parse miner config"},
         nullptr},
        {"chain voltage as a number",
         R"({"pools": [], "bitmain-voltage3": 8})",
         -1,
         {"Failed to parse chain freq and volt settings - ", "Failed to parse miner settings",
          "Failed to parse miner config"},
         nullptr},
        {"autotuner switch as a string",
         R"({"pools": [], "bitmain-autodownscale": "1"})",
         -1,
         {"Failed to parse autotune settings", "Failed to parse miner settings",
          "Failed to parse miner config"},
         nullptr},
        {"chip list as an array",
         R"({"pools": [], "bitmain-chip-freq": [1, 2]})",
         -1,
         {"Failed to parse chip frequencies", "", ""},
         nullptr},
        {"watchdog as numbers",
         R"({"pools": [], "bitmain-tempoff": 90})",
         -1,
         {"Failed to parse watchdog settings", "", ""},
         nullptr},
        {"altdf as a string",
         R"({"pools": [], "altdf": "true"})",
         -1,
         {"Failed to parse misc settings", "", ""},
         nullptr},
        {"no pools",
         R"({"bitmain-freq": "384"})",
         -1,
         {"Pools not specifed or have wrong format", "Failed to parse pool settings",
          "Failed to parse miner config"},
         nullptr},
        {"pools an object",
         R"({"pools": {}})",
         -1,
         {"Pools not specifed or have wrong format", "", ""},
         nullptr},
        {"root an array",
         R"([{"pools": []}])",
         -1,
         {"Pools not specifed or have wrong format", "", ""},
         nullptr},
        {"not JSON", "{\"pools\": [", -1, {"json error: "}, nullptr},
        {"not UTF-8", "{\"pools\": [], \"x\": \"\xff\xfe\"}", -1, {"json error: "}, nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        LogCapture cap;
        struct miner_config cfg;
        EXPECT_EQ(load(c.text, &cfg), c.result);
        auto errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), c.errors.size());
        for (size_t i = 0; i < errors.size(); i++)
            EXPECT_NE(errors[i].find(c.errors[i]), std::string::npos) << errors[i];
        if (c.check)
            c.check(cfg);
    }
    LogCapture cap;
    struct miner_config cfg;
    EXPECT_EQ(miner_load_config((dir + "/missing.conf").c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "json error: "));
}

TEST_F(MinerConfigFile, ChipLists)
{
    struct {
        const char *name;
        std::string list;
        std::vector<std::pair<int, int>> expected; // (chip index 0-287, value)
    } cases[] = {
        {"leading and doubled separators", "::5::6:", {{0, 5}, {1, 6}, {2, 0}}},
        {"values above 16 bits wrap", "70000:65536:-1", {{0, 4464}, {1, 0}, {2, 65535}}},
        {"tokens after 288 are ignored",
         join_chips(300, [](int i) { return i + 1; }),
         {{0, 1}, {71, 72}, {287, 288}}},
        {"288 three-digit values, longer than a kilobyte",
         join_chips(288, [](int i) { return 400 + i % 100; }),
         {{0, 400}, {255, 455}, {256, 456}, {287, 487}}},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        struct miner_config cfg;
        ASSERT_EQ(load(R"({"pools": [], "bitmain-chip-freq": ")" + c.list + "\"}", &cfg), 0);
        for (auto [k, v] : c.expected)
            EXPECT_EQ(chain_chip_freqs(&cfg, k / 72 + 1)[k % 72], v) << "chip index " << k;
    }
}

/* ---- storing ------------------------------------------------------------------------- */

namespace
{
// Every field set, within the limits of the read rules.
struct miner_config full_record()
{
    struct miner_config c;
    memset(&c, 0, sizeof(c));
    c.pool_count = 3;
    c.pools_changed = true;
    for (int i = 0; i < 3; i++) {
        snprintf(c.pools[i].url, sizeof(c.pools[i].url), "stratum+tcp://pool%d.example:3333", i);
        snprintf(c.pools[i].worker, sizeof(c.pools[i].worker), "worker.%d", i);
        snprintf(c.pools[i].passwd, sizeof(c.pools[i].passwd), "x%d", i);
    }
    strcpy(c.pools[2].passwd, "ends in \": ");
    c.bitmain_fan_ctrl = true;
    c.bitmain_fan_pwm = 80;
    c.bitmain_target_temp = 72;
    c.bitmain_fan_rpm_off = true;
    c.bitmain_silentstart = true;
    c.bitmain_freq = 400;
    c.bitmain_voltage = 9;
    for (int chain = 1; chain <= 4; chain++) {
        *chain_freq_field(&c, chain) = 380 + chain;
        *chain_volt_field(&c, chain) = chain;
        for (int chip = 0; chip < 72; chip++)
            chain_chip_freqs(&c, chain)[chip] = 300 + chain * 72 + chip;
    }
    c.bitmain_autodownscale_profile = 7;
    c.bitmain_autodownscale = true;
    c.bitmain_autodownscale_watch = true;
    c.bitmain_autodownscale_watchtimer = true;
    c.bitmain_autodownscale_timer = 24;
    c.bitmain_autodownscale_hw = 5;
    c.bitmain_autodownscale_prec = 90;
    c.bitmain_autodownscale_min = 350;
    c.bitmain_autodownscale_step = 3;
    c.bitmain_autodownscale_after = 4;
    c.bitmain_autodownscale_reboot = true;
    c.bitmain_minhr = 400;
    c.bitmain_maxx = 3;
    c.bitmain_tempoff = 95;
    c.bitmain_trigger_reboot = 2;
    c.altdfno = true;
    return c;
}
} // namespace

TEST_F(MinerConfigFile, StoreThenLoadGivesTheSameRecord)
{
    write(R"({"pools": [], "api-listen": true, "extra": {"keep": [1, "two"]}})");
    struct miner_config stored = full_record();
    ASSERT_EQ(miner_update_config(path.c_str(), &stored), 0);
    struct miner_config loaded;
    ASSERT_EQ(miner_load_config(path.c_str(), &loaded), 0);
    loaded.pools_changed = true; // the one member that is not in the file
    EXPECT_EQ(memcmp(&stored, &loaded, sizeof(stored)), 0);
    EXPECT_STREQ(loaded.pools[2].passwd, "ends in \": ");

    // Members the model does not know are kept.
    json_ptr file = parse(read());
    ASSERT_TRUE(file);
    EXPECT_EQ(dumps(json_object_get(file.get(), "extra")), R"({"keep":[1,"two"]})");
    EXPECT_TRUE(json_is_true(json_object_get(file.get(), "api-listen")));
}

TEST_F(MinerConfigFile, RemovalRulesAndMultiVersion)
{
    struct {
        const char *name;
        std::string before;
        int tempoff;
        std::string multi_version; // expected value; always the last member
    } cases[] = {
        {"added when absent", R"({"pools": [], "api-foo": false, "bitmain-tempoff": "90"})", 0,
         "1"},
        {"kept and moved last",
         R"({"multi-version": "7", "pools": [], "bitmain-autodownscale": true})", 90, "7"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        write(c.before);
        struct miner_config cfg;
        memset(&cfg, 0, sizeof(cfg)); // every boolean false
        cfg.bitmain_tempoff = c.tempoff;
        ASSERT_EQ(miner_update_config(path.c_str(), &cfg), 0);
        json_ptr file = parse(read());
        ASSERT_TRUE(file);
        const char *key;
        json_t *value;
        const char *last = nullptr;
        json_object_foreach(file.get(), key, value)
        {
            EXPECT_FALSE(json_is_false(value)) << key;
            last = key;
        }
        EXPECT_STREQ(last, "multi-version");
        EXPECT_EQ(dumps(json_object_get(file.get(), "multi-version")),
                  "\"" + c.multi_version + "\"");
        for (const char *k : {"bitmain-fan-ctrl", "bitmain-silentstart", "bitmain-autodownscale",
                              "altdf", "api-foo", "bitmain-target-temp"})
            EXPECT_EQ(json_object_get(file.get(), k), nullptr) << k;
        if (c.tempoff) {
            EXPECT_EQ(dumps(json_object_get(file.get(), "bitmain-tempoff")), "\"90\"");
        } else {
            EXPECT_EQ(json_object_get(file.get(), "bitmain-tempoff"), nullptr);
        }
        EXPECT_EQ(dumps(json_object_get(file.get(), "pools")), "[]");
    }
}

TEST_F(MinerConfigFile, StoredLayout)
{
    write(R"({"pools": [], "api-groups": "A:stats", "list": [1, "a", {}], "obj": {}})");
    struct miner_config cfg = full_record();
    ASSERT_EQ(miner_update_config(path.c_str(), &cfg), 0);
    std::string text = read();
    ASSERT_TRUE(parse(text)) << text;
    std::istringstream lines(text);
    std::string line;
    int string_members = 0;
    while (std::getline(lines, line)) {
        ASSERT_FALSE(line.empty());
        EXPECT_NE(line[0], ' ') << line;
        EXPECT_NE(line[0], '\t') << line;
        if (line.find("\" : \"") != std::string::npos) {
            string_members++;
        } else if (line[0] == '"' && line.find("\": ") != std::string::npos) {
            EXPECT_EQ(line.find("\": \""), std::string::npos) << line;
        }
    }
    EXPECT_GT(string_members, 30);
    // The exact text of a few members.
    for (const char *expected :
         {"\n\"pools\": [\n{\n\"url\" : \"stratum+tcp://pool0.example:3333\",\n",
          "\n\"pass\" : \"ends in \\\": \"\n}\n],\n", "\n\"api-groups\" : \"A:stats\",\n",
          "\n\"list\": [\n1,\n\"a\",\n{}\n],\n\"obj\": {},\n", "\n\"bitmain-fan-ctrl\": true,\n",
          "\n\"multi-version\" : \"1\"\n}"})
        EXPECT_NE(text.find(expected), std::string::npos) << expected << "\nin:\n" << text;
}

TEST_F(MinerConfigFile, StoreNeedsAValidFileAndKeepsItOnFailure)
{
    struct miner_config cfg = full_record();
    LogCapture cap;
    EXPECT_EQ(miner_update_config(path.c_str(), &cfg), -1);
    EXPECT_FALSE(std::filesystem::exists(path));

    write("{\"pools\": [");
    EXPECT_EQ(miner_update_config(path.c_str(), &cfg), -1);
    EXPECT_EQ(read(), "{\"pools\": [");

    // A pool that cannot be encoded fails the build; the file stays.
    write(R"({"pools": []})");
    strcpy(cfg.pools[1].worker, "\xff");
    cap.clear();
    EXPECT_EQ(miner_update_config(path.c_str(), &cfg), -1);
    EXPECT_EQ(read(), R"({"pools": []})");
    EXPECT_EQ(cap.messages(LOG_LEVEL_ERROR).size(), 3u);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to build pool[2] settings"));

    // A write that fails leaves the old file (the temporary name is taken).
    strcpy(cfg.pools[1].worker, "w");
    std::filesystem::create_directory(path + ".tmp");
    EXPECT_EQ(miner_update_config(path.c_str(), &cfg), -1);
    EXPECT_EQ(read(), R"({"pools": []})");
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to store miner config"));
}

TEST_F(MinerConfigFile, StoreKeepsTheFileModeAndWritesThroughALink)
{
    std::filesystem::create_directory(dir + "/real");
    std::string real = dir + "/real/cgminer.conf";
    std::ofstream(real) << R"({"pools": []})";
    chmod(real.c_str(), 0640);
    std::filesystem::create_symlink("real/cgminer.conf", path);
    struct miner_config cfg = full_record();
    ASSERT_EQ(miner_update_config(path.c_str(), &cfg), 0);
    EXPECT_TRUE(std::filesystem::is_symlink(path));
    struct stat st;
    ASSERT_EQ(stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    struct miner_config loaded;
    ASSERT_EQ(miner_load_config(real.c_str(), &loaded), 0);
    EXPECT_EQ(loaded.bitmain_tempoff, 95);
    EXPECT_FALSE(std::filesystem::exists(dir + "/real/cgminer.conf.tmp"));
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

// The pools array is rewritten only by a change of the pools, and then only
// its first three elements; a store that changes no text writes nothing.
TEST_F(MinerConfigFile, StoreKeepsThePoolsItDoesNotChange)
{
    const std::string user52 = std::string(43, 'L') + ".rig-0012";
    const std::string pools =
        R"([{"url": "a", "user": ")" + user52 +
        R"(", "pass": "x", "extranonce": true}, {"url": "b"},)"
        R"( {"url": "c", "user": "u", "pass": "p"}, {"url": "d", "user": "u4",)"
        R"( "pass": "p"}, {"url": "e", "user": "u5", "pass": "p"}])";
    write(R"({"pools": )" + pools + R"(, "bitmain-fan-pwm": "50"})");
    json_ptr before = parse(read());
    struct miner_config cfg;
    ASSERT_EQ(miner_load_config(path.c_str(), &cfg), 0);
    cfg.bitmain_fan_pwm = 70;
    bool written = false;
    ASSERT_EQ(miner_update_config(path.c_str(), &cfg, &written), 0);
    EXPECT_TRUE(written);
    json_ptr after = parse(read());
    EXPECT_EQ(dumps(json_object_get(after.get(), "pools")),
              dumps(json_object_get(before.get(), "pools")));

    // The same record again: the text is the file's already.
    struct stat st1, st2;
    ASSERT_EQ(stat(path.c_str(), &st1), 0);
    ASSERT_EQ(miner_update_config(path.c_str(), &cfg, &written), 0);
    EXPECT_FALSE(written);
    ASSERT_EQ(stat(path.c_str(), &st2), 0);
    EXPECT_EQ(st1.st_ino, st2.st_ino);

    // A pool change writes the record's pools and keeps the elements after the third.
    strcpy(cfg.pools[1].url, "c2");
    cfg.pools_changed = true;
    ASSERT_EQ(miner_update_config(path.c_str(), &cfg, &written), 0);
    EXPECT_TRUE(written);
    after = parse(read());
    EXPECT_EQ(dumps(json_object_get(after.get(), "pools")),
              R"([{"url":"a","user":")" + user52 +
                  R"(","pass":"x"},{"url":"c2","user":"u","pass":"p"},)"
                  R"({"url":"d","user":"u4","pass":"p"},{"url":"e","user":"u5","pass":"p"}])");
}

/* ---- setters ------------------------------------------------------------------------- */

TEST(MinerConfigSetters, Results)
{
    struct Case {
        const char *name;
        std::function<int()> call;
        int result;
        bool changed;
        const char *error;
    };
    const Case cases[] = {
        {"same pool", [] { return cgminer_pool(0, "a", "w", nullptr); }, 0, false, nullptr},
        {"changed pool", [] { return cgminer_pool(0, "a", "w", "x"); }, 1, true, nullptr},
        {"appended empty pool", [] { return cgminer_pool(1, "", "", ""); }, 0, true, nullptr},
        {"pool 3", [] { return cgminer_pool(3, "a", "w", "p"); }, -1, false,
         "Invalid poolid - 3, it should be less than 3"},
        {"pool 2 after one pool", [] { return cgminer_pool(2, "a", "w", "p"); }, -1, false,
         "Invalid poolid - 2, it should be less or equeal to 1"},
        {"pool -1", [] { return cgminer_pool(-1, "a", "w", "p"); }, -1, false,
         "Invalid poolid - -1, it should be less or equeal to 1"},
        {"chain frequency", [] { return cgminer_chain_freq(2, 410); }, 1, true, nullptr},
        {"chain frequency unchanged", [] { return cgminer_chain_freq(2, 0); }, 0, false, nullptr},
        {"chain 0", [] { return cgminer_chain_freq(0, 410); }, -1, false, "Invalid chain id: 0"},
        {"chain 5 voltage", [] { return cgminer_chain_volt(5, 8); }, -1, false,
         "Invalid chain id: 5"},
        {"fractional voltage", [] { return cgminer_chain_volt(1, 0.5); }, 1, true, nullptr},
        {"chip", [] { return cgminer_chip_freq(4, 72, 500); }, 1, true, nullptr},
        {"chip 0", [] { return cgminer_chip_freq(1, 0, 500); }, -1, false,
         "Invalid chip 0, it should be between 1 and 72"},
        {"chip 73", [] { return cgminer_chip_freq(1, 73, 500); }, -1, false,
         "Invalid chip 73, it should be between 1 and 72"},
        {"automatic fans as they are", [] { return cgminer_fans(FAN_MODE_AUTO, 0, 65, false); }, 0,
         false, nullptr},
        {"manual fans", [] { return cgminer_fans(FAN_MODE_MANUAL, 50, 0, false); }, 1, true,
         nullptr},
        {"immersion", [] { return cgminer_fans(FAN_MODE_IMMERSION, 50, 70, true); }, 0, false,
         nullptr},
        {"known profile", [] { return cgminer_perf_profile("12", false); }, 1, true, nullptr},
        {"unknown profile is 0", [] { return cgminer_perf_profile("turbo", false); }, 0, false,
         nullptr},
        {"global frequency", [] { return cgminer_global_freq(384); }, 1, true, nullptr},
        {"global voltage 8.5", [] { return cgminer_global_volt(8.5); }, 1, true, nullptr},
        {"watchdog unchanged", [] { return cgminer_watchdog(0, 0, 0); }, 0, false, nullptr},
        {"watchdog", [] { return cgminer_watchdog(0, 0, 90); }, 1, true, nullptr},
        {"autotuner defaults unchanged",
         [] { return cgminer_autotuner(false, false, false, 5, 0, 0, 0, 0, 0, false); }, 0, false,
         nullptr},
        {"autotuner chip reset",
         [] { return cgminer_autotuner(false, false, false, 0, 0, 0, 0, 0, 0, true); }, 1, true,
         nullptr},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.name);
        OpenTransaction t;
        LogCapture cap;
        struct miner_config before = miner_config;
        EXPECT_EQ(c.call(), c.result);
        EXPECT_EQ(miner_config_changed, c.changed);
        if (c.result == -1) {
            EXPECT_EQ(memcmp(&before, &miner_config, sizeof(before)), 0);
        }
        if (c.error) {
            EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, c.error)) << c.error;
        } else {
            EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
        }
    }

    // Without a transaction every setter refuses.
    LogCapture cap;
    const std::function<int()> all[] = {
        [] { return cgminer_pool(0, "a", "w", "p"); },
        [] { return cgminer_chain_freq(1, 1); },
        [] { return cgminer_chain_volt(1, 1); },
        [] { return cgminer_chip_freq(1, 1, 1); },
        [] { return cgminer_fans(FAN_MODE_AUTO, 1, 1, true); },
        [] { return cgminer_perf_profile("1", false); },
        [] { return cgminer_global_freq(1); },
        [] { return cgminer_global_volt(1); },
        [] { return cgminer_watchdog(1, 1, 1); },
        [] { return cgminer_autotuner(true, true, true, 1, 1, 1, 1, 1, 1, true); },
    };
    for (const auto &call : all)
        EXPECT_EQ(call(), -1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, "Miner config is not loaded!"), 10);
}

TEST(MinerConfigSetters, StoredValues)
{
    OpenTransaction t;
    // Manual fans never go below 20 %, so such a request changes at every call.
    EXPECT_EQ(cgminer_fans(FAN_MODE_MANUAL, 10, 0, false), 1);
    EXPECT_EQ(miner_config.bitmain_fan_pwm, 20);
    EXPECT_EQ(cgminer_fans(FAN_MODE_MANUAL, 10, 0, false), 1);
    EXPECT_EQ(miner_config.bitmain_target_temp, 65); // kept
    EXPECT_EQ(cgminer_fans(FAN_MODE_AUTO, 0, 75, true), 1);
    EXPECT_EQ(miner_config.bitmain_fan_pwm, 20); // kept
    EXPECT_FALSE(miner_config.bitmain_fan_ctrl);
    EXPECT_TRUE(miner_config.bitmain_silentstart);

    EXPECT_EQ(cgminer_chain_volt(1, 8.5), 1);
    EXPECT_EQ(miner_config.bitmain_voltage1, 8);
    EXPECT_EQ(cgminer_chain_volt(1, 8.5), 1);

    miner_config.chain2_chip_freqs[4] = 400;
    EXPECT_EQ(cgminer_autotuner(true, false, false, 5, 3, 350, 80, 4, 1, false), 1);
    EXPECT_EQ(miner_config.bitmain_autodownscale_timer, 0); // stage 3 off
    EXPECT_EQ(miner_config.chain2_chip_freqs[4], 400);
    EXPECT_FALSE(miner_is_auto_tune); // set by the commit, not by the setter
    EXPECT_EQ(cgminer_autotuner(false, false, true, 5, 3, 350, 80, 4, 1, true), 1);
    EXPECT_EQ(miner_config.bitmain_autodownscale_timer, 5);
    EXPECT_EQ(miner_config.chain2_chip_freqs[4], 0);
    EXPECT_FALSE(miner_is_auto_tune);

    EXPECT_EQ(cgminer_pool(1, "b", "w2", nullptr), 1);
    EXPECT_EQ(miner_config.pool_count, 2u);
    EXPECT_STREQ(miner_config.pools[1].passwd, "");

    const std::pair<const char *, int> profiles[] = {{"0", 0},  {"7", 7}, {"12", 12},
                                                     {"13", 0}, {"", 0},  {"07", 0}};
    for (auto [name, id] : profiles)
        EXPECT_EQ(profile_to_profile_id(name), id) << name;
}

/* ---- server view --------------------------------------------------------------------- */

TEST(MinerConfigView, Members)
{
    struct miner_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.pool_count = 2;
    strcpy(cfg.pools[0].url, "u0");
    strcpy(cfg.pools[1].url, "u1");
    cfg.bitmain_fan_ctrl = true;
    cfg.bitmain_fan_pwm = 70;
    cfg.bitmain_target_temp = 65;
    cfg.bitmain_autodownscale_profile = 257;
    cfg.bitmain_freq = 384;
    cfg.bitmain_voltage = 8;
    cfg.bitmain_freq1 = 0;
    cfg.bitmain_freq2 = -5;
    cfg.bitmain_freq3 = 410;
    cfg.bitmain_voltage4 = 9;
    cfg.chain2_chip_freqs[4] = 400;
    cfg.bitmain_autodownscale_prec = 75;
    cfg.bitmain_tempoff = 95;

    json_ptr view(compose_config(&cfg));
    ASSERT_TRUE(view);
    EXPECT_EQ(dumps(json_object_get(view.get(), "pools")),
              R"({"main":{"stratum_url":"u0","worker":"","password":""},)"
              R"("reserved":{"stratum_url":"u1","worker":"","password":""}})");
    EXPECT_EQ(dumps(json_object_get(view.get(), "fans")),
              R"({"mode":"manual","speed":70,"silent_start":false,"target_temp":65})");
    EXPECT_EQ(dumps(json_object_get(view.get(), "perf")), R"({"profile":"1","freq":384,"volt":8})");
    EXPECT_EQ(
        dumps(json_object_get(view.get(), "chains")),
        R"([{"id":"1","use_global_freq":true,"use_global_volt":true,"freq":384,"volt":8.0,"chips":[]},)"
        R"({"id":"2","use_global_freq":false,"use_global_volt":true,"freq":384,"volt":8.0,)"
        R"("chips":[{"id":"5","freq":400}]},)"
        R"({"id":"3","use_global_freq":false,"use_global_volt":true,"freq":410,"volt":8.0,"chips":[]},)"
        R"({"id":"4","use_global_freq":true,"use_global_volt":false,"freq":384,"volt":9.0,"chips":[]}])");
    EXPECT_EQ(
        dumps(json_object_get(view.get(), "autotuner")),
        R"({"stage1":false,"stage2":false,"stage3":false,"stage3_interval":0,)"
        R"("downclock_step":0,"min_freq":0,"hashrate_deviation":75,"test_time":0,"down_freq_hw":0})");
    EXPECT_EQ(dumps(json_object_get(view.get(), "watchdog")),
              R"({"min_hr":null,"max_xchips":null,"max_temp":95})");

    const std::pair<int, const char *> profiles[] = {{13, "0"}, {256, "0"}, {12, "12"}, {-1, "0"}};
    for (auto [id, shown] : profiles) {
        cfg.bitmain_autodownscale_profile = id;
        json_ptr v(compose_config(&cfg));
        EXPECT_STREQ(
            json_string_value(json_object_get(json_object_get(v.get(), "perf"), "profile")), shown)
            << id;
    }

    // A pool that cannot be encoded is left out; no pools give an empty object.
    cfg.pool_count = 1;
    strcpy(cfg.pools[0].worker, "\xff");
    json_ptr pools(compose_pools(&cfg));
    EXPECT_EQ(dumps(pools.get()), "{}");
    LogCapture cap;
    EXPECT_EQ(compose_chips(5, &cfg), nullptr);
    EXPECT_TRUE(
        cap.contains(LOG_LEVEL_ERROR, "Chain 5 is out of range, it should be between [1, 4]"));
    EXPECT_EQ(compose_chains(nullptr), nullptr);
}
