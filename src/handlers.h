// Handlers of the server's messages. Main thread (called by dispatch).
#pragma once

#include <jansson.h>

#include "miner/support.h"

struct agent_vhd;
struct agent_psd;

// The server's answer to the authentication request. 0, or the result of the
// registration upload; -1 when the login was refused.
int agent_auth(json_t *root, json_t *ok, struct agent_vhd *vhd, struct agent_psd *psd);
// The server's acknowledgement of a configuration upload. Always 0.
int agent_update_config(json_t *root, json_t *ok);

// A registration upload is waiting for the server's acknowledgement.
bool agent_registration_pending(void);

// ---------------------------------------------------------------------------
// Configuration commands. Each entry point returns 0 or -1 (the reply's "ok");
// agent_config_network returns -1, 0 (unchanged) or 1 (rewritten, networking
// restarted). Main thread.

// A configuration transaction on /config/cgminer.conf: 0 or -1.
int begin_miner_config(void);
// Commits it: 1 written (a miner that runs, or will once the operations in
// line are done, is restarted), 0 nothing to write,
// -1 the write failed.
int end_miner_config(void);

int agent_config_pools(json_t *root);
int agent_config_chain(json_t *root);
int agent_config_watchdog(json_t *root);
int agent_config_fans(json_t *root);
int agent_config_perf(json_t *root);
int agent_config_autotuner(json_t *root);
int agent_config_network(json_t *root);
// The full configuration ("config"): network first, then the miner sections
// in one transaction. No reply.
int agent_config_all(json_t *root, json_t *ok);

// Section parsers: -1 refused (logged), 0 accepted and nothing changed,
// 1 accepted and changed (config_pools: 0 for both).
int config_pools(json_t *root);
int config_pool(int pool_idx, json_t *params);
int config_chains(json_t *root);
int config_chain(json_t *root);
int config_chips(int chain, json_t *chips);
int config_watchdog(json_t *root);
int config_network(json_t *root);

// ---------------------------------------------------------------------------
// Device commands. Main thread.

int agent_reboot_asic(json_t *root);
int agent_get_systemlogs(json_t *root);
int agent_start_mining(json_t *root);
int agent_stop_mining(json_t *root);
int agent_report_status(json_t *root);
int agent_report_chip_metrics(json_t *root);

// The parts of the "chip_metrics" message: the state's name ("fast", "slow",
// "unstable", "unknown" for anything else); one chip {"id", "hr" (hash rate
// / 1000), "freq", "state"[, "custom_freq": true]}; a chain {"chain_id",
// "chips"}. New values, or null when they cannot be built.
const char *chip_state_name(enum kv_chip_state_t state);
json_t *serialize_chip_info(kv_chip_info_t *chip);
json_t *serialize_chip_metrics(kv_chip_metrics_t *metrics);

// Writes data as the whole content of path, atomically (util_save_file).
// With must_exist, a missing file is left missing (0). 0, or -1.
int save_file(const char *path, const char *data, bool must_exist);
