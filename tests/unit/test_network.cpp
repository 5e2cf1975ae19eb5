#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <jansson.h>
#include <memory>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "log_capture.h"
#include "miner/firmware.h"
#include "miner/network.h"
#include "owners.h"
#include "shell.h"

namespace
{

// A read-only stream over text; the text must outlive the stream.
file_ptr open_text(std::string &text)
{
    return file_ptr(fmemopen(&text[0], text.size(), "r"));
}

const char kRouteHeader[] = "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\t"
                            "MTU\tWindow\tIRTT\n";

std::string route_line(const char *iface, const char *dest, const char *gw, const char *mask)
{
    return std::string(iface) + "\t" + dest + "\t" + gw + "\t0003\t0\t0\t0\t" + mask +
           "\t0\t0\t0\n";
}

int parse_gateway(std::string text, in_addr_t *gw)
{
    file_ptr f = open_text(text);
    return net_parse_default_gateway(f.get(), gw);
}

std::vector<std::string> parse_ns(std::string text)
{
    in_addr_t ns[NETINFO_MAX_NS + 4];
    for (in_addr_t &a : ns)
        a = 0xDEADBEEF;
    int count = -1;
    file_ptr f = open_text(text);
    EXPECT_EQ(net_parse_ns_servers(f.get(), ns, &count), 0);
    EXPECT_GE(count, 0);
    EXPECT_LE(count, NETINFO_MAX_NS);
    for (int i = count; i < NETINFO_MAX_NS + 4; i++)
        EXPECT_EQ(ns[i], 0xDEADBEEFu) << "slot " << i << " written";
    std::vector<std::string> out;
    for (int i = 0; i < count && i < NETINFO_MAX_NS; i++) {
        char buf[INET_ADDRSTRLEN];
        out.emplace_back(inet_ntop(AF_INET, &ns[i], buf, sizeof(buf)));
    }
    return out;
}

} // namespace

/* ---- /proc/net/route ------------------------------------------------------------- */

TEST(DefaultGateway, FirstDefaultRouteAfterOtherRoutes)
{
    std::string text = kRouteHeader + route_line("eth0", "0002000A", "00000000", "00FFFFFF") +
                       route_line("eth0", "00000000", "0102000A", "00000000") +
                       route_line("eth1", "00000000", "FE01A8C0", "00000000");
    in_addr_t gw = 0;
    ASSERT_EQ(parse_gateway(text, &gw), 0);
    // The kernel prints the network-order word as a native number: read back, it
    // is the in_addr_t again (these lines are what a little-endian kernel prints).
    EXPECT_EQ(gw, 0x0102000Au);
    char buf[16];
    struct in_addr a;
    a.s_addr = gw;
    EXPECT_STREQ(inet_ntop(AF_INET, &a, buf, sizeof(buf)), "10.0.2.1");
}

TEST(DefaultGateway, NoDefaultRoute)
{
    std::string text = kRouteHeader + route_line("eth0", "0002000A", "00000000", "00FFFFFF") +
                       route_line("eth0", "0000FEA9", "0102000A", "0000FFFF");
    in_addr_t gw = 0x12345678;
    EXPECT_EQ(parse_gateway(text, &gw), -1);
    EXPECT_EQ(parse_gateway(kRouteHeader, &gw), -1);
    EXPECT_EQ(parse_gateway("", &gw), -1);
}

TEST(DefaultGateway, DefaultRouteWithoutGateway)
{
    std::string text = kRouteHeader + route_line("eth0", "00000000", "00000000", "00000000");
    in_addr_t gw = 0;
    EXPECT_EQ(parse_gateway(text, &gw), -1);
}

/* ---- resolv.conf ------------------------------------------------------------------ */

TEST(NameServers, NoNameserverLine)
{
    EXPECT_TRUE(parse_ns("").empty());
    EXPECT_TRUE(parse_ns("search example.org\noptions ndots:2\n").empty());
}

TEST(NameServers, SeparatorMustBeWhitespace)
{
    EXPECT_EQ(parse_ns("nameserver 1.2.3.4\n"), std::vector<std::string>{"1.2.3.4"});
    EXPECT_EQ(parse_ns("nameserver\t1.2.3.4\n"), std::vector<std::string>{"1.2.3.4"});
    EXPECT_EQ(parse_ns("nameserver \t  5.6.7.8   \n"), std::vector<std::string>{"5.6.7.8"});
    EXPECT_EQ(parse_ns("nameserver 9.9.9.9"), std::vector<std::string>{"9.9.9.9"});
    EXPECT_TRUE(parse_ns("nameserver1.2.3.4\n").empty());
    EXPECT_TRUE(parse_ns("nameservers 1.2.3.4\n").empty());
}

