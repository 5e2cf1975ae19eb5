// The miner's JSON API: one request per connection, one JSON answer, then the
// miner closes. Calls are serialised: one connection at a time, process-wide.
#pragma once

#include <jansson.h>

// Replaces the endpoint (default 127.0.0.1:4028). Ignored for a null host or a
// port of 0 or below. Any thread.
void api_set_addr(const char *host, int port);

// Sends request (borrowed) and parses the answer into *response (a new
// reference for the caller). 0, or -1 with *response null. Any thread; the
// whole call (connect, send and receive) is bounded by API_CALL_TIMEOUT_MS.
int api_call(json_t *request, json_t **response);
// api_call with the request {"command": command}.
int api_call_cmd(const char *command, json_t **response);

// Whether a connection to the endpoint can be opened right now. Any thread.
bool api_is_alive(void);

void close_api_conn(int sock);

// Upper bound of one call, and of the largest answer taken.
#define API_CALL_TIMEOUT_MS 5000
#define API_MAX_RESPONSE (8 * 1024 * 1024)
