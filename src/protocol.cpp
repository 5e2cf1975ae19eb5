#include "protocol.h"

#include <cassert>
#include <cstring>
#include <memory>
#include <new>

#include "agent.h"
#include "handlers.h"
#include "miner/l3plus/config.h"
#include "log.h"
#include "miner/firmware.h"
#include "owners.h"

#define AGENT_MODEL "antminer-l3plus"
#define AGENT_PROTOCOL_NAME "korvane-agent"
#define AUTH_TIMEOUT_SECS 60

// Guards the two pointers below and the abort timer; taken before msgs_lock.
static std::mutex conn_mutex;
static struct agent_vhd *agent_vhd = nullptr;
// The established connection's record; null while there is none.
static struct agent_psd *agent_psd = nullptr;

static const uint32_t backoff_ms[] = {0, 5000, 10000, 30000, 60000};

static const lws_retry_bo_t retry = {
    backoff_ms,                                 // retry_ms_table
    sizeof(backoff_ms) / sizeof(backoff_ms[0]), // retry_ms_table_count
    65535,                                      // conceal_count
    20,                                         // secs_since_valid_ping
    30,                                         // secs_since_valid_hangup
    20,                                         // jitter_percent
};

/* ---- session ----------------------------------------------------------- */

int session_open(struct agent_psd *psd, struct lws *wsi)
{
    psd->out_msgs =
        lws_ring_create(sizeof(outgoing_message_t), OUT_MSGS_COUNT, destroy_outgoing_message);
    if (!psd->out_msgs) {
        LOG_ERROR("Failed to create the outgoing message queue");
        return -1;
    }
    psd->wsi = wsi;
    psd->auth = STATE_UNAUTHENTICATED;
    psd->abort_on_timeout = false;
    new (&psd->msgs_lock) std::mutex();
    psd->tail = 0;
    inc_msg_reset(psd);

    std::lock_guard<std::mutex> lock(conn_mutex);
    agent_psd = psd;
    return 0;
}

void session_close(struct agent_psd *psd)
{
    psd->wsi = nullptr;
    if (!psd->out_msgs)
        return; // never opened
    std::lock_guard<std::mutex> lock(conn_mutex);
    psd->msgs_lock.~mutex();
    lws_ring_destroy(psd->out_msgs);
    psd->out_msgs = nullptr;
    psd->tail = 0;
    if (agent_psd == psd)
        agent_psd = nullptr;
}

void send_auth_request(struct agent_psd *psd)
{
    struct agent_config *cfg = agent_config();
    json_ptr root(json_pack("{s:s, s:s, s:s, s:s, s:s, s:s}", "type", "auth", "api_key",
                            cfg->api_key, "device_id", cfg->dev_id, "model", AGENT_MODEL,
                            "firmware_id", firmware_name(), "firmware_ver", firmware_version()));
    if (!root) {
        LOG_ERROR("Failed to build auth request");
        return;
    }
    send_message(root.get(), psd->wsi);
}

void agent_conn_abort_after(int secs)
{
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (!agent_psd) {
        log_msg(LOG_LEVEL_WARN, "Conn abort timer can't be started, no active connections");
        return;
    }
    agent_psd->abort_on_timeout = true;
    lws_set_timer_usecs(agent_psd->wsi, static_cast<lws_usec_t>(secs * 1000000.0));
}

void agent_conn_abort_cancel(void)
{
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (!agent_psd) {
        log_msg(LOG_LEVEL_WARN, "Conn abort timer can't be stopped, no active connections");
        return;
    }
    agent_psd->abort_on_timeout = false;
    if (agent_psd->wsi)
        lws_set_timer_usecs(agent_psd->wsi, LWS_SET_TIMER_USEC_CANCEL);
}

