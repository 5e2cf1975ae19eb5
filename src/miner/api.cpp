#include "miner/api.h"

#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <mutex>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

#include "log.h"
#include "owners.h"
#include "paths.h"
#include "util.h"

#define RECV_CHUNK 4096
// How much of an answer that does not parse goes to the log: the rotated log
// is only 256 KB, and an answer can be megabytes long.
#define LOGGED_ANSWER_MAX 512

// api_mutex guards the endpoint and the whole life of every API connection.
static std::mutex api_mutex;
static std::string api_host = MINER_API_HOST;
static int api_port = MINER_API_PORT;

namespace
{
using clock_type = std::chrono::steady_clock;

// One call's deadline: connect, send and receive together.
struct deadline {
    clock_type::time_point end;
    explicit deadline(int ms) : end(clock_type::now() + std::chrono::milliseconds(ms)) {}
    int remaining_ms() const
    {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now());
        return left.count() > 0 ? static_cast<int>(left.count()) : 0;
    }
};
} // namespace

void api_set_addr(const char *host, int port)
{
    if (!host || port <= 0)
        return;
    std::lock_guard<std::mutex> lock(api_mutex);
    // Kept as a copy: the caller's text may not outlive the call.
    api_host = host;
    api_port = port;
}

void close_api_conn(int sock)
{
    if (sock >= 0)
        close(sock);
}

// Waits until sock is ready for events or the deadline passes.
// 1 ready, 0 timed out, -1 error (errno set).
static int wait_ready(int sock, short events, const deadline &dl)
{
    for (;;) {
        struct pollfd pfd = {sock, events, 0};
        int rc = poll(&pfd, 1, dl.remaining_ms());
        if (rc > 0)
            return 1;
        if (rc == 0)
            return 0;
        if (errno != EINTR)
            return -1;
    }
}

// Caller holds api_mutex. A socket, -1 when the host cannot be resolved or no
// socket can be made, -2 when the connection is refused (or not made in time).
static int open_api_conn(const deadline &dl)
{
    struct addrinfo hints;
    memset(&hints, 0, sizeof(hints));
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    struct addrinfo *res = nullptr;
    if (getaddrinfo(api_host.c_str(), nullptr, &hints, &res) != 0 || !res) {
        LOG_ERROR("Can't resove hostname: %s", api_host.c_str());
        return -1;
    }
    struct sockaddr_in addr;
    memcpy(&addr, res->ai_addr, sizeof(addr));
    freeaddrinfo(res);
    addr.sin_port = htons(static_cast<uint16_t>(api_port));

    int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (sock < 0) {
        LOG_ERROR("Can't create a socket: %s", strerror(errno));
        return -1;
    }
    fd_owner owner(sock);
    // Closing aborts the connection at once instead of lingering.
    struct linger lin = {1, 0};
    setsockopt(sock, SOL_SOCKET, SO_LINGER, &lin, sizeof(lin));

    if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) != 0) {
        if (errno != EINPROGRESS)
            return -2;
        if (wait_ready(sock, POLLOUT, dl) != 1)
            return -2;
        int err = 0;
        socklen_t len = sizeof(err);
        if (getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0)
            return -2;
    }
    owner.release();
    return sock;
}

// Bytes sent, or -1.
static ssize_t send_request(int sock, const char *text, const deadline &dl)
{
    size_t len = strlen(text);
    size_t sent = 0;
    while (sent < len) {
        ssize_t n = send(sock, text + sent, len - sent, MSG_NOSIGNAL);
        if (n >= 0) {
            sent += static_cast<size_t>(n);
            continue;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN && wait_ready(sock, POLLOUT, dl) == 1)
            continue;
        LOG_ERROR("Failed to send API request: %s", text);
        return -1;
    }
    return static_cast<ssize_t>(sent);
}

