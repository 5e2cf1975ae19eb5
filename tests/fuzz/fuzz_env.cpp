#include "fuzz_env.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <string>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <vector>

#include <libwebsockets.h>

#include "handlers.h"
#include "log.h"
#include "miner/api.h"
#include "miner/status.h"
#include "miner/support.h"
#include "protocol.h"
#include "shell.h"

// ---------------------------------------------------------------------------
// Sleeps

static thread_local bool fast_sleep = false;

FuzzFastSleep::FuzzFastSleep()
{
    fast_sleep = true;
}

FuzzFastSleep::~FuzzFastSleep()
{
    fast_sleep = false;
}

// Stands in for the C library's: std::this_thread::sleep_for ends up here.
extern "C" int nanosleep(const struct timespec *req, struct timespec *rem)
{
    if (fast_sleep)
        return 0;
    return static_cast<int>(syscall(SYS_nanosleep, req, rem));
}

// ---------------------------------------------------------------------------
// Isolation

[[noreturn]] static void fail(const char *what, const std::string &arg)
{
    fprintf(stderr, "fuzz_env: %s %s: %s\n", what, arg.c_str(), strerror(errno));
    _exit(2);
}

static void must(bool ok, const char *what, const std::string &arg = "")
{
    if (!ok)
        fail(what, arg);
}

// Every mount point at or below prefix, from /proc/self/mountinfo.
static std::vector<std::string> mounts_below(const std::string &prefix)
{
    std::vector<std::string> out;
    FILE *f = fopen("/proc/self/mountinfo", "r");
    must(f != nullptr, "open", "/proc/self/mountinfo");
    char line[4096];
    while (fgets(line, sizeof(line), f)) {
        // id parent major:minor root mount-point ...
        char point[PATH_MAX];
        if (sscanf(line, "%*s %*s %*s %*s %4095s", point) != 1)
            continue;
        std::string p = point; // octal escapes (\040) stay: such points are skipped
        if (p == prefix || p.compare(0, prefix.size() + 1, prefix + "/") == 0)
            out.push_back(p);
    }
    fclose(f);
    return out;
}

static void bind(const std::string &from, const std::string &to, bool read_only)
{
    must(mount(from.c_str(), to.c_str(), nullptr, MS_BIND | MS_REC, nullptr) == 0, "bind", to);
    if (!read_only)
        return;
    for (const std::string &m : mounts_below(to)) {
        struct statvfs vfs;
        if (statvfs(m.c_str(), &vfs) != 0)
            continue;
        // A bind remount must keep the locked flags of the mount it changes.
        unsigned long flags = MS_REMOUNT | MS_BIND | MS_RDONLY;
        if (vfs.f_flag & ST_NOSUID)
            flags |= MS_NOSUID;
        if (vfs.f_flag & ST_NODEV)
            flags |= MS_NODEV;
        if (vfs.f_flag & ST_NOEXEC)
            flags |= MS_NOEXEC;
        if (vfs.f_flag & ST_NOATIME)
            flags |= MS_NOATIME;
        if (vfs.f_flag & ST_NODIRATIME)
            flags |= MS_NODIRATIME;
        if (vfs.f_flag & ST_RELATIME)
            flags |= MS_RELATIME;
        must(mount(nullptr, m.c_str(), nullptr, flags, nullptr) == 0, "read-only remount of", m);
    }
}

static void make_dirs(const std::string &path, mode_t mode)
{
    std::string cur;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos)
            next = path.size();
        cur = path.substr(0, next);
        if (mkdir(cur.c_str(), mode) != 0 && errno != EEXIST)
            fail("mkdir", cur);
        pos = next + 1;
    }
}

