#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "log_capture.h"
#include "miner/firmware.h"
#include "miner/network.h"

namespace
{

using file_ptr = std::unique_ptr<FILE, int (*)(FILE *)>;

// A read-only stream over text; the text must outlive the stream.
file_ptr open_text(std::string &text)
{
    return file_ptr(fmemopen(&text[0], text.size(), "r"), fclose);
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
