// The server session: connection and back-off, authentication request, outgoing
// queue, reassembly of incoming messages and dispatch by message type.
//
// Everything here runs on the main thread inside the service loop, except the
// entry points marked "any thread".
#pragma once

#include <cstddef>
#include <cstdint>
#include <jansson.h>
#include <libwebsockets.h>
#include <mutex>

struct agent_state;

enum auth_states {
    STATE_UNAUTHENTICATED = 0,
    STATE_AUTH_MSG_SENT = 1,
    STATE_AUTHENTICATED = 2,
};

// Largest incoming message; one more byte holds the terminator.
#define IN_MSG_MAX 16384
#define OUT_MSGS_COUNT 1024

typedef struct outgoing_message {
    json_t *root; // one reference, owned by the queue
    bool reconnect;
} outgoing_message_t;

// Per-vhost data; one for the process.
struct agent_vhd {
    struct lws_context *context;
    struct lws_vhost *vhost;
    const struct lws_protocols *proto;
    struct agent_state *state;
    lws_sorted_usec_list_t sul;
    uint16_t retry;
};

// Per-connection data, allocated zeroed by the library.
struct agent_psd {
    struct lws *wsi;
    enum auth_states auth;
    char in_msg[IN_MSG_MAX + 1];
    size_t in_msg_len;
    bool skip_in_msg;
    struct lws_ring *out_msgs;
    uint32_t tail;
    std::mutex msgs_lock; // constructed in session_open, destroyed in session_close
    bool abort_on_timeout;
};

// Session.
int agent_proto_callback(struct lws *wsi, enum lws_callback_reasons reason, void *user, void *in,
                         size_t len);
void connect_agent(lws_sorted_usec_list_t *sul);
void reconnect_agent(struct agent_vhd *vhd);
void send_auth_request(struct agent_psd *psd);
void agent_conn_abort_after(int secs);
void agent_conn_abort_cancel(void);
// Sets up a new connection's record and publishes it as the current session;
// -1 when its queue cannot be created.
int session_open(struct agent_psd *psd, struct lws *wsi);
// Withdraws the current session and releases its queue (unsent messages included).
void session_close(struct agent_psd *psd);

// Outgoing queue, any thread. agent_enqueue_message takes ownership of root.
// 0 queued, -1 dropped, -2 no connection.
int agent_enqueue_message(json_t *root);
int agent_enqueue_result(int res, const char *type);
// Messages waiting in the current session's queue; -1 without a session. Any thread.
int agent_queue_length(void);

// Outgoing queue, main thread (the session cannot go away meanwhile).
int enqueue_message(json_t *root, struct agent_psd *psd, bool reconnect);
int enqueue_ok_resonse(const char *type, struct agent_psd *psd);
int enqueue_err_response(const char *type, struct agent_psd *psd);
int enqueue_result_rec(int res, const char *type, struct agent_psd *psd, bool reconnect);
int enqueue_result(int res, const char *type, struct agent_psd *psd);
void destroy_outgoing_message(void *data);
// Serialises and writes one message now; root stays the caller's.
int send_message(json_t *root, struct lws *wsi);
// The writable step; -1 asks the library to close the connection.
int process_outgoing_packets(struct agent_vhd *vhd, struct agent_psd *psd);

// Incoming reassembly.
void inc_msg_reset(struct agent_psd *psd);
int inc_msg_append_fragment(const void *frgm, size_t len, struct agent_psd *psd);
// One received fragment: reassembles and, after the last one, processes the
// message. -1 when the connection must be closed.
int receive_fragment(struct agent_vhd *vhd, struct agent_psd *psd, const void *in, size_t len,
                     bool first, bool last);

// Dispatch: one table of the server's message types, each with its handler
// and what the agent answers.
enum dispatch_reply {
    // {"type", "ok"} with the handler's result (0 ok, -1 not).
    DISPATCH_REPLY_RESULT,
    // {"type", "ok": false} when the handler failed; on success the handler
    // has sent the answer itself.
    DISPATCH_REPLY_ON_FAILURE,
    // No answer; a handler's -1 closes the connection.
    DISPATCH_REPLY_NONE,
    // As RESULT; a handler's 1 (settings rewritten) also makes the connection
    // again once the answer is sent.
    DISPATCH_REPLY_RECONNECT,
};
struct dispatch_message {
    json_t *root;
    json_t *ok; // the message's "ok", or null
    struct agent_vhd *vhd;
    struct agent_psd *psd;
};
struct dispatch_entry {
    const char *type;
    int (*handler)(const struct dispatch_message *m);
    enum dispatch_reply reply;
};
// The table and its number of entries.
const struct dispatch_entry *dispatch_entries(size_t *count);

int process_incomming_packets(struct agent_vhd *vhd, struct agent_psd *psd);
int process_message(const char *type, json_t *ok, json_t *root, struct agent_vhd *vhd,
                    struct agent_psd *psd);
