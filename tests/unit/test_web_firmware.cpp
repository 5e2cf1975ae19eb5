#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <netinet/in.h>
#include <sstream>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "log_capture.h"
#include "miner/firmware.h"
#include "miner/l3plus/config.h"
#include "shell.h"

namespace
{

bool exists(const std::string &path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void write_file(const std::string &path, const std::string &data, mode_t mode = 0644)
{
    std::ofstream(path, std::ios::binary) << data;
    chmod(path.c_str(), mode);
}

// A folder under /tmp, removed with everything in it.
struct TempDir {
    std::string path;
    TempDir()
    {
        char tmpl[] = "/tmp/kvtest_fw.XXXXXX";
        path = mkdtemp(tmpl) ? tmpl : "";
        EXPECT_FALSE(path.empty());
    }
    ~TempDir()
    {
        if (!path.empty()) {
            EXPECT_EQ(system(("rm -rf " + path).c_str()), 0);
        }
    }
};

// Serves the files of one folder over HTTP/1.0 on 127.0.0.1: "GET /name"
// answers the file, or 404 when there is none.
class FileServer
{
  public:
    explicit FileServer(const std::string &dir) : dir_(dir)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(addr);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr *>(&addr), len), 0);
        EXPECT_EQ(listen(fd_, 8), 0);
        getsockname(fd_, reinterpret_cast<sockaddr *>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FileServer()
    {
        stop_ = true;
        shutdown(fd_, SHUT_RDWR);
        thread_.join();
        close(fd_);
    }
    std::string url(const std::string &name) const
    {
        return "http://127.0.0.1:" + std::to_string(port_) + "/" + name;
    }

  private:
    void serve()
    {
        while (!stop_) {
            int conn = accept(fd_, nullptr, nullptr);
            if (conn < 0)
                continue;
            char buf[1024];
            ssize_t n = recv(conn, buf, sizeof(buf) - 1, 0);
            std::string request(buf, n > 0 ? static_cast<size_t>(n) : 0);
            std::string name = request.substr(0, request.find(" HTTP/"));
            name = name.size() > 5 ? name.substr(5) : ""; // after "GET /"
            std::string reply;
            if (!name.empty() && exists(dir_ + "/" + name)) {
                std::string body = read_file(dir_ + "/" + name);
                reply = "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(body.size()) +
                        "\r\n\r\n" + body;
            } else {
                reply = "HTTP/1.0 404 Not Found\r\nContent-Length: 9\r\n\r\nNot found";
            }
            send(conn, reply.data(), reply.size(), MSG_NOSIGNAL);
            close(conn);
        }
    }

    std::string dir_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Answers every command with one status instead of running it.
struct ShellStub {
    static inline int status = 0;
    static inline std::vector<std::string> commands;
    static int run(const char *cmd, std::string *)
    {
        commands.push_back(cmd);
        return status;
    }
    explicit ShellStub(int result)
    {
        status = result;
        commands.clear();
        shell_set_runner(&ShellStub::run);
    }
    ~ShellStub() { shell_set_runner(nullptr); }
};

} // namespace

/* ---- web password ------------------------------------------------------- */

TEST(WebAccess, DigestLineOfThePassword)
{
    // Digests from md5sum of "root:antMiner Configuration:" + password.
    struct {
        std::string password;
        const char *md5;
    } cases[] = {
        {"secret", "418c3cc1cbe9e3bb3fb21ad755a00470"},
        {"", "455af7a652377822a17fe34a85224e7c"},
        {"p\xc3\xa4ss w\xc3\xb6rd\xff:", "f79c45095e8ca435db05a7b316b226aa"},
        {std::string(227, 'a'), "5f1a1af5001082b7b7dfcb9f38cf8dc1"},
    };
    for (const auto &c : cases) {
        std::string line = "unchanged";
        EXPECT_EQ(web_access_line(c.password.c_str(), &line), 0) << c.password.size();
        EXPECT_EQ(line, std::string("root:antMiner Configuration:") + c.md5) << c.password;
    }
}

TEST(WebAccess, OverlongPasswordIsRefused)
{
    for (size_t len : {228, 300, 4096}) {
        std::string line = "unchanged";
        EXPECT_EQ(web_access_line(std::string(len, 'x').c_str(), &line), -1) << len;
        EXPECT_EQ(line, "unchanged");
    }
}

/* ---- firmware update steps ---------------------------------------------- */

class FirmwareSteps : public ::testing::Test
{
  protected:
    TempDir served, work;
    FileServer server{served.path};
    std::string pkg = work.path + "/update.tar.gz";
    std::string dir = work.path + "/update";

    void SetUp() override { ASSERT_EQ(mkdir(dir.c_str(), 0755), 0); }

