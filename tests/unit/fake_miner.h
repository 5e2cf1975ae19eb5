// Test helper: a miner API endpoint on 127.0.0.1 (an ephemeral port) that
// answers each connection as told, and points the agent's API client at it.
//
//   FakeMiner miner;
//   miner.answer("stats", text);            // raw bytes, NUL and faults included
//   json_t *res; api_call_cmd("stats", &res);
#pragma once

#include <atomic>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class FakeMiner
{
  public:
    enum class Mode {
        answer,  // the answer for the request's command, then close
        silent,  // read the request, never answer (until the client closes)
        trickle, // the answer one byte every trickle_ms
    };

    FakeMiner();
    ~FakeMiner();
    FakeMiner(const FakeMiner &) = delete;
    FakeMiner &operator=(const FakeMiner &) = delete;

    int port() const { return port_; }
    // Raw answer for a command ("*": any command without its own answer).
    void answer(const std::string &command, const std::string &raw);
    void set_mode(Mode mode, int trickle_ms = 50);
    // Holds every connection this long before answering.
    void set_delay_ms(int ms) { delay_ms_ = ms; }
    // Stops listening after this many connections (later ones are refused).
    void set_accept_limit(int n) { accept_limit_ = n; }

    std::vector<std::string> requests() const;
    int connections() const { return connections_; }
    int max_concurrent() const { return max_concurrent_; }

    // A port on 127.0.0.1 where nothing listens.
    static int closed_port();

  private:
    void accept_loop();
    void serve(int fd);

    int listen_fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> delay_ms_{0};
    std::atomic<int> accept_limit_{-1};
    std::atomic<Mode> mode_{Mode::answer};
    std::atomic<int> trickle_ms_{50};
    std::atomic<int> connections_{0};
    std::atomic<int> concurrent_{0};
    std::atomic<int> max_concurrent_{0};
    mutable std::mutex mutex_;
    std::map<std::string, std::string> answers_;
    std::vector<std::string> requests_;
    std::vector<std::thread> handlers_;
    std::thread acceptor_;
};