TEST(NameServers, InvalidAddressesAndCommentsAreSkipped)
{
    std::string text = "# nameserver 7.7.7.7\n"
                       "; nameserver 8.8.8.8\n"
                       "nameserver 300.1.1.1\n"
                       "nameserver not-an-ip\n"
                       "nameserver\n"
                       "nameserver ::1\n"
                       "nameserver 10.0.0.1 # trailing comment\n"
                       " nameserver 4.4.4.4\n"
                       "nameserver 10.0.0.2\n";
    EXPECT_EQ(parse_ns(text), (std::vector<std::string>{"10.0.0.1", "10.0.0.2"}));
}

TEST(NameServers, AtMostEightInFileOrder)
{
    std::string text;
    std::vector<std::string> expected;
    for (int i = 1; i <= 10; i++) {
        std::string addr = "10.0.0." + std::to_string(i);
        text += "nameserver " + addr + "\n";
        if (i <= NETINFO_MAX_NS)
            expected.push_back(addr);
    }
    EXPECT_EQ(parse_ns(text), expected);
}

/* ---- live interfaces and firmware identity -------------------------------------- */

TEST(NetInfo, UnknownInterfaceFails)
{
    LogCapture cap;
    struct netinfo ni;
    EXPECT_EQ(net_get_info("nonexistent0", &ni), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to call ioctl(soc, SIOCGIFHWADDR, &ifr)"));
}

TEST(Firmware, Identity)
{
    EXPECT_STREQ(firmware_name(), "pelto-antminer-l3plus");
    EXPECT_STREQ(firmware_version(), "3.9.0");
}

/* ---- saved settings ------------------------------------------------------------- */

namespace
{

in_addr_t addr(const char *text)
{
    in_addr_t a = 0;
    if (*text) {
        EXPECT_EQ(inet_pton(AF_INET, text, &a), 1) << text;
    }
    return a;
}

net_config make_cfg(net_modes mode, const char *host, const char *ip = "", const char *mask = "",
                    const char *gw = "", const std::vector<const char *> &ns = {})
{
    net_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    cfg.mode = mode;
    snprintf(cfg.hostname, sizeof(cfg.hostname), "%s", host);
    cfg.ip = addr(ip);
    cfg.netmask = addr(mask);
    cfg.gateway = addr(gw);
    for (const char *s : ns)
        cfg.ns[cfg.ns_count++] = addr(s);
    return cfg;
}

const std::vector<const char *> kEightNs = {"192.0.2.1", "192.0.2.2",     "192.0.2.3",
                                            "192.0.2.4", "192.0.2.5",     "192.0.2.6",
                                            "192.0.2.7", "198.51.100.255"};

class NetConfig : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        char tmpl[] = "/tmp/kvagent-network-XXXXXX";
        ASSERT_NE(mkdtemp(tmpl), nullptr);
        dir = tmpl;
        path = dir + "/network.conf";
    }
    void TearDown() override { std::filesystem::remove_all(dir); }

    void write(const std::string &text)
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }
    std::string read()
    {
        std::ifstream in(path, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }

    std::string dir, path;
    LogCapture cap;
};

} // namespace

TEST_F(NetConfig, SaveThenLoadGivesTheSameRecord)
{
    struct {
        net_config cfg;
        bool ns_error;
    } cases[] = {
        {make_cfg(NET_MODE_DHCP, "rig7"), false},
        {make_cfg(NET_MODE_STATIC, "rig7", "192.0.2.5", "255.255.255.0", "192.0.2.1",
                  {"198.51.100.53"}),
         false},
        {make_cfg(NET_MODE_STATIC, "r", "10.1.2.3", "255.0.0.0", "10.0.0.1", kEightNs), false},
        {make_cfg(NET_MODE_STATIC, "rig7", "10.1.2.3", "255.0.0.0", "10.0.0.1"), true},
        {make_cfg(NET_MODE_DHCP, ""), false},
        {make_cfg(NET_MODE_STATIC, "", "10.1.2.3", "255.0.0.0", "10.0.0.1", {"10.0.0.2"}), false},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(std::string("host '") + c.cfg.hostname + "' mode " +
                     std::to_string(c.cfg.mode) + " ns " + std::to_string(c.cfg.ns_count));
        cap.clear();
        ASSERT_EQ(net_save_config(path.c_str(), &c.cfg), 0);
        net_config back;
        memset(&back, 0xA5, sizeof(back));
        EXPECT_EQ(net_load_config(path.c_str(), &back), 0);
        EXPECT_EQ(memcmp(&back, &c.cfg, sizeof(back)), 0) << read();
        EXPECT_EQ(cap.contains(LOG_LEVEL_ERROR, "Failed to parse ns-servers: "), c.ns_error);
        EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), c.ns_error ? 1 : 0);
    }
}

