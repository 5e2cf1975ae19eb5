#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <cstddef>
#include <linux/filter.h>
#include <linux/seccomp.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include "emulation.h"
#include "log_capture.h"
#include "owners.h"
#include "util.h"

namespace
{

text_ptr replace(const char *str, const char *substr, const char *repl)
{
    return text_ptr(str_replace(str, substr, repl));
}

} // namespace

/* ---- logging ---------------------------------------------------------- */

TEST(Log, LevelsReachTheAgentLoggerUnchanged)
{
    LogCapture cap;
    log_msg(LOG_LEVEL_DEBUG, "d %d", 1);
    log_msg(LOG_LEVEL_INFO, "i %s", "two");
    log_msg(LOG_LEVEL_WARN, "w %c", '3');
    log_msg(LOG_LEVEL_ERROR, "e %zu", static_cast<size_t>(4));
    std::vector<LogRecord> recs = cap.records();
    ASSERT_EQ(recs.size(), 4u);
    EXPECT_EQ(recs[0].level, LOG_LEVEL_DEBUG);
    EXPECT_EQ(recs[0].message, "d 1");
    EXPECT_EQ(recs[1].level, LOG_LEVEL_INFO);
    EXPECT_EQ(recs[1].message, "i two");
    EXPECT_EQ(recs[2].level, LOG_LEVEL_WARN);
    EXPECT_EQ(recs[2].message, "w 3");
    EXPECT_EQ(recs[3].level, LOG_LEVEL_ERROR);
    EXPECT_EQ(recs[3].message, "e 4");
}

TEST(Log, ArgumentTextIsNotReinterpretedAndLongTextIsKept)
{
    LogCapture cap;
    std::string long_text(5000, 'q');
    log_msg(LOG_LEVEL_INFO, "%s", "100% %s %n");
    log_msg(LOG_LEVEL_INFO, "<%s>", long_text.c_str());
    std::vector<std::string> msgs = cap.messages(LOG_LEVEL_INFO);
    ASSERT_EQ(msgs.size(), 2u);
    EXPECT_EQ(msgs[0], "100% %s %n");
    EXPECT_EQ(msgs[1], "<" + long_text + ">");
}

TEST(Log, ErrorMacroPrefixesSourceFileAndLine)
{
    LogCapture cap;
    int line = __LINE__ + 1;
    LOG_ERROR("failure %d", 7);
    std::vector<std::string> msgs = cap.messages(LOG_LEVEL_ERROR);
    ASSERT_EQ(msgs.size(), 1u);
    EXPECT_EQ(msgs[0], std::string(__FILE__) + ":" + std::to_string(line) + ": failure 7");
}

TEST(Log, InitFromMissingFileFails)
{
    LogCapture cap; // logging stays configured afterwards
    EXPECT_EQ(log_init_from("/nonexistent-kvagent-dir/log.properties"), -1);
    log_msg(LOG_LEVEL_WARN, "still logging");
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "still logging"));
}

/* ---- URLs --------------------------------------------------------------- */

TEST(ProtoToPort, SchemesMapToDefaultPorts)
{
    EXPECT_EQ(proto_to_port("wss"), 443);
    EXPECT_EQ(proto_to_port("https"), 443);
    EXPECT_EQ(proto_to_port("ws"), 80);
    EXPECT_EQ(proto_to_port("http"), 80);
    EXPECT_EQ(proto_to_port("ftp"), 80);
    EXPECT_EQ(proto_to_port(""), 80);
}

TEST(ParseUrl, FullServerUrl)
{
    url_info info;
    ASSERT_EQ(parse_url("wss://api.example.org/api/v1/ws", &info), 0);
    EXPECT_STREQ(info.proto, "wss");
    EXPECT_STREQ(info.host, "api.example.org");
    EXPECT_EQ(info.port, 443);
    EXPECT_STREQ(info.path, "/api/v1/ws");
}

TEST(ParseUrl, ExplicitPortAndNoPath)
{
    url_info info;
    ASSERT_EQ(parse_url("ws://host:8080", &info), 0);
    EXPECT_STREQ(info.proto, "ws");
    EXPECT_STREQ(info.host, "host");
    EXPECT_EQ(info.port, 8080);
    EXPECT_STREQ(info.path, "/");

    ASSERT_EQ(parse_url("http://host", &info), 0);
    EXPECT_EQ(info.port, 80);
    EXPECT_STREQ(info.path, "/");

    ASSERT_EQ(parse_url("wss://host:8443/p", &info), 0);
    EXPECT_EQ(info.port, 8443);
    EXPECT_STREQ(info.path, "/p");
}

TEST(ParseUrl, QueryIsDropped)
{
    url_info info;
    ASSERT_EQ(parse_url("wss://host/a/b?x=1", &info), 0);
    EXPECT_STREQ(info.host, "host");
    EXPECT_STREQ(info.path, "/a/b");

    // The query directly after the slash ends up as the path: existing behaviour.
    ASSERT_EQ(parse_url("wss://host/?x=1", &info), 0);
    EXPECT_STREQ(info.path, "/x=1");
}