    // A served package of an update.sh and a data file.
    void make_package(const std::string &name)
    {
        std::string src = work.path + "/src";
        ASSERT_EQ(mkdir(src.c_str(), 0755), 0);
        write_file(src + "/update.sh", "#!/bin/sh\nexit 0\n", 0755);
        write_file(src + "/rootfs.img", "image bytes");
        std::string cmd = "tar -czf " + served.path + "/" + name + " -C " + src + " .";
        ASSERT_EQ(system(cmd.c_str()), 0);
    }
};

TEST_F(FirmwareSteps, DownloadExtractAndRemove)
{
    make_package("fw.tar.gz");
    LogCapture cap;
    ASSERT_EQ(download_update(server.url("fw.tar.gz").c_str(), pkg.c_str()), 0);
    EXPECT_EQ(read_file(pkg), read_file(served.path + "/fw.tar.gz"));
    ASSERT_EQ(extract_update(pkg.c_str(), dir.c_str()), 0);
    EXPECT_FALSE(exists(pkg));
    EXPECT_EQ(read_file(dir + "/rootfs.img"), "image bytes");
    EXPECT_TRUE(exists(dir + "/update.sh"));
    EXPECT_EQ(remove_update(dir.c_str()), 0);
    EXPECT_FALSE(exists(dir));
    EXPECT_EQ(
        cap.messages(LOG_LEVEL_INFO),
        (std::vector<std::string>{"Downloading firmware update", "Extracting update package"}));
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

TEST_F(FirmwareSteps, FailedDownloadLeavesItsFile)
{
    write_file(pkg, "an older package");
    struct {
        std::string url, pkg, error;
    } cases[] = {
        {server.url("missing.tar.gz"), pkg, "Failed to download firmware update, code: 22"},
        {server.url("fw.tar.gz"), work.path + "/none/pkg.tar.gz",
         "Failed to create firmware update package: " + work.path + "/none/pkg.tar.gz"},
    };
    for (const auto &c : cases) {
        LogCapture cap;
        EXPECT_EQ(download_update(c.url.c_str(), c.pkg.c_str()), -1) << c.url;
        std::vector<std::string> errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), 1u) << c.url;
        EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
    }
    EXPECT_TRUE(exists(pkg));
    EXPECT_EQ(read_file(pkg), ""); // truncated, nothing received
}

TEST_F(FirmwareSteps, UnreadablePackageIsLeft)
{
    write_file(pkg, "not a gzip file");
    LogCapture cap;
    EXPECT_EQ(extract_update(pkg.c_str(), dir.c_str()), -1);
    EXPECT_EQ(read_file(pkg), "not a gzip file");
    std::vector<std::string> errors = cap.messages(LOG_LEVEL_ERROR);
    ASSERT_EQ(errors.size(), 2u);
    EXPECT_NE(errors[0].find("Failed to extract firmware update, code: 2"), std::string::npos)
        << errors[0];
    std::string cmd = "tar -xzf " + pkg + " -C " + dir + " && rm -f " + pkg;
    EXPECT_NE(errors[1].find("Command: " + cmd), std::string::npos) << errors[1];
}

// Running update.sh writes the device's log file: here the shell is a stub.
TEST(FirmwareCommands, ApplyAndRemoveReportFailures)
{
    struct {
        int status;
        int (*step)(const char *);
        std::string command, error;
    } cases[] = {
        {0, apply_update, "cd /tmp/fw.1 && ./update.sh > /var/log/firmware_update.log", ""},
        {3, apply_update, "cd /tmp/fw.1 && ./update.sh > /var/log/firmware_update.log",
         "Failed to apply firmware update, check /var/log/firmware_update.log for details"},
        {0, remove_update, "rm -rf /tmp/fw.1", ""},
        {1, remove_update, "rm -rf /tmp/fw.1", "Failed to remove update folder, code: 1"},
    };
    for (const auto &c : cases) {
        ShellStub shell(c.status);
        LogCapture cap;
        EXPECT_EQ(c.step("/tmp/fw.1"), c.status == 0 ? 0 : -1) << c.command;
        EXPECT_EQ(ShellStub::commands, std::vector<std::string>{c.command});
        std::vector<std::string> errors = cap.messages(LOG_LEVEL_ERROR);
        ASSERT_EQ(errors.size(), c.error.empty() ? 0u : 1u) << c.command;
        if (!c.error.empty()) {
            EXPECT_NE(errors[0].find(c.error), std::string::npos) << errors[0];
        }
    }
    LogCapture cap;
    ShellStub shell(0);
    apply_update("/tmp/fw.1");
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Applying firmware update"));
}