TEST_F(NetConfig, WrittenText)
{
    struct {
        net_config cfg;
        const char *text;
        const char *host_read_back;
    } cases[] = {
        {make_cfg(NET_MODE_DHCP, "rig7", "10.1.2.3"), "hostname=rig7\ndhcp=true\n", "rig7"},
        {make_cfg(NET_MODE_STATIC, "rig7", "192.0.2.5", "255.255.255.0", "192.0.2.1",
                  {"198.51.100.53", "8.8.8.8"}),
         "hostname=rig7\nipaddress=192.0.2.5\nnetmask=255.255.255.0\ngateway=192.0.2.1\n"
         "dnsservers=\"198.51.100.53 8.8.8.8\"\n",
         "rig7"},
        {make_cfg(NET_MODE_STATIC, ""),
         "hostname=\nipaddress=0.0.0.0\nnetmask=0.0.0.0\ngateway=0.0.0.0\ndnsservers=\"\"\n", ""},
        {make_cfg(NET_MODE_DHCP, "a#b=c"), "hostname=a#b=c\ndhcp=true\n", "a"},
        {make_cfg(NET_MODE_DHCP, "ab=c#d"), "hostname=ab=c#d\ndhcp=true\n", "ab"},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text);
        ASSERT_EQ(net_save_config(path.c_str(), &c.cfg), 0);
        EXPECT_EQ(read(), c.text);
        net_config back;
        EXPECT_EQ(net_load_config(path.c_str(), &back), 0);
        EXPECT_STREQ(back.hostname, c.host_read_back);
    }
}

TEST_F(NetConfig, LoadTable)
{
    const std::string x60(60, 'x'), x49(49, 'x'), y49(49, 'y');
    std::string ten_ns = "dnsservers=\"";
    for (int i = 1; i <= 10; i++)
        ten_ns += "10.0.0." + std::to_string(i) + " ";
    ten_ns += "\"\n";
    struct {
        std::string text;
        int result;
        net_modes mode;
        std::string host;
        const char *ip;
        int ns_count;
        std::vector<std::string> errors; // none logged when empty
    } cases[] = {
        // clang-format off
        {"hostname=rig7\n", 0, NET_MODE_DHCP, "rig7", "", 0, {}},
        {"dhcp=true\nipaddress=192.0.2.5\n", 0, NET_MODE_STATIC, "", "192.0.2.5", 0, {}},
        {"ipaddress=192.0.2.5\ndhcp=true\n", 0, NET_MODE_DHCP, "", "192.0.2.5", 0, {}},
        {"dhcp=trueish\n", 0, NET_MODE_DHCP, "", "", 0, {}},
        {"dhcp=TRUE\n", 0, NET_MODE_STATIC, "", "", 0, {}},
        {"dhcp=false\n", 0, NET_MODE_STATIC, "", "", 0, {}},
        {"HOSTNAME=a\n", 0, NET_MODE_DHCP, "a", "", 0, {}},
        {"hostname =a\n", -1, NET_MODE_DHCP, "", "", 0,
         {"Unsupported hostname =a", "Failed to parse hostname "}},
        {"hostname=a#b\n", 0, NET_MODE_DHCP, "a", "", 0, {}},
        {"hostname=" + x60 + "\n", 0, NET_MODE_DHCP, x49, "", 0, {}},
        // Cut before a character that does not fit whole (48 + 2 bytes).
        {"hostname=" + std::string(48, 'x') + "\xc3\xa9\n", 0, NET_MODE_DHCP,
         std::string(48, 'x'), "", 0, {}},
        {"a=b\n\n   \nhostname=z\n", 0, NET_MODE_DHCP, "z", "", 0, {}},
        {"hostname=z\nhostname\nipaddress=192.0.2.5\n", -1, NET_MODE_DHCP, "z", "", 0,
         {"Failed to parse hostname"}},
        {"Colour=blue\n", -1, NET_MODE_DHCP, "", "", 0,
         {"Unsupported colour=blue", "Failed to parse colour"}},
        {"dnsservers=\"192.0.2.1\" \"192.0.2.2\"\n", 0, NET_MODE_DHCP, "", "", 2, {}},
        {"dnsservers=1.1.1 192.0.2.1\n", 0, NET_MODE_DHCP, "", "", 1, {}},
        {"dnsservers=\"192.0.2.1\t192.0.2.2\"\n", 0, NET_MODE_DHCP, "", "", 0,
         {"Failed to parse ns-servers: \"192.0.2.1\t192.0.2.2\""}},
        {ten_ns, 0, NET_MODE_DHCP, "", "", 8, {}},
        {"hostname=rig\r\nipaddress=192.0.2.5\r\n", 0, NET_MODE_DHCP, "rig\r", "", 0, {}},
        {"ipaddress=300.1.2.3\nnetmask=255.255\ngateway=gw\n", 0, NET_MODE_DHCP, "", "", 0, {}},
        // fgets hands over 1023 characters at a time: the rest is a line of its own.
        {"hostname=" + std::string(1991, 'x') + "\n", -1, NET_MODE_DHCP, x49, "", 0,
         {"Failed to parse " + std::string(977, 'x')}},
        {"hostname=" + std::string(1014, 'y') + "ipaddress=192.0.2.5\n", 0, NET_MODE_STATIC, y49,
         "192.0.2.5", 0, {}},
        // clang-format on
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.text.substr(0, 80));
        cap.clear();
        write(c.text);
        net_config cfg;
        EXPECT_EQ(net_load_config(path.c_str(), &cfg), c.result);
        EXPECT_EQ(cfg.mode, c.mode);
        EXPECT_EQ(std::string(cfg.hostname), c.host);
        EXPECT_EQ(cfg.ip, addr(c.ip));
        EXPECT_EQ(cfg.ns_count, c.ns_count);
        EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), static_cast<int>(c.errors.size()));
        for (const std::string &e : c.errors)
            EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, e)) << e;
    }
}

