#include "util.h"

#include <cassert>
#include <climits>
#include <csignal>
#include <pthread.h>
#include <cstdio>
#include <cstdlib>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <libgen.h>
#include <string>
#include <sys/prctl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include "log.h"
#include "owners.h"
#include "paths.h"

void set_thread_name(const char *name)
{
    prctl(PR_SET_NAME, name, 0, 0, 0);
}

void block_stop_signals(void)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int proto_to_port(const char *proto)
{
    if (strncmp(proto, "https", 5) == 0)
        return 443;
    if (strncmp(proto, "wss", 3) == 0)
        return 443;
    return 80;
}

static void copy_cut(char *dst, size_t size, const char *src)
{
    snprintf(dst, size, "%s", src);
}

int parse_url(const char *url, struct url_info *info)
{
    assert(url && info);
    memset(info, 0, sizeof(*info));

    const char *sep = strstr(url, "://");
    if (!sep || sep == url)
        return -1;
    // strtok_r below skips empty fields: "wss:///x" or "wss://:1/x" would take
    // the path or the port for the host.
    if (sep[3] == '/' || sep[3] == ':')
        return -1;

    char copy[256];
    char hostport[256];
    copy_cut(copy, sizeof(copy), url);

    char *save = nullptr;
    char *scheme = strtok_r(copy, ":", &save);
    if (!scheme)
        return -1;
    copy_cut(info->proto, sizeof(info->proto), scheme);

    char *hp = strtok_r(nullptr, "/", &save);
    if (!hp)
        return -1;
    copy_cut(hostport, sizeof(hostport), hp);

    char *save_hp = nullptr;
    char *host = strtok_r(hostport, ":", &save_hp);
    if (!host)
        return -1;
    copy_cut(info->host, sizeof(info->host), host);

    char *port = strtok_r(nullptr, ":", &save_hp);
    info->port = port ? atoi(port) : proto_to_port(info->proto);

    char *path = strtok_r(nullptr, "?", &save);
    if (path)
        snprintf(info->path, sizeof(info->path), "/%s", path);
    else
        copy_cut(info->path, sizeof(info->path), "/");
    return 0;
}

char *ether_to_str(const struct ether_addr *addr, char *buf)
{
    const unsigned char *b = addr->ether_addr_octet;
    sprintf(buf, "%02x:%02x:%02x:%02x:%02x:%02x", b[0], b[1], b[2], b[3], b[4], b[5]);
    return buf;
}

