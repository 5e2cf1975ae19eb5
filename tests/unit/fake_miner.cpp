#include "fake_miner.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <jansson.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

#include "miner/api.h"

namespace
{
int listen_on_loopback(int *port)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        throw std::runtime_error("socket");
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 || listen(fd, 16) != 0)
        throw std::runtime_error("bind/listen");
    socklen_t len = sizeof(addr);
    getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len);
    *port = ntohs(addr.sin_port);
    return fd;
}

bool send_all(int fd, const char *p, size_t n)
{
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0)
            return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}
} // namespace

FakeMiner::FakeMiner()
{
    listen_fd_ = listen_on_loopback(&port_);
    api_set_addr("127.0.0.1", port_);
    acceptor_ = std::thread([this] { accept_loop(); });
}

FakeMiner::~FakeMiner()
{
    stop_ = true;
    acceptor_.join();
    for (auto &t : handlers_)
        t.join();
    if (listen_fd_ >= 0)
        close(listen_fd_);
    api_set_addr("127.0.0.1", 4028);
}

int FakeMiner::closed_port()
{
    int port = 0;
    int fd = listen_on_loopback(&port);
    close(fd);
    return port;
}

void FakeMiner::answer(const std::string &command, const std::string &raw)
{
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[command] = raw;
}

void FakeMiner::set_mode(Mode mode, int trickle_ms)
{
    mode_ = mode;
    trickle_ms_ = trickle_ms;
}

std::vector<std::string> FakeMiner::requests() const
{
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

void FakeMiner::accept_loop()
{
    while (!stop_) {
        pollfd pfd = {listen_fd_, POLLIN, 0};
        if (poll(&pfd, 1, 50) <= 0)
            continue;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        int n = ++connections_;
        // The last connection allowed closes the listening socket before it
        // is answered: a client that connects again after the answer must be
        // refused, not left in the backlog.
        bool last = accept_limit_ >= 0 && n >= accept_limit_;
        if (last) {
            close(listen_fd_);
            listen_fd_ = -1;
        }
        handlers_.emplace_back([this, fd] { serve(fd); });
        if (last)
            return;
    }
}

// Reads one request (a JSON object; the client neither terminates it nor
// shuts down its side), answers, closes.
void FakeMiner::serve(int fd)
{
    int now = ++concurrent_;
    for (int seen = max_concurrent_;
         now > seen && !max_concurrent_.compare_exchange_weak(seen, now);)
        ;
    std::string req;
    char buf[512];
    for (int waited = 0; waited < 2000 && !stop_;) {
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, 20) <= 0) {
            waited += 20;
            continue;
        }
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        if (n <= 0)
            break;
        req.append(buf, static_cast<size_t>(n));
        json_t *parsed = json_loads(req.c_str(), 0, nullptr);
        if (parsed) {
            json_decref(parsed);
            break;
        }
    }
    std::string raw;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        requests_.push_back(req);
        json_t *parsed = json_loads(req.c_str(), 0, nullptr);
        const char *cmd = parsed ? json_string_value(json_object_get(parsed, "command")) : nullptr;
        auto it = answers_.find(cmd ? cmd : "");
        if (it == answers_.end())
            it = answers_.find("*");
        if (it != answers_.end())
            raw = it->second;
        json_decref(parsed);
    }
    for (int slept = 0; slept < delay_ms_ && !stop_; slept += 10)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));

    switch (mode_.load()) {
    case Mode::answer:
        send_all(fd, raw.data(), raw.size());
        break;
    case Mode::silent:
        // Until the client gives up and closes.
        while (!stop_) {
            pollfd pfd = {fd, POLLIN, 0};
            if (poll(&pfd, 1, 50) > 0 && recv(fd, buf, sizeof(buf), 0) <= 0)
                break;
        }
        break;
    case Mode::trickle:
        for (size_t i = 0; i < raw.size() && !stop_; i++) {
            if (!send_all(fd, &raw[i], 1))
                break;
            std::this_thread::sleep_for(std::chrono::milliseconds(trickle_ms_));
        }
        break;
    }
    --concurrent_;
    close(fd);
}