TEST_F(NetConfig, MissingFileAndFailedSave)
{
    net_config cfg = make_cfg(NET_MODE_DHCP, "rig7");
    std::string missing = dir + "/none/network.conf";
    EXPECT_EQ(net_load_config(missing.c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to load " + missing));
    EXPECT_EQ(net_save_config(missing.c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to create " + missing));

    const std::string old = "hostname=old\ndhcp=true\n";
    write(old);
    ASSERT_EQ(mkdir((path + ".tmp").c_str(), 0700), 0);
    cfg = make_cfg(NET_MODE_STATIC, "new", "192.0.2.5");
    EXPECT_EQ(net_save_config(path.c_str(), &cfg), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_ERROR, "Failed to create " + path));
    EXPECT_EQ(read(), old);
}

namespace
{
std::vector<std::string> g_commands;
int record_command(const char *cmd, std::string *)
{
    g_commands.push_back(cmd);
    return 1;
}
} // namespace

TEST(NetRestart, SyncsThenRestartsNetworking)
{
    LogCapture cap;
    g_commands.clear();
    shell_set_runner(&record_command);
    int rc = net_restart();
    shell_set_runner(nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(g_commands, (std::vector<std::string>{"sync", "/etc/init.d/network.sh restart"}));
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Restarting networking"));
}

TEST(NetTransform, Members)
{
    struct {
        net_config cfg;
        const char *json; // null: no object
    } cases[] = {
        {make_cfg(NET_MODE_DHCP, "rig7", "192.0.2.5"), R"({"hostname":"rig7","mode":"dhcp"})"},
        {make_cfg(NET_MODE_STATIC, "rig7", "192.0.2.5", "255.255.255.0", "192.0.2.1",
                  {"198.51.100.53", "8.8.8.8"}),
         R"({"dnsservers":["198.51.100.53","8.8.8.8"],"gateway":"192.0.2.1","hostname":"rig7",)"
         R"("ip":"192.0.2.5","mode":"static","netmask":"255.255.255.0"})"},
        {make_cfg(NET_MODE_STATIC, ""),
         R"({"dnsservers":[],"gateway":"0.0.0.0","hostname":"","ip":"0.0.0.0","mode":"static",)"
         R"("netmask":"0.0.0.0"})"},
        {make_cfg(NET_MODE_DHCP, "rig\xff"), nullptr},
        {make_cfg(NET_MODE_STATIC, "\xc3(", "192.0.2.5", "", "", {"8.8.8.8"}), nullptr},
    };
    for (auto &c : cases) {
        SCOPED_TRACE(c.json ? c.json : "null");
        json_ptr obj(transform_net_config(&c.cfg));
        if (!c.json) {
            EXPECT_EQ(obj, nullptr);
            continue;
        }
        ASSERT_NE(obj, nullptr);
        text_ptr text(json_dumps(obj.get(), JSON_COMPACT | JSON_SORT_KEYS));
        EXPECT_STREQ(text.get(), c.json);
    }
}
