#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "log_capture.h"

namespace
{

const std::string kKey25 = "0123456789abcdefghijklmno";

class ConfigTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kvagent-config-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/korvane.json";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string &text, const std::string &p = "")
    {
        std::ofstream out(p.empty() ? path : p, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string read(const std::string &p = "") const
    {
        std::ifstream in(p.empty() ? path : p, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
    int load(const std::string &text)
    {
        write(text);
        return agent_load_config(path.c_str(), &cfg);
    }
    static std::string config_text(const std::string &key, const std::string &dev_id)
    {
        return "{\"api_key\": \"" + key + "\", \"dev_id\": \"" + dev_id + "\"}";
    }

    std::string dir;
    std::string path;
    agent_config cfg{};
    LogCapture cap;
};

mode_t file_mode(const std::string &p)
{
    struct stat st;
    if (stat(p.c_str(), &st) != 0)
        return static_cast<mode_t>(-1);
    return st.st_mode & 07777;
}

bool all_upper_hex(const std::string &s)
{
    return s.find_first_not_of("0123456789ABCDEF") == std::string::npos;
}

// Restores the process umask when it goes out of scope.
struct UmaskGuard {
    explicit UmaskGuard(mode_t m) : old(umask(m)) {}
    ~UmaskGuard() { umask(old); }
    mode_t old;
};

} // namespace

/* ---- loading -------------------------------------------------------------- */

TEST_F(ConfigTest, LoadsKeyAndDeviceId)
{
    ASSERT_EQ(load(config_text(kKey25, "DEV-0001")), 0);
    EXPECT_STREQ(cfg.api_key, kKey25.c_str());
    EXPECT_STREQ(cfg.dev_id, "DEV-0001");
    EXPECT_FALSE(cfg.fresh_install);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

TEST_F(ConfigTest, ApiKeyLengthLimit)
{
    // 24 characters are too short, 25 are enough.
    ASSERT_EQ(load(config_text(kKey25.substr(0, 24), "D")), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "API key length is to short"));
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to parse config file"));

    cap.clear();
    ASSERT_EQ(load(config_text(kKey25, "D")), 0);
    EXPECT_STREQ(cfg.api_key, kKey25.c_str());
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

TEST_F(ConfigTest, OverlongValuesAreCut)
{
    std::string key(60, 'k');
    key[49] = 'X';
    key[50] = 'Y';
    std::string dev(40, 'd');
    dev[31] = 'E';
    dev[32] = 'F';
    ASSERT_EQ(load(config_text(key, dev)), 0);
    EXPECT_EQ(std::string(cfg.api_key), key.substr(0, 50));
    EXPECT_EQ(std::string(cfg.dev_id), dev.substr(0, 32));
}

TEST_F(ConfigTest, InvalidFilesAreRefused)
{
    const char *cases[] = {
        "{\"dev_id\": \"D\"}",                                         // no api_key
        "{\"api_key\": 12345678901234567890123456789}",                // api_key not a string
        "{\"api_key\": \"0123456789abcdefghijklmno\", \"dev_id\": 7}", // dev_id not a string
        "this is not json",
        "[\"0123456789abcdefghijklmno\"]",
        "",
    };
    for (const char *text : cases) {
        SCOPED_TRACE(text);
        cap.clear();
        memset(&cfg, 0, sizeof(cfg));
        EXPECT_EQ(load(text), -1);
        EXPECT_GE(cap.count(LOG_LEVEL_ERROR), 1);
    }
}

TEST_F(ConfigTest, MissingFileIsRefused)
{
    EXPECT_EQ(agent_load_config((dir + "/absent.json").c_str(), &cfg), -1);
    EXPECT_GE(cap.count(LOG_LEVEL_ERROR), 1);
}

TEST_F(ConfigTest, FreshInstallGeneratesDeviceId)
{
    ASSERT_EQ(load("{\"api_key\": \"" + kKey25 + "\"}"), 0);
    EXPECT_TRUE(cfg.fresh_install);
    EXPECT_STREQ(cfg.api_key, kKey25.c_str());
    std::string id(cfg.dev_id);
    // Either derived from eth0's MAC address or pseudo-random, depending on the host.
    bool mac_form = id.size() == 29 && id.compare(0, 17, "0000000000000000-") == 0 &&
                    all_upper_hex(id.substr(17));
    bool random_form = id.size() == 32 && all_upper_hex(id);
    EXPECT_TRUE(mac_form || random_form) << id;
    EXPECT_TRUE(id.size() == 29 || id.size() == 32) << id;
}

/* ---- saving --------------------------------------------------------------- */

TEST_F(ConfigTest, SaveWritesOnlyKeyAndDeviceIdInOrder)
{
    write("{\"dev_id\": \"OLD\", \"extra\": [1, 2], \"api_key\": \"" + kKey25 + "\"}");
    ASSERT_EQ(agent_load_config(path.c_str(), &cfg), 0);
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "NEWID");
    ASSERT_EQ(agent_save_config(path.c_str(), &cfg), 0);
    EXPECT_EQ(read(), "{\n  \"api_key\": \"" + kKey25 + "\",\n  \"dev_id\": \"NEWID\"\n}");

    agent_config again{};
    ASSERT_EQ(agent_load_config(path.c_str(), &again), 0);
    EXPECT_STREQ(again.api_key, kKey25.c_str());
    EXPECT_STREQ(again.dev_id, "NEWID");
    EXPECT_FALSE(again.fresh_install);
}

TEST_F(ConfigTest, SaveCreatesAPrivateFileAndLeavesNoTemporary)
{
    UmaskGuard um(022);
    snprintf(cfg.api_key, sizeof(cfg.api_key), "%s", kKey25.c_str());
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "ID");
    ASSERT_EQ(agent_save_config(path.c_str(), &cfg), 0);
    EXPECT_EQ(file_mode(path), 0600u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(ConfigTest, SaveKeepsPermissionsOfTheExistingFile)
{
    snprintf(cfg.api_key, sizeof(cfg.api_key), "%s", kKey25.c_str());
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "ID");
    const mode_t modes[] = {0640, 0644, 0604};
    for (mode_t mode : modes) {
        SCOPED_TRACE(mode);
        write(config_text(kKey25, "OLD"));
        ASSERT_EQ(chmod(path.c_str(), mode), 0);
        {
            // A restrictive umask (as a service manager may set) must not change the bits.
            UmaskGuard um(077);
            ASSERT_EQ(agent_save_config(path.c_str(), &cfg), 0);
        }
        EXPECT_EQ(file_mode(path), mode);
        EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    }
}

TEST_F(ConfigTest, SaveReplacesAStaleTemporaryFile)
{
    // Left over from an interrupted save, longer and with looser permissions.
    write(std::string(10000, 'x'), path + ".tmp");
    ASSERT_EQ(chmod((path + ".tmp").c_str(), 0666), 0);
    snprintf(cfg.api_key, sizeof(cfg.api_key), "%s", kKey25.c_str());
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "ID");
    ASSERT_EQ(agent_save_config(path.c_str(), &cfg), 0);
    EXPECT_EQ(read(), "{\n  \"api_key\": \"" + kKey25 + "\",\n  \"dev_id\": \"ID\"\n}");
    EXPECT_EQ(file_mode(path), 0600u);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
}

TEST_F(ConfigTest, SaveIntoMissingDirectoryFails)
{
    snprintf(cfg.api_key, sizeof(cfg.api_key), "%s", kKey25.c_str());
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "ID");
    std::string missing = dir + "/no-such-dir/korvane.json";
    EXPECT_EQ(agent_save_config(missing.c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to open config file"));
    EXPECT_FALSE(std::filesystem::exists(dir + "/no-such-dir"));
}

TEST_F(ConfigTest, FailedSaveLeavesTheOriginalUntouched)
{
    // The temporary file cannot be created (a directory is in the way, which
    // even root cannot open for writing): the original must survive as it was.
    const std::string original = config_text(kKey25, "ORIGINAL");
    write(original);
    ASSERT_TRUE(std::filesystem::create_directory(path + ".tmp"));
    snprintf(cfg.api_key, sizeof(cfg.api_key), "%s", kKey25.c_str());
    snprintf(cfg.dev_id, sizeof(cfg.dev_id), "%s", "NEW");
    EXPECT_EQ(agent_save_config(path.c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to open config file"));
    EXPECT_EQ(read(), original);
}
