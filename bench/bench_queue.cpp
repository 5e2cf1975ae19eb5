// Outgoing queue throughput: several producer threads queue messages while the
// service loop on the main thread writes them to the server. Run it like the
// agent (same files, same options) against a server that accepts the login;
// it reports messages per second and the process's peak RSS.
//
//   bench_queue [-n MESSAGES] [-t THREADS] -- [agent options]
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sys/resource.h>
#include <thread>
#include <vector>

#include <jansson.h>

#include "agent.h"
#include "protocol.h"

namespace
{

std::atomic<long> retries{0};
std::atomic<bool> failed{false};

void produce(int thread_no, int count)
{
    for (int i = 0; i < count && !failed; i++) {
        for (;;) {
            json_t *msg = json_pack("{s:s, s:i, s:i, s:f, s:s}", "type", "bench", "thread",
                                    thread_no, "seq", i, "value", i * 0.125, "payload",
                                    "0123456789abcdef0123456789abcdef0123456789abcdef");
            int res = agent_enqueue_message(msg);
            if (res == 0)
                break;
            if (res == -2) {
                failed = true;
                return;
            }
            retries++; // queue full: back off briefly and try again
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    }
}

void drive(int messages, int threads)
{
    using clock = std::chrono::steady_clock;
    auto deadline = clock::now() + std::chrono::seconds(30);
    while (!agent_is_authenticated()) {
        if (clock::now() > deadline) {
            fprintf(stderr, "bench: no authenticated session within 30 s\n");
            failed = true;
            agent_stop();
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    auto start = clock::now();
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; t++)
        producers.emplace_back(produce, t, messages / threads);
    for (auto &p : producers)
        p.join();
    while (!failed && agent_queue_length() > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    double secs = std::chrono::duration<double>(clock::now() - start).count();

    int sent = (messages / threads) * threads;
    if (failed)
        fprintf(stderr, "bench: the connection went away during the run\n");
    else
        printf(
            "bench: %d messages from %d threads in %.3f s: %.0f msg/s (%ld full-queue retries)\n",
            sent, threads, secs, sent / secs, retries.load());
    agent_stop();
}

} // namespace

int main(int argc, char **argv)
{
    int messages = 20000;
    int threads = 4;
    int i = 1;
    for (; i < argc; i++) {
        if (strcmp(argv[i], "-n") == 0 && i + 1 < argc)
            messages = atoi(argv[++i]);
        else if (strcmp(argv[i], "-t") == 0 && i + 1 < argc)
            threads = atoi(argv[++i]);
        else if (strcmp(argv[i], "--") == 0) {
            i++;
            break;
        }
    }
    if (messages <= 0 || threads <= 0) {
        fprintf(stderr, "usage: bench_queue [-n MESSAGES] [-t THREADS] -- [agent options]\n");
        return 2;
    }

    std::vector<char *> agent_argv{argv[0]};
    for (; i < argc; i++)
        agent_argv.push_back(argv[i]);
    agent_argv.push_back(nullptr);

    std::thread driver(drive, messages, threads);
    int res = agent_main(static_cast<int>(agent_argv.size()) - 1, agent_argv.data());
    driver.join();

    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    printf("bench: peak RSS %ld KiB\n", ru.ru_maxrss);
    return res != 0 || failed ? 1 : 0;
}