void connect_agent(lws_sorted_usec_list_t *sul)
{
    struct agent_vhd *vhd = lws_container_of(sul, struct agent_vhd, sul);
    if (vhd->state->interrupt)
        return;
    const struct url_info *server = &vhd->state->server;

    struct lws_client_connect_info info;
    memset(&info, 0, sizeof(info));
    info.context = vhd->context;
    info.address = server->host;
    info.host = server->host;
    info.port = server->port;
    info.path = server->path;
    // The server's certificate must chain to the device's trust file, with the
    // host name checked; only its validity period is not enforced, since a
    // device often has no clock before NTP has run.
    info.ssl_connection = LCCSCF_USE_SSL | LCCSCF_ALLOW_EXPIRED;
    info.protocol = AGENT_PROTOCOL_NAME;
    info.ietf_version_or_minus_one = -1;
    info.retry_and_idle_policy = &retry;

    if (lws_client_connect_via_info(&info))
        return;

    LOG_ERROR("Failed to create lws connection");
    if (lws_retry_sul_schedule(vhd->context, 0, &vhd->sul, &retry, connect_agent, &vhd->retry)) {
        log_msg(LOG_LEVEL_INFO, "[connect_client]: connection attempts exhausted");
        vhd->state->interrupt = true;
    }
}

void reconnect_agent(struct agent_vhd *vhd)
{
    // A stop under way: a connection attempt that ends now (also while the
    // context is being destroyed) must not be retried.
    if (vhd->state->interrupt) {
        vhd->state->running = false;
        return;
    }
    log_msg(LOG_LEVEL_INFO, "Trying agent reconnect %d", vhd->retry + 1);
    agent_conn_abort_cancel();
    if (lws_retry_sul_schedule(vhd->context, 0, &vhd->sul, &retry, connect_agent, &vhd->retry)) {
        LOG_ERROR("[reconnect_agent]: connection attempts exhausted\n");
        vhd->state->interrupt = true;
    }
}

static int protocol_init(struct lws *wsi, const struct lws_protocol_vhost_options *pvo)
{
    struct agent_vhd *vhd = static_cast<struct agent_vhd *>(lws_protocol_vh_priv_zalloc(
        lws_get_vhost(wsi), lws_get_protocol(wsi), sizeof(struct agent_vhd)));
    if (!vhd) {
        LOG_ERROR("Failed to initialize protocol vhd");
        return -1;
    }
    {
        std::lock_guard<std::mutex> lock(conn_mutex);
        agent_vhd = vhd;
    }
    vhd->context = lws_get_context(wsi);
    vhd->vhost = lws_get_vhost(wsi);
    vhd->proto = lws_get_protocol(wsi);
    const struct lws_protocol_vhost_options *opt = lws_pvo_search(pvo, "state");
    assert(opt && "the run loop always supplies the state record");
    vhd->state = reinterpret_cast<struct agent_state *>(const_cast<char *>(opt->value));
    vhd->retry = 0;
    lws_sul_schedule(vhd->context, 0, &vhd->sul, connect_agent, 1);
    return 0;
}

static void wait_cancelled(struct agent_vhd *vhd)
{
    if (!vhd)
        return;
    struct agent_psd *psd = agent_psd; // only this thread writes it
    if (vhd->state->interrupt) {
        if (vhd->state->connected && psd)
            lws_callback_on_writable(psd->wsi);
        else
            vhd->state->running = false;
        return;
    }
    if (!psd)
        return;
    std::lock_guard<std::mutex> lock(psd->msgs_lock);
    if (lws_ring_get_element(psd->out_msgs, &psd->tail))
        lws_callback_on_writable(psd->wsi);
}