char *inet_to_str(in_addr_t addr, char *buf)
{
    const unsigned char *b = reinterpret_cast<const unsigned char *>(&addr);
    sprintf(buf, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return buf;
}

char *bin_to_hex(const void *data, size_t n, char *buf)
{
    static const char digits[] = "0123456789abcdef";
    const unsigned char *p = static_cast<const unsigned char *>(data);
    for (size_t i = 0; i < n; i++) {
        buf[2 * i] = digits[p[i] >> 4];
        buf[2 * i + 1] = digits[p[i] & 0x0f];
    }
    buf[2 * n] = '\0';
    return buf;
}

char *util_hex(const unsigned char *data, size_t n, char *buf)
{
    assert(data && buf);
    return bin_to_hex(data, n, buf);
}

char *str_replace(const char *str, const char *substr, const char *repl)
{
    assert(str && substr && repl);
    size_t sub_len = strlen(substr);
    if (sub_len == 0) {
        LOG_ERROR("Substring can't be empty!");
        return nullptr;
    }
    size_t repl_len = strlen(repl);

    size_t count = 0;
    for (const char *p = strstr(str, substr); p; p = strstr(p + sub_len, substr))
        count++;

    size_t len = strlen(str) + count * repl_len - count * sub_len + 1;
    char *out = static_cast<char *>(malloc(len));
    if (!out) {
        LOG_ERROR("Failed to allocate memory for string");
        exit(1);
    }

    char *w = out;
    const char *r = str;
    for (const char *p = strstr(r, substr); p; p = strstr(r, substr)) {
        memcpy(w, r, static_cast<size_t>(p - r));
        w += p - r;
        memcpy(w, repl, repl_len);
        w += repl_len;
        r = p + sub_len;
    }
    strcpy(w, r);
    return out;
}

// fsync the folder holding path so that a rename in it is durable.
static void sync_parent_dir(const char *path)
{
    std::string copy(path);
    fd_owner dir(open(dirname(&copy[0]), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.valid())
        fsync(dir.get());
}

static bool write_all(int fd, const char *p, size_t len)
{
    while (len > 0) {
        ssize_t n = write(fd, p, len);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        len -= static_cast<size_t>(n);
    }
    return true;
}

// The file a path names once symbolic links are followed (the target of a
// link need not exist yet); path itself when it is not a link. Relative link
// texts count from the link's folder. A loop gives up after 40 links, as the
// kernel does, and the path is then used as it is.
static std::string link_target(const char *path)
{
    std::string current(path);
    for (int hops = 0; hops < 40; hops++) {
        struct stat st;
        if (lstat(current.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
            return current;
        char buf[PATH_MAX];
        ssize_t n = readlink(current.c_str(), buf, sizeof(buf) - 1);
        if (n <= 0)
            return current;
        std::string link(buf, static_cast<size_t>(n));
        if (link[0] != '/') {
            std::string copy(current);
            link = std::string(dirname(&copy[0])) + "/" + link;
        }
        current = link;
    }
    return path;
}

int util_save_file(const char *path_arg, const void *data, size_t len)
{
    assert(path_arg && (data || len == 0));
    // A link (/config/cgminer.conf pointing at a file elsewhere) is written
    // through: the temporary file goes beside the real file and replaces it,
    // and the link stays a link.
    const std::string target = link_target(path_arg);
    const char *path = target.c_str();
    std::string tmp = target + ".tmp";
    struct stat st;
    bool existed = stat(path, &st) == 0;
    mode_t mode = existed ? (st.st_mode & 07777) : 0600;

    // O_NOFOLLOW: a planted link must not redirect the write. fchmod: open()
    // applies the umask and keeps the mode of a stale temporary file.
    fd_owner fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, mode));
    if (!fd.valid())
        return -1;
    bool ok = fchmod(fd.get(), mode) == 0;
    if (ok && existed && (st.st_uid != geteuid() || st.st_gid != getegid()))
        (void)!fchown(fd.get(), st.st_uid, st.st_gid);
    ok = ok && write_all(fd.get(), static_cast<const char *>(data), len);
    ok = ok && fsync(fd.get()) == 0;
    int saved = errno;
    // The close's own result counts: a delayed write error shows there.
    ok = close(fd.release()) == 0 && ok;
    if (ok && rename(tmp.c_str(), path) == 0) {
        sync_parent_dir(path);
        return 0;
    }
    saved = ok ? errno : saved;
    unlink(tmp.c_str());
    errno = saved;
    return -2;
}

int util_random_bytes(void *buf, size_t n)
{
    assert(buf || n == 0);
    if (getrandom(buf, n, GRND_NONBLOCK) == static_cast<ssize_t>(n))
        return 0;
    // ENOSYS on the device's 3.8 kernel (or a pool not yet initialised).
    fd_owner fd(open(PATH_URANDOM, O_RDONLY | O_CLOEXEC));
    if (!fd.valid())
        return -1;
    auto *p = static_cast<unsigned char *>(buf);
    size_t got = 0;
    while (got < n) {
        ssize_t r = read(fd.get(), p + got, n - got);
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            break;
        got += static_cast<size_t>(r);
    }
    return got == n ? 0 : -1;
}

size_t util_copy_utf8(char *dst, size_t size, const char *src)
{
    assert(dst && size > 0 && src);
    size_t n = strnlen(src, size);
    if (n == size) {
        // src[n] is the first byte left out: while it continues a character,
        // that character started inside the copy and goes too.
        n = size - 1;
        while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80)
            n--;
    }
    memcpy(dst, src, n);
    dst[n] = '\0';
    return n;
}

const char *util_json_int_overflow(const json_t *obj, const char *const *keys)
{
    assert(keys);
    for (; *keys; keys++) {
        const json_t *value = json_object_get(obj, *keys);
        if (!json_is_integer(value))
            continue;
        json_int_t n = json_integer_value(value);
        if (n < INT_MIN || n > INT_MAX)
            return *keys;
    }
    return nullptr;
}

std::string util_json_text(const json_t *value)
{
    text_ptr text(json_dumps(value, JSON_INDENT(2) | JSON_ENCODE_ANY));
    return text ? std::string(text.get()) : std::string();
}

int util_parse_int(const char *text, int *value)
{
    assert(text && value);
    errno = 0;
    long long n = strtoll(text, nullptr, 10);
    if (errno == ERANGE || n < INT_MIN || n > INT_MAX)
        return -1;
    *value = static_cast<int>(n);
    return 0;
}
