// Handlers of the server's messages. Main thread (called by dispatch).
#pragma once

#include <jansson.h>

struct agent_vhd;
struct agent_psd;

// The server's answer to the authentication request. 0, or the result of the
// registration upload; -1 when the login was refused.
int agent_auth(json_t *root, json_t *ok, struct agent_vhd *vhd, struct agent_psd *psd);
// The server's acknowledgement of a configuration upload. Always 0.
int agent_update_config(json_t *root, json_t *ok);

// A registration upload is waiting for the server's acknowledgement.
bool agent_registration_pending(void);