int agent_proto_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *in,
                         size_t len)
{
    struct agent_vhd *vhd = static_cast<struct agent_vhd *>(
        lws_protocol_vh_priv_get(lws_get_vhost(wsi), lws_get_protocol(wsi)));
    struct agent_psd *psd = static_cast<struct agent_psd *>(user);

    switch (reason) {
    case LWS_CALLBACK_PROTOCOL_INIT:
        return protocol_init(wsi, static_cast<const struct lws_protocol_vhost_options *>(in));

    default:
        break;
    }
    if (!vhd)
        return 0;

    switch (reason) {
    case LWS_CALLBACK_CLIENT_ESTABLISHED:
        vhd->state->connected = true;
        if (session_open(psd, wsi) != 0)
            return -1;
        lws_callback_on_writable(wsi);
        return 0;

    case LWS_CALLBACK_CLIENT_CONNECTION_ERROR:
        log_msg(LOG_LEVEL_WARN, "Agent connection error - %s",
                in ? static_cast<const char *>(in) : "(null)");
        vhd->state->connected = false;
        vhd->state->authenticated = false;
        reconnect_agent(vhd);
        return 0;

    case LWS_CALLBACK_CLIENT_RECEIVE:
        return receive_fragment(vhd, psd, in, len, lws_is_first_fragment(wsi) != 0,
                                lws_is_final_fragment(wsi) && !lws_remaining_packet_payload(wsi));

    case LWS_CALLBACK_CLIENT_WRITEABLE:
        return process_outgoing_packets(vhd, psd) < 0 ? -1 : 0;

    case LWS_CALLBACK_EVENT_WAIT_CANCELLED:
        wait_cancelled(vhd);
        return 0;

    case LWS_CALLBACK_TIMER:
        if (psd && psd->abort_on_timeout) {
            log_msg(LOG_LEVEL_WARN, "Aborting agent connection on timeout");
            psd->abort_on_timeout = false;
            return -1;
        }
        return 0;

    case LWS_CALLBACK_CLIENT_CLOSED:
        vhd->state->connected = false;
        vhd->state->authenticated = false;
        if (psd)
            session_close(psd);
        if (vhd->state->interrupt)
            vhd->state->running = false;
        else
            reconnect_agent(vhd);
        return 0;

    default:
        return 0;
    }
}

/* ---- outgoing ---------------------------------------------------------- */

void destroy_outgoing_message(void *data)
{
    outgoing_message_t *msg = static_cast<outgoing_message_t *>(data);
    if (msg->root) {
        json_decref(msg->root);
        msg->root = nullptr;
    }
}

int enqueue_message(json_t *root, struct agent_psd *psd, bool reconnect)
{
    assert(root && psd);
    json_ptr owned(root);
    int res = -1;
    {
        std::lock_guard<std::mutex> lock(psd->msgs_lock);
        if (lws_ring_get_count_free_elements(psd->out_msgs) == 0) {
            log_msg(LOG_LEVEL_WARN, "Dropping message, no free elements in out_msgs buffer");
        } else {
            outgoing_message_t msg = {owned.get(), reconnect};
            if (lws_ring_insert(psd->out_msgs, &msg, 1) != 1) {
                LOG_ERROR("Failed to enqueue outgoing message");
            } else {
                owned.release(); // the ring's now
                res = 0;
            }
        }
    }
    // Written once at protocol start, before any producer runs.
    if (agent_vhd)
        lws_cancel_service(agent_vhd->context);
    return res;
}

int enqueue_result_rec(int res, const char *type, struct agent_psd *psd, bool reconnect)
{
    assert(type && psd);
    json_t *root = json_pack("{s:s, s:b}", "type", type, "ok", res == 0);
    if (!root) {
        LOG_ERROR("Failed to enqueue outgoing message");
        return -1;
    }
    return enqueue_message(root, psd, reconnect);
}

int enqueue_result(int res, const char *type, struct agent_psd *psd)
{
    return enqueue_result_rec(res, type, psd, false);
}

int enqueue_ok_resonse(const char *type, struct agent_psd *psd)
{
    return enqueue_result(0, type, psd);
}

int enqueue_err_response(const char *type, struct agent_psd *psd)
{
    return enqueue_result(-1, type, psd);
}

int agent_enqueue_message(json_t *root)
{
    assert(root);
    json_ptr owned(root);
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (!agent_psd)
        return -2;
    return enqueue_message(owned.release(), agent_psd, false);
}

int agent_enqueue_result(int res, const char *type)
{
    assert(type);
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (!agent_psd)
        return -2;
    return enqueue_result(res, type, agent_psd);
}

int agent_queue_length(void)
{
    std::lock_guard<std::mutex> lock(conn_mutex);
    if (!agent_psd)
        return -1;
    std::lock_guard<std::mutex> msgs(agent_psd->msgs_lock);
    return static_cast<int>(
        lws_ring_get_count_waiting_elements(agent_psd->out_msgs, &agent_psd->tail));
}

