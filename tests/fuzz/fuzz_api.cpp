// Miner API answers through the repairs of the API client ("}{", ":inf"), the
// metrics snapshot (cgminer_metrics: global figures, chains, fans) and the
// pool statistics (cgminer_pools_stats).
//
// A peer thread on the harness's private loopback plays the miner: it reads
// the request and answers the input as it stands, then closes. Both API
// commands get the same answer. The snapshot parsers also get the parsed
// input directly (and its "state" text), so that a stats object reaches them
// even without the "STATS" wrapper.
#include <arpa/inet.h>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <jansson.h>

#include "fuzz_env.h"
#include "miner/api.h"
#include "miner/support.h"

namespace
{
std::mutex answer_mutex;
std::string answer; // what the peer writes to the next request

void serve(int listener)
{
    for (;;) {
        int conn = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno == EINTR)
                continue;
            perror("fuzz_api: accept");
            abort();
        }
        // A readiness probe connects and closes without a request.
        char req[512];
        ssize_t n = recv(conn, req, sizeof(req), 0);
        if (n > 0) {
            std::string out;
            {
                std::lock_guard<std::mutex> lock(answer_mutex);
                out = answer;
            }
            size_t sent = 0;
            while (sent < out.size()) {
                ssize_t w = send(conn, out.data() + sent, out.size() - sent, MSG_NOSIGNAL);
                if (w <= 0)
                    break;
                sent += static_cast<size_t>(w);
            }
        }
        close(conn);
    }
}

bool finite_metrics(const kv_metrics_t *m)
{
    if (!std::isfinite(m->hashrate) || !std::isfinite(m->hashrate_avg) || !std::isfinite(m->freq) ||
        !std::isfinite(m->watt))
        return false;
    for (const auto &c : m->chain_list) {
        if (!std::isfinite(c.hash_rate) || !std::isfinite(c.freq) || !std::isfinite(c.volt) ||
            !std::isfinite(c.watt))
            return false;
    }
    return m->fan_count <= 2 && m->chain_count <= CHAIN_COUNT;
}
} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr;
    memset(&addr, 0, sizeof(addr));
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(addr);
    if (s < 0 || bind(s, reinterpret_cast<sockaddr *>(&addr), sizeof(addr)) != 0 ||
        listen(s, 16) != 0 || getsockname(s, reinterpret_cast<sockaddr *>(&addr), &len) != 0) {
        perror("fuzz_api: listener");
        abort();
    }
    std::thread(serve, s).detach();
    api_set_addr("127.0.0.1", ntohs(addr.sin_port));
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_reset_state();
    {
        std::lock_guard<std::mutex> lock(answer_mutex);
        answer.assign(reinterpret_cast<const char *>(data), size);
    }

    kv_metrics_t *m = cgminer_metrics();
    if (m && !finite_metrics(m)) {
        fprintf(stderr, "the snapshot holds figures that cannot be reported\n");
        abort();
    }
    free(m);
    free(cgminer_pools_stats());

    json_t *root =
        json_loadb(reinterpret_cast<const char *>(data), size, JSON_DISABLE_EOF_CHECK, nullptr);
    if (json_is_object(root)) {
        kv_metrics_t direct;
        memset(&direct, 0, sizeof(direct));
        parse_chains_data(root, &direct);
        parse_fans_data(root, &direct);
        if (!finite_metrics(&direct)) {
            fprintf(stderr, "the chain or fan figures cannot be reported\n");
            abort();
        }
        (void)parse_miner_state(json_string_value(json_object_get(root, "state")));
    }
    json_decref(root);
    return 0;
}