static void isolate(void)
{
    char cwd_buf[PATH_MAX];
    must(getcwd(cwd_buf, sizeof(cwd_buf)) != nullptr, "getcwd");
    const std::string cwd = cwd_buf;

    std::vector<std::string> writable = {cwd};
    if (const char *rw = getenv("KVFUZZ_RW")) {
        std::string list = rw;
        size_t start = 0;
        while (start <= list.size()) {
            size_t end = list.find(':', start);
            if (end == std::string::npos)
                end = list.size();
            std::string dir = list.substr(start, end - start);
            if (!dir.empty()) {
                char real[PATH_MAX];
                must(realpath(dir.c_str(), real) != nullptr, "realpath", dir);
                writable.push_back(real);
            }
            start = end + 1;
        }
    }

    must(unshare(CLONE_NEWNS | CLONE_NEWNET) == 0, "unshare (run as root)");
    must(mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) == 0, "make private", "/");
    // Held open: the tmpfs below may hide them (a working directory in /tmp).
    std::vector<int> writable_fds;
    for (const std::string &dir : writable) {
        int fd = open(dir.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
        must(fd >= 0, "open", dir);
        writable_fds.push_back(fd);
    }

    // The scratch root lives on a tmpfs over /tmp, which only this namespace sees.
    must(mount("kvfuzz", "/tmp", "tmpfs", MS_NOSUID | MS_NODEV, "mode=0755,size=256m") == 0,
         "tmpfs", "/tmp");
    const std::string root = "/tmp/root";
    must(mkdir(root.c_str(), 0755) == 0, "mkdir", root);

    DIR *d = opendir("/");
    must(d != nullptr, "opendir", "/");
    std::vector<std::string> names;
    while (struct dirent *e = readdir(d))
        names.push_back(e->d_name);
    closedir(d);
    for (const std::string &name : names) {
        if (name == "." || name == ".." || name == "tmp" || name == "config" || name == "www")
            continue;
        const std::string host = "/" + name, inside = root + host;
        struct stat st;
        if (lstat(host.c_str(), &st) != 0)
            continue;
        if (S_ISLNK(st.st_mode)) {
            char target[PATH_MAX];
            ssize_t n = readlink(host.c_str(), target, sizeof(target) - 1);
            must(n > 0, "readlink", host);
            target[n] = '\0';
            must(symlink(target, inside.c_str()) == 0, "symlink", inside);
        } else if (S_ISDIR(st.st_mode)) {
            must(mkdir(inside.c_str(), 0755) == 0, "mkdir", inside);
            // /dev stays as it is (null, urandom); everything else read-only.
            bind(host, inside, name != "dev");
        }
    }
    for (size_t i = 0; i < writable.size(); i++) {
        make_dirs(root + writable[i], 0755);
        bind("/proc/self/fd/" + std::to_string(writable_fds[i]), root + writable[i], false);
        close(writable_fds[i]);
    }

    make_dirs(root + "/tmp", 01777);
    must(chmod((root + "/tmp").c_str(), 01777) == 0, "chmod", root + "/tmp");
    make_dirs(root + "/config", 0755);
    make_dirs(root + "/www/pages/cgi-bin", 0755);

    must(chroot(root.c_str()) == 0, "chroot", root);
    must(chdir(cwd.c_str()) == 0, "chdir", cwd);
}

// The host's folders really are out of reach.
static void check_isolated(void)
{
    must(access("/config", W_OK) == 0, "not isolated:", "/config");
    must(access("/etc", W_OK) != 0 && errno == EROFS, "not isolated: writable", "/etc");
}

static void loopback_up(void)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    must(s >= 0, "socket");
    struct ifreq ifr;
    memset(&ifr, 0, sizeof(ifr));
    snprintf(ifr.ifr_name, sizeof(ifr.ifr_name), "lo");
    must(ioctl(s, SIOCGIFFLAGS, &ifr) == 0, "SIOCGIFFLAGS", "lo");
    ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP);
    must(ioctl(s, SIOCSIFFLAGS, &ifr) == 0, "SIOCSIFFLAGS", "lo");
    close(s);
}

// ---------------------------------------------------------------------------
// Shell

static size_t shell_calls = 0;

// Runs nothing. The miner counts as running ("pidof" succeeds), so the
// restart and stop paths are taken; the kernel log is a couple of lines.
static int recording_runner(const char *cmd, std::string *out)
{
    __atomic_add_fetch(&shell_calls, 1, __ATOMIC_RELAXED);
    if (out) {
        if (strstr(cmd, "kernel_log"))
            *out = "[    0.000000] Booting Linux\n[    1.000000] fuzz\n";
        else
            out->clear();
    }
    return 0;
}

size_t fuzz_shell_commands(void)
{
    return __atomic_load_n(&shell_calls, __ATOMIC_RELAXED);
}

// ---------------------------------------------------------------------------
// Files

void fuzz_write_file(const char *path, const void *data, size_t len)
{
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    must(fd >= 0, "open", path);
    const char *p = static_cast<const char *>(data);
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        must(n > 0, "write", path);
        p += n;
        len -= static_cast<size_t>(n);
    }
    close(fd);
}