int send_message(json_t *root, struct lws *wsi)
{
    const size_t flags = JSON_INDENT(2) | JSON_REAL_PRECISION(10);
    // Measure first, then serialise straight behind the library's header
    // space: one allocation per written message.
    size_t len = json_dumpb(root, nullptr, 0, flags);
    if (len == 0) {
        log_msg(LOG_LEVEL_WARN, "Failed to serialize JSON message");
        return -1;
    }
    std::unique_ptr<unsigned char[]> buf(new (std::nothrow) unsigned char[LWS_PRE + len]);
    if (!buf ||
        json_dumpb(root, reinterpret_cast<char *>(buf.get() + LWS_PRE), len, flags) != len) {
        log_msg(LOG_LEVEL_WARN, "Failed to serialize JSON message");
        return -1;
    }
    int n = lws_write(wsi, buf.get() + LWS_PRE, len, LWS_WRITE_TEXT);
    size_t sent = n < 0 ? 0 : static_cast<size_t>(n);
    if (sent != len) {
        LOG_ERROR("Failed to send complete message (len = %zu, sent = %zu)", len, sent);
        return -1;
    }
    return 0;
}

int process_outgoing_packets(struct agent_vhd *vhd, struct agent_psd *psd)
{
    if (vhd->state->interrupt) {
        lws_close_reason(psd->wsi, LWS_CLOSE_STATUS_NORMAL, nullptr, 0);
        return -1;
    }
    if (psd->auth == STATE_UNAUTHENTICATED) {
        agent_conn_abort_after(AUTH_TIMEOUT_SECS);
        send_auth_request(psd);
        psd->auth = STATE_AUTH_MSG_SENT;
        return 0;
    }
    if (psd->auth != STATE_AUTHENTICATED)
        return 0;

    vhd->retry = 0;
    bool reconnect = false;
    {
        std::lock_guard<std::mutex> lock(psd->msgs_lock);
        const outgoing_message_t *msg = static_cast<const outgoing_message_t *>(
            lws_ring_get_element(psd->out_msgs, &psd->tail));
        if (msg) {
            send_message(msg->root, psd->wsi);
            reconnect = msg->reconnect;
            lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
        }
        if (lws_ring_get_element(psd->out_msgs, &psd->tail))
            lws_callback_on_writable(psd->wsi);
    }
    return reconnect ? -1 : 0;
}

/* ---- incoming ---------------------------------------------------------- */

void inc_msg_reset(struct agent_psd *psd)
{
    psd->in_msg_len = 0;
    psd->skip_in_msg = false;
    psd->in_msg[0] = '\0';
}

int inc_msg_append_fragment(const void *frgm, size_t len, struct agent_psd *psd)
{
    if (psd->skip_in_msg)
        return -1;
    if (psd->in_msg_len + len > IN_MSG_MAX) {
        LOG_ERROR("Unable to compose the incomming message, buffer too small");
        psd->skip_in_msg = true;
        return -1;
    }
    memcpy(psd->in_msg + psd->in_msg_len, frgm, len);
    psd->in_msg_len += len;
    // The buffer has one byte beyond the largest message for the terminator.
    psd->in_msg[psd->in_msg_len] = '\0';
    return 0;
}

int receive_fragment(struct agent_vhd *vhd, struct agent_psd *psd, const void *in, size_t len,
                     bool first, bool last)
{
    if (first)
        inc_msg_reset(psd);
    inc_msg_append_fragment(in, len, psd);
    if (!last)
        return 0;
    if (process_incomming_packets(vhd, psd) != 0)
        return -1;
    inc_msg_reset(psd);
    return 0;
}

/* ---- dispatch ---------------------------------------------------------- */

int process_incomming_packets(struct agent_vhd *vhd, struct agent_psd *psd)
{
    if (psd->skip_in_msg || psd->in_msg_len == 0)
        return 0;

    json_error_t err;
    json_ptr root(json_loadb(psd->in_msg, psd->in_msg_len, 0, &err));
    if (!root) {
        log_msg(LOG_LEVEL_WARN, "Failed to decode msg - %s", err.text);
        return -1;
    }
    if (!json_is_object(root.get())) {
        log_msg(LOG_LEVEL_WARN, "Root element must be an object");
        return -1;
    }

    json_t *type = json_object_get(root.get(), "type");
    json_t *ok = json_object_get(root.get(), "ok");

    if (ok && !type) {
        const char *message = json_string_value(json_object_get(root.get(), "message"));
        log_msg(LOG_LEVEL_WARN, "Error message received - %s", message ? message : "");
        return 0;
    }
    if (json_is_string(type))
        return process_message(json_string_value(type), ok, root.get(), vhd, psd) == 0 ? 0 : -1;

    // No type at all, or one that is not a string.
    log_msg(LOG_LEVEL_WARN, "Malformed message received: %s", psd->in_msg);
    return -1;
}

