#include "agent.h"

#include <cassert>
#include <csignal>
#include <string>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <curl/curl.h>
#include <getopt.h>
#include <jansson.h>
#include <libwebsockets.h>
#include <nss.h>
#include <unistd.h>

#include "log.h"
#include "miner/l3plus/support.h"
#include "miner/metrics.h"
#include "miner/status.h"
#include "miner/support.h"
#include "miner/watcher.h"
#include "owners.h"
#include "shell.h"
#include "util.h"
#include "paths.h"
#include "protocol.h"
#include "version.h"

#define DEFAULT_SERVER_URL "wss://api.korvane.io/api/v1/ws"
// Seconds without an established connection after which the process gives up
// and leaves the restart to the service supervisor.
#define CONNECTION_HANG_SECS 600
// How long a stop waits for the miner worker. The whole orderly stop must end
// within 25 s of the signal, before the init script's SIGKILL at 30 s: the
// watcher leaves within its 1-second poll, the metrics thread after at most
// one API call (5 s), the status thread after at most one call behind the
// metrics thread's on the API lock and one of its own (10 s); the worker
// stopped waiting for its script at the signal (shell_stop_waiting) and only
// has to finish its bookkeeping: 1 + 5 + 10 + 5 = 21 s.
#define MINER_WORKERS_STOP_SECS 5
// The log command runs on the service thread: it must end well before the
// server gives up on an unanswered connection (30 s).
#define LOGS_TIMEOUT_MS 20000
// More kernel log than this is not sent.
#define LOGS_MAX_BYTES (4 * 1024 * 1024)

static struct agent_state state;

static const char *config_path = PATH_AGENT_CONFIG;
static const char *server_url = DEFAULT_SERVER_URL;
// Set by -u: one configuration upload after the first login of the process.
static std::atomic<bool> upload_config_on_start{false};
static struct lws_context *context = nullptr;

// The stop signal, recorded by the handler and acted on by the service loop.
static volatile sig_atomic_t pending_signal = 0;

static const struct lws_protocols protocols[] = {
    {"korvane-agent", agent_proto_callback, sizeof(struct agent_psd), 8192, 0, nullptr, 8192},
    {nullptr, nullptr, 0, 0, 0, nullptr, 0},
};

static const struct lws_extension extensions[] = {
    {"permessage-deflate", lws_extension_callback_pm_deflate,
     "permessage-deflate; client_no_context_takeover; client_max_window_bits"},
    {"deflate-frame", lws_extension_callback_pm_deflate, "deflate-frame"},
    {nullptr, nullptr, nullptr},
};

// The session finds the state record through this per-vhost option.
static const struct lws_protocol_vhost_options pvo_state = {nullptr, nullptr, "state",
                                                            reinterpret_cast<const char *>(&state)};
static const struct lws_protocol_vhost_options pvo = {nullptr, &pvo_state, "korvane-agent", ""};

static const struct option agent_option_defs[] = {
    {"config", required_argument, nullptr, 'c'},
    {"upload", no_argument, nullptr, 'u'},
    {"help", no_argument, nullptr, 'h'},
    {nullptr, 0, nullptr, 0},
};

struct agent_config *agent_config(void)
{
    return &state.config;
}

bool agent_is_connected(void)
{
    return state.connected;
}

struct agent_state *agent_get_state(void)
{
    return &state;
}

bool agent_is_authenticated(void)
{
    return state.connected && state.authenticated;
}

int agent_stop(void)
{
    state.interrupt = true;
    shell_stop_waiting();
    if (context)
        lws_cancel_service(context);
    return 0;
}

bool agent_take_upload_request(void)
{
    return upload_config_on_start.exchange(false);
}

// Copies every member of part (released) into root; nothing for a null part.
static void merge_view(json_t *root, json_t *part)
{
    json_ptr owned(part);
    if (owned)
        json_object_update(root, owned.get());
}

int upload_miner_config(void)
{
    json_t *root = json_pack("{s:s}", "type", "update_config");
    if (!root) {
        LOG_ERROR("Failed to build update_config message");
        return -1;
    }
    merge_view(root, cgminer_config());
    merge_view(root, cgminer_net_config());
    return agent_enqueue_message(root);
}

void handle_config_changes(struct watcher_status *)
{
    upload_miner_config();
}