// Reads until the miner closes the connection. The text is NUL-terminated
// (the miner's own trailing NUL ends it as well). Length, or -1.
static ssize_t receive_response(int sock, text_ptr *out, const deadline &dl)
{
    size_t cap = RECV_CHUNK + 1;
    text_ptr buf(static_cast<char *>(malloc(cap)));
    if (!buf) {
        LOG_ERROR("Failed to allocate memory for receive buffer!");
        exit(1);
    }
    size_t len = 0;
    for (;;) {
        if (len + 1 >= cap) {
            if (cap + RECV_CHUNK > API_MAX_RESPONSE + 1) {
                LOG_ERROR("Failed to receive API response: %s", strerror(EMSGSIZE));
                return -1;
            }
            char *grown = static_cast<char *>(realloc(buf.get(), cap + RECV_CHUNK));
            if (!grown) {
                LOG_ERROR("Failed to reallocate memory for receive buffer!");
                exit(1);
            }
            buf.release();
            buf.reset(grown);
            cap += RECV_CHUNK;
        }
        ssize_t n = recv(sock, buf.get() + len, cap - len - 1, 0);
        if (n > 0) {
            len += static_cast<size_t>(n);
            continue;
        }
        if (n == 0)
            break;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN) {
            int ready = wait_ready(sock, POLLIN, dl);
            if (ready == 1)
                continue;
            if (ready == 0)
                errno = ETIMEDOUT;
        }
        LOG_ERROR("Failed to receive API response: %s", strerror(errno));
        return -1;
    }
    buf.get()[len] = '\0';
    *out = std::move(buf);
    return static_cast<ssize_t>(len);
}

// The answer as the log shows it: whole when short, else its start (cut at a
// character boundary) and its length.
static std::string logged_answer(const char *text)
{
    size_t len = strlen(text);
    if (len <= LOGGED_ANSWER_MAX)
        return text;
    char head[LOGGED_ANSWER_MAX + 1];
    util_copy_utf8(head, sizeof(head), text);
    return std::string(head) + "... (" + std::to_string(len) + " bytes)";
}

int api_call(json_t *request, json_t **response)
{
    assert(request && response);
    *response = nullptr;
    std::lock_guard<std::mutex> lock(api_mutex);
    deadline dl(API_CALL_TIMEOUT_MS);

    int sock = open_api_conn(dl);
    if (sock < 0) {
        LOG_ERROR("Connection failed to API at %s:%d", api_host.c_str(), api_port);
        return -1;
    }
    fd_owner owner(sock);

    text_ptr req(json_dumps(request, 0));
    if (!req)
        return -1;
    if (send_request(sock, req.get(), dl) < 0) {
        LOG_ERROR("Failed to send API request");
        return -1;
    }
    text_ptr text;
    if (receive_response(sock, &text, dl) < 0) {
        LOG_ERROR("Failed to receive API response");
        return -1;
    }

    // The miner writes two objects of an array back to back, and infinity as
    // the bare word inf.
    text_ptr joined(str_replace(text.get(), "}{", "},{"));
    if (!joined)
        return -1;
    text_ptr repaired(str_replace(joined.get(), ":inf", ":0"));
    if (!repaired)
        return -1;

    json_error_t err;
    json_t *root = json_loads(repaired.get(), 0, &err);
    if (!root) {
        LOG_ERROR("%s", err.text);
        LOG_ERROR("Failed to parse API response:\n%s", logged_answer(repaired.get()).c_str());
        return -1;
    }
    *response = root;
    return 0;
}

int api_call_cmd(const char *command, json_t **response)
{
    assert(command && response);
    json_ptr request(json_pack("{ss}", "command", command));
    if (!request) {
        *response = nullptr;
        return -1;
    }
    return api_call(request.get(), response);
}

bool api_is_alive(void)
{
    std::lock_guard<std::mutex> lock(api_mutex);
    deadline dl(API_CALL_TIMEOUT_MS);
    int sock = open_api_conn(dl);
    if (sock < 0)
        return false;
    close_api_conn(sock);
    return true;
}