TEST(ParseUrl, MissingSchemeOrHostIsRefused)
{
    url_info info;
    EXPECT_EQ(parse_url("host/path", &info), -1);
    EXPECT_EQ(parse_url("://host", &info), -1);
    EXPECT_EQ(parse_url("wss://", &info), -1);
    EXPECT_EQ(parse_url("", &info), -1);
    EXPECT_EQ(parse_url("wss:///path", &info), -1);
    EXPECT_EQ(parse_url("wss://:8080/path", &info), -1);
}

TEST(ParseUrl, ResetsTheResultBeforeParsing)
{
    url_info info;
    memset(&info, 'Z', sizeof(info));
    ASSERT_EQ(parse_url("ws://h", &info), 0);
    EXPECT_STREQ(info.host, "h");
    EXPECT_STREQ(info.proto, "ws");
    EXPECT_STREQ(info.path, "/");
}

TEST(ParseUrl, OverlongComponentsAreCut)
{
    url_info info;
    std::string host(300, 'h');
    ASSERT_EQ(parse_url(("wss://" + host + "/p").c_str(), &info), 0);
    size_t n = strnlen(info.host, sizeof(info.host));
    ASSERT_LT(n, sizeof(info.host));
    EXPECT_GT(n, 200u);
    EXPECT_EQ(std::string(info.host), host.substr(0, n));
    EXPECT_EQ(info.port, 443);

    std::string scheme(100, 's');
    ASSERT_EQ(parse_url((scheme + "://host/p").c_str(), &info), 0);
    EXPECT_EQ(strnlen(info.proto, sizeof(info.proto)), sizeof(info.proto) - 1);
    EXPECT_EQ(std::string(info.proto), scheme.substr(0, sizeof(info.proto) - 1));

    std::string path(400, 'p');
    ASSERT_EQ(parse_url(("ws://h/" + path).c_str(), &info), 0);
    n = strnlen(info.path, sizeof(info.path));
    ASSERT_LT(n, sizeof(info.path));
    EXPECT_EQ(info.path[0], '/');
    EXPECT_EQ(std::string(info.path + 1), path.substr(0, n - 1));
}

/* ---- str_replace ----------------------------------------------------------- */

TEST(StrReplace, ReplacesNonOverlappingOccurrences)
{
    EXPECT_STREQ(replace("aaaa", "aa", "b").get(), "bb");
    EXPECT_STREQ(replace("aaa", "aa", "b").get(), "ba");
    EXPECT_STREQ(replace("a.b.c", ".", "::").get(), "a::b::c");
    EXPECT_STREQ(replace("xxhelloxx", "hello", "").get(), "xxxx");
    EXPECT_STREQ(replace("abcabc", "abc", "z").get(), "zz");
    EXPECT_STREQ(replace("", "a", "b").get(), "");
}

TEST(StrReplace, LongerReplacementGrowsTheString)
{
    std::string in(1000, 'a');
    text_ptr out = replace(in.c_str(), "a", "0123456789");
    ASSERT_TRUE(out);
    std::string s(out.get());
    ASSERT_EQ(s.size(), 10000u);
    for (size_t i = 0; i < s.size(); i += 10)
        ASSERT_EQ(s.compare(i, 10, "0123456789"), 0) << "at " << i;
}

TEST(StrReplace, NoMatchGivesANewCopy)
{
    const char *in = "abc";
    text_ptr out = replace(in, "x", "y");
    ASSERT_TRUE(out);
    EXPECT_STREQ(out.get(), "abc");
    EXPECT_NE(out.get(), in);
}

TEST(StrReplace, EmptySubstringIsRefusedWithAnError)
{
    LogCapture cap;
    EXPECT_EQ(str_replace("abc", "", "x"), nullptr);
    std::vector<std::string> errors = cap.messages(LOG_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 1u);
    // "<source path>util.cpp:<line>: Substring can't be empty!"
    const std::string &e = errors[0];
    const std::string file = "util.cpp:";
    const std::string text = ": Substring can't be empty!";
    size_t at = e.find(file);
    ASSERT_NE(at, std::string::npos) << e;
    size_t digits_end = e.find_first_not_of("0123456789", at + file.size());
    ASSERT_NE(digits_end, std::string::npos) << e;
    EXPECT_GT(digits_end, at + file.size()) << "no line number: " << e;
    EXPECT_EQ(e.substr(digits_end), text) << e;
}

/* ---- random bytes ------------------------------------------------------------------ */