json_t *agent_logs_message(const char *req_id)
{
    assert(req_id);
    std::string text;
    int res = shell_read_bounded(CMD_KERNEL_LOG, &text, LOGS_TIMEOUT_MS, LOGS_MAX_BYTES);
    const char *error = nullptr;
    if (res == -1 || res == -2) {
        error = "Fetching logs failed";
    } else if (res == -3) {
        error = "Unable to allocate memory for storing log messages";
    } else {
        json_t *msg =
            json_pack("{ss,ss,ss}", "type", "logs", "request_id", req_id, "logs", text.c_str());
        if (msg)
            return msg;
        error = "Failed to encode logs response";
    }
    LOG_ERROR("%s", error);
    return json_pack("{ss,ss,sb,ss}", "type", "get_logs", "request_id", req_id, "ok", 0, "message",
                     error);
}

int miner_send_logs(const char *req_id)
{
    assert(req_id);
    if (!agent_is_connected())
        return -1;
    json_t *msg = agent_logs_message(req_id);
    return msg ? agent_enqueue_message(msg) : -1;
}

static void display_usage(void)
{
    printf("Korvane agent v%s\n\n", AGENT_VERSION);
    printf("USAGE: kvagent [OPTIONS]\n");
    printf("    -c,--config <file>        Set agent config file\n");
    printf("    -u,--upload               Force upload miner config\n");
    printf("    -h                        Display this message\n");
    fflush(stdout);
    exit(0);
}

static void parse_options(int argc, char **argv)
{
    int opt;
    while ((opt = getopt_long(argc, argv, "c:s:uh", agent_option_defs, nullptr)) != -1) {
        switch (opt) {
        case 'c':
            config_path = optarg;
            break;
        case 's':
            server_url = optarg;
            break;
        case 'u':
            upload_config_on_start = true;
            break;
        case 'h':
            display_usage();
            break;
        default:
            // getopt has already printed its diagnostic; carry on.
            break;
        }
    }
}

// Signal handler: only records the signal. The service loop wakes up from the
// interrupted wait and carries out the stop. The device scripts' waits end at
// once (shell_stop_waiting), so the stop also reaches a service thread that
// waits for a network restart or a reboot, and the miner worker.
static void terminate_agent(int sig)
{
    pending_signal = sig;
    shell_stop_waiting();
}

static void install_signal_handlers(void)
{
    struct sigaction sa;
    memset(&sa, 0, sizeof(sa));
    sa.sa_handler = terminate_agent;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGHUP, &sa, nullptr);
}

static struct lws_context *create_lws_context(void)
{
    lws_set_log_level(LLL_ERR | LLL_WARN, nullptr);

    struct lws_context_creation_info info;
    memset(&info, 0, sizeof(info));
    // Trust only the agent's own anchors (PATH_CA_FILE): without this the
    // library also loads the system's CA store into every client context.
    info.options = LWS_SERVER_OPTION_DO_SSL_GLOBAL_INIT | LWS_SERVER_OPTION_DISABLE_OS_CA_CERTS;
    info.port = CONTEXT_PORT_NO_LISTEN;
    info.protocols = protocols;
    info.pvo = &pvo;
    info.extensions = extensions;
    info.gid = -1;
    info.uid = -1;
    info.user = nullptr;
    info.timeout_secs = 60;
    // One server connection and the library's own wake-up pipe: without a
    // limit the poll table is sized for the process's whole descriptor limit
    // (8 bytes each; 160 KB at a limit of 20000).
    info.fd_limit_per_thread = 16;
    info.client_ssl_ca_filepath = PATH_CA_FILE;
    return lws_create_context(&info);
}

static void destroy_lws_context(void)
{
    if (context) {
        lws_context_destroy(context);
        context = nullptr;
    }
}

// A once-a-second wake-up bounds every service wait, so a stop signal that
// arrives just before the wait starts is still seen promptly.
static lws_sorted_usec_list_t tick_sul;

static void tick(lws_sorted_usec_list_t *sul)
{
    lws_sul_schedule(context, 0, sul, tick, LWS_US_PER_SEC);
}

static void handle_pending_signal(void)
{
    if (!pending_signal)
        return;
    pending_signal = 0;
    if (write(STDOUT_FILENO, "\r", 1) < 0) {
        // Nothing to do: the terminal may be gone.
    }
    log_msg(LOG_LEVEL_INFO, "Stopping agent");
    agent_stop();
}