void fuzz_write_file(const char *path, const std::string &text)
{
    fuzz_write_file(path, text.data(), text.size());
}

void fuzz_remove_file(const char *path)
{
    must(unlink(path) == 0 || errno == ENOENT, "unlink", path);
}

const char *const FUZZ_MINER_CONFIG = "{\n"
                                      "\"pools\" : [\n"
                                      "{\n"
                                      "\"url\" : \"stratum+tcp://pool.example.invalid:3333\",\n"
                                      "\"user\" : \"kvtest.worker1\",\n"
                                      "\"pass\" : \"x\"\n"
                                      "},\n"
                                      "{\n"
                                      "\"url\" : \"stratum+tcp://backup.example.invalid:3333\",\n"
                                      "\"user\" : \"kvtest.worker2\",\n"
                                      "\"pass\" : \"x\"\n"
                                      "}\n"
                                      "]\n,\n"
                                      "\"api-listen\": true,\n"
                                      "\"api-network\": true,\n"
                                      "\"api-groups\" : \"A:stats:pools:devs:summary:version\",\n"
                                      "\"api-allow\" : \"A:0/0,W:*\",\n"
                                      "\"bitmain-use-vil\": true,\n"
                                      "\"bitmain-freq\" : \"384\",\n"
                                      "\"bitmain-freq1\" : \"0\",\n"
                                      "\"bitmain-freq2\" : \"0\",\n"
                                      "\"bitmain-freq3\" : \"0\",\n"
                                      "\"bitmain-freq4\" : \"0\",\n"
                                      "\"bitmain-voltage\" : \"0725\",\n"
                                      "\"multi-version\" : \"1\"\n"
                                      "}\n";

const char *const FUZZ_NETWORK_CONFIG = "hostname=antminer\n"
                                        "ipaddress=192.0.2.10\n"
                                        "netmask=255.255.255.0\n"
                                        "gateway=192.0.2.1\n"
                                        "dnsservers=\"192.0.2.53 192.0.2.54\"\n";

// ---------------------------------------------------------------------------
// Set-up and resets

void fuzz_env_init(char **argv)
{
    // Threads started before main (the logging library's) would stay
    // outside: the process confines itself and starts again in the new root.
    if (!getenv("KVFUZZ_ISOLATED")) {
        isolate();
        check_isolated();
        loopback_up();
        must(setenv("KVFUZZ_ISOLATED", "1", 1) == 0, "setenv");
        execv("/proc/self/exe", argv);
        fail("exec", "/proc/self/exe");
    }
    check_isolated();

    // Every level on, so that each message is formatted; the appender drops it.
    const char *conf = "/tmp/kvfuzz-log.conf";
    fuzz_write_file(conf, std::string("log4cplus.rootLogger=TRACE, NULL\n"
                                      "log4cplus.appender.NULL=log4cplus::NullAppender\n"));
    must(log_init_from(conf) == 0, "log_init_from", conf);

    shell_set_runner(recording_runner);
    // Nothing listens on the discard port of the private loopback.
    api_set_addr("127.0.0.1", 9);
}

void fuzz_reset_state(void)
{
    if (!cgminer_wait_workers(30)) {
        fprintf(stderr, "fuzz_env: miner workers did not finish\n");
        abort();
    }
    memset(&miner_config, 0, sizeof(miner_config));
    miner_config_loaded = false;
    miner_config_changed = false;
    miner_is_auto_tune = false;
    miner_is_stopped = false;
    if (agent_registration_pending())
        agent_update_config(nullptr, json_false()); // ends the registration
    status_enable_reporting();
    status_report_pending(true);
    __atomic_store_n(&shell_calls, 0, __ATOMIC_RELAXED);
}

size_t fuzz_drain(struct agent_psd *psd)
{
    size_t n = 0;
    for (;;) {
        const outgoing_message_t *m = static_cast<const outgoing_message_t *>(
            lws_ring_get_element(psd->out_msgs, &psd->tail));
        if (!m)
            break;
        // What send_message does before the write.
        const size_t flags = JSON_INDENT(2) | JSON_REAL_PRECISION(10);
        size_t len = json_dumpb(m->root, nullptr, 0, flags);
        if (len == 0) {
            fprintf(stderr, "fuzz_env: a queued message cannot be serialised\n");
            abort();
        }
        lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
        n++;
    }
    return n;
}