// A handler that takes the message alone.
template <int (*handler)(json_t *)> static int on_root(const struct dispatch_message *m)
{
    return handler(m->root);
}

static int on_auth(const struct dispatch_message *m)
{
    return agent_auth(m->root, m->ok, m->vhd, m->psd);
}

// The acknowledgement and the full configuration have no reply, and neither
// closes the connection whatever came of them.
static int on_update_config(const struct dispatch_message *m)
{
    agent_update_config(m->root, m->ok);
    return 0;
}

static int on_config(const struct dispatch_message *m)
{
    agent_config_all(m->root, m->ok);
    return 0;
}

static int on_update_firmware(const struct dispatch_message *)
{
    log_msg(LOG_LEVEL_WARN, "Firmware update not supported");
    return 0;
}

static const struct dispatch_entry dispatch_table[] = {
    {"auth", on_auth, DISPATCH_REPLY_NONE},
    {"update_config", on_update_config, DISPATCH_REPLY_NONE},
    {"status", on_root<agent_report_status>, DISPATCH_REPLY_NONE},
    {"logs", on_root<agent_get_systemlogs>, DISPATCH_REPLY_ON_FAILURE},
    {"chip_metrics", on_root<agent_report_chip_metrics>, DISPATCH_REPLY_ON_FAILURE},
    {"config", on_config, DISPATCH_REPLY_NONE},
    {"config_network", on_root<agent_config_network>, DISPATCH_REPLY_RECONNECT},
    {"config_pools", on_root<agent_config_pools>, DISPATCH_REPLY_RESULT},
    {"config_fans", on_root<agent_config_fans>, DISPATCH_REPLY_RESULT},
    {"config_watchdog", on_root<agent_config_watchdog>, DISPATCH_REPLY_RESULT},
    {"config_perf", on_root<agent_config_perf>, DISPATCH_REPLY_RESULT},
    {"config_autotuner", on_root<agent_config_autotuner>, DISPATCH_REPLY_RESULT},
    {"config_chain", on_root<agent_config_chain>, DISPATCH_REPLY_RESULT},
    {"config_web_access", on_root<agent_config_web_access>, DISPATCH_REPLY_RESULT},
    {"reboot", on_root<agent_reboot_asic>, DISPATCH_REPLY_RESULT},
    {"start_mining", on_root<agent_start_mining>, DISPATCH_REPLY_RESULT},
    {"stop_mining", on_root<agent_stop_mining>, DISPATCH_REPLY_RESULT},
    {"update_firmware", on_update_firmware, DISPATCH_REPLY_NONE},
};

const struct dispatch_entry *dispatch_entries(size_t *count)
{
    *count = sizeof(dispatch_table) / sizeof(dispatch_table[0]);
    return dispatch_table;
}

int process_message(const char *type, json_t *ok, json_t *root, struct agent_vhd *vhd,
                    struct agent_psd *psd)
{
    const struct dispatch_entry *entry = nullptr;
    for (const auto &e : dispatch_table) {
        if (strcmp(type, e.type) == 0) {
            entry = &e;
            break;
        }
    }
    if (!entry) {
        log_msg(LOG_LEVEL_WARN, "Unknown message received: %s", type);
        return 0;
    }
    const struct dispatch_message m = {root, ok, vhd, psd};
    int res = entry->handler(&m);
    switch (entry->reply) {
    case DISPATCH_REPLY_NONE:
        return res < 0 ? -1 : 0;
    case DISPATCH_REPLY_RESULT:
        enqueue_result(res, type, psd);
        break;
    case DISPATCH_REPLY_ON_FAILURE:
        if (res < 0)
            enqueue_err_response(type, psd);
        break;
    case DISPATCH_REPLY_RECONNECT:
        // A rewritten network file (1): the connection is made again after the reply.
        enqueue_result_rec(res < 0 ? -1 : 0, type, psd, res == 1);
        break;
    }
    return 0;
}