// The miner worker may still be finishing an operation (its script was left
// running at the stop, or was a quick step); it logs, so logging stays up
// until it is done. One that outlasts the wait is left to finish on its own:
// the process ends with exit_status without tearing down what the worker
// still uses.
static void wait_miner_workers(int exit_status)
{
    if (!cgminer_wait_workers(MINER_WORKERS_STOP_SECS)) {
        log_msg(LOG_LEVEL_WARN, "Miner worker still running, exiting without cleanup");
        _exit(exit_status);
    }
}

// The background threads, stopped in the reverse order of their start.
static void start_background_threads(void)
{
    status_start_reporting();
    metrics_start();
    watcher_start(handle_config_changes);
}

static void stop_background_threads(void)
{
    watcher_stop();
    metrics_stop();
    status_stop_reporting();
}

static time_t monotonic_seconds(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec;
}

static void agent_run_loop(void)
{
    context = create_lws_context();
    if (!context) {
        LOG_ERROR("Failed to create lws context");
        exit(1);
    }

    // A monotonic clock: the device boots without the time of day, and NTP may
    // step the wall clock by any amount while the connection is still down.
    time_t last_con_time = monotonic_seconds();
    state.running = true;
    state.connected = false;
    state.interrupt = false;

    memset(&tick_sul, 0, sizeof(tick_sul));
    lws_sul_schedule(context, 0, &tick_sul, tick, LWS_US_PER_SEC);
    start_background_threads();

    while (state.running) {
        lws_service(context, 0);
        handle_pending_signal();

        time_t cur_time = monotonic_seconds();
        if (state.connected) {
            last_con_time = cur_time;
        } else if (cur_time - last_con_time > CONNECTION_HANG_SECS) {
            LOG_ERROR("Agent connection hands, restarting");
            shell_stop_waiting();
            stop_background_threads();
            wait_miner_workers(1);
            exit(1);
        }
    }

    stop_background_threads();
    lws_sul_cancel(&tick_sul);
    destroy_lws_context();
    wait_miner_workers(0);
    log_cleanup();
}

// The shipped binary is static and runs on the device's own, far older
// userland: nothing of that userland may be loaded into it. (Its TLS is mbed
// TLS, which reads no configuration file of the device's OpenSSL.)
static void keep_device_libraries_out(void)
{
    // Host lookups use the C library's built-in "files" and "dns" only. A
    // module the device's nsswitch.conf names (libnss_mdns4_minimal, ...)
    // belongs to its own C library and would be loaded into ours.
    __nss_configure_lookup("hosts", "files dns");
}

int agent_main(int argc, char **argv)
{
    keep_device_libraries_out();
    if (log_init() != 0) {
        fprintf(stderr, "kvagent: cannot initialise logging from %s\n", PATH_LOG_CONF);
        return 1;
    }
    set_thread_name("main@agent");
    install_signal_handlers();
    // The reconnect jitter's seed: devices of a farm that boot together read
    // the same clock (2000-01-01 until ntpdate) and often get the same pids.
    unsigned seed = 0;
    if (util_random_bytes(&seed, sizeof(seed)) != 0)
        seed = static_cast<unsigned>(time(nullptr) + getpid());
    srand(seed);
    curl_global_init(CURL_GLOBAL_SSL);

    parse_options(argc, argv);

    log_msg(LOG_LEVEL_INFO, "Agent version: %s", AGENT_VERSION);

    if (agent_load_config(config_path, &state.config) != 0) {
        LOG_ERROR("Failed to load %s file", config_path);
        exit(1);
    }
    log_msg(LOG_LEVEL_INFO, "API key: %s", state.config.api_key);
    log_msg(LOG_LEVEL_INFO, "Device Id: %s", state.config.dev_id);

    if (state.config.fresh_install && agent_save_config(config_path, &state.config) != 0) {
        LOG_ERROR("Failed to save %s file", config_path);
        exit(1);
    }

    log_msg(LOG_LEVEL_INFO, "Server URL: %s", server_url);
    if (parse_url(server_url, &state.server) != 0) {
        LOG_ERROR("Failed to parse server url: %s", server_url);
        exit(1);
    }

    log_msg(LOG_LEVEL_INFO, "Press Ctrl+C to stop agent");
    agent_run_loop();
    curl_global_cleanup();
    return 0;
}