// The device's 3.8 kernel has no getrandom: in a child whose getrandom fails
// with ENOSYS, the bytes still come from the kernel (/dev/urandom).
TEST(RandomBytes, WithoutGetrandomTheyComeFromUrandom)
{
    if (running_emulated())
        GTEST_SKIP() << "qemu-user does not take a seccomp filter";
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        struct sock_filter code[] = {
            BPF_STMT(BPF_LD | BPF_W | BPF_ABS, offsetof(struct seccomp_data, nr)),
            BPF_JUMP(BPF_JMP | BPF_JEQ | BPF_K, __NR_getrandom, 0, 1),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ERRNO | ENOSYS),
            BPF_STMT(BPF_RET | BPF_K, SECCOMP_RET_ALLOW),
        };
        struct sock_fprog prog = {sizeof(code) / sizeof(code[0]), code};
        if (prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 ||
            prctl(PR_SET_SECCOMP, SECCOMP_MODE_FILTER, &prog, 0, 0) != 0)
            _exit(3);
        unsigned char probe[4];
        if (syscall(__NR_getrandom, probe, sizeof(probe), 0) != -1 || errno != ENOSYS)
            _exit(4); // the filter is not in force
        unsigned char a[32], b[32];
        if (util_random_bytes(a, sizeof(a)) != 0 || util_random_bytes(b, sizeof(b)) != 0)
            _exit(1);
        _exit(memcmp(a, b, sizeof(a)) == 0 ? 2 : 0);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: no bytes, 2: the same bytes twice, 3/4: no filter";
}

/* ---- address and hex texts -------------------------------------------------------- */

TEST(CopyUtf8, CutsOnlyAtCharacterBoundaries)
{
    struct {
        const char *src;
        size_t size;
        const char *want;
    } cases[] = {
        {"abc", 4, "abc"},              // fits exactly
        {"abcd", 4, "abc"},             // ASCII cut
        {"ab\xc3\xa9", 4, "ab"},        // 2-byte character across the cut
        {"a\xc3\xa9z", 4, "a\xc3\xa9"}, // 2-byte character ends at the cut
        {"ab\xe2\x82\xac", 4, "ab"},    // 3-byte character: cut after its lead byte
        {"a\xe2\x82\xac", 4, "a"},      // ... and after its second byte
        {"\xf0\x9f\x98\x80x", 4, ""},   // 4-byte character wider than the room
        {"", 1, ""},
        {"x", 1, ""},
    };
    for (const auto &c : cases) {
        char buf[8];
        memset(buf, 'Z', sizeof(buf));
        size_t n = util_copy_utf8(buf, c.size, c.src);
        EXPECT_STREQ(buf, c.want) << c.src << " in " << c.size;
        EXPECT_EQ(n, strlen(c.want)) << c.src;
        EXPECT_EQ(buf[c.size], 'Z') << "wrote past the buffer for " << c.src;
    }
}

TEST(HexText, LowerCaseTwoDigitsPerByte)
{
    const unsigned char data[] = {0x00, 0xAB, 0x0f, 0xF0, 0x7e};
    char buf[2 * sizeof(data) + 1];
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(util_hex(data, 2, buf), buf);
    EXPECT_STREQ(buf, "00ab");
    memset(buf, 'Z', sizeof(buf));
    EXPECT_EQ(bin_to_hex(data, sizeof(data), buf), buf);
    EXPECT_STREQ(buf, "00ab0ff07e");
    EXPECT_STREQ(bin_to_hex(data, 0, buf), "");
}

TEST(AddressText, DottedQuadOfNetworkOrderAddress)
{
    char buf[16];
    in_addr_t a;
    ASSERT_EQ(inet_pton(AF_INET, "192.168.1.10", &a), 1);
    EXPECT_STREQ(inet_to_str(a, buf), "192.168.1.10");
    ASSERT_EQ(inet_pton(AF_INET, "255.255.255.255", &a), 1);
    EXPECT_STREQ(inet_to_str(a, buf), "255.255.255.255");
    EXPECT_STREQ(inet_to_str(0, buf), "0.0.0.0");
}

TEST(AddressText, EthernetLowerCaseColonForm)
{
    ether_addr mac = {{0xAB, 0x1A, 0x2b, 0xC3, 0xff, 0x09}};
    char buf[18];
    EXPECT_EQ(ether_to_str(&mac, buf), buf);
    EXPECT_STREQ(buf, "ab:1a:2b:c3:ff:09");
    ether_addr zero = {{0, 0, 0, 0, 0, 0}};
    EXPECT_STREQ(ether_to_str(&zero, buf), "00:00:00:00:00:00");
}

/* ---- numbers in texts ------------------------------------------------------------- */

// What atoi takes within the int range; beyond it, refused.
TEST(ParseInt, AtoiFormsWithinTheIntRange)
{
    struct {
        const char *text;
        int result, value;
    } cases[] = {
        {"2", 0, 2},
        {" \t2", 0, 2},
        {"+2", 0, 2},
        {"2abc", 0, 2},
        {"x", 0, 0},
        {"2147483647", 0, 2147483647},
        {"-2147483648", 0, -2147483647 - 1},
        {"2147483648", -1, 99},
        {"4294967297", -1, 99},
        {"99999999999999999999", -1, 99},
    };
    for (const auto &c : cases) {
        int value = 99;
        EXPECT_EQ(util_parse_int(c.text, &value), c.result) << c.text;
        EXPECT_EQ(value, c.value) << c.text;
    }
}
