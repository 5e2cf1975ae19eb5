// The antminer-l3plus model: its hash chains and chips, and its keys of the
// miner configuration file.
#pragma once

#include <jansson.h>
#include <string>

#define CHAIN_COUNT 4
#define CHIPS_PER_CHAIN 72

struct miner_config;

// The miner's chain numbers; slot k of every per-chain table belongs to
// chain CHAIN_IDS[k].
extern const int CHAIN_IDS[CHAIN_COUNT];

// Whether id is one of CHAIN_IDS.
bool verify_chain_id(int id);

// The fields of one chain (chain one of CHAIN_IDS): its frequency, its
// voltage, its 72 chip frequencies.
int *chain_freq_field(struct miner_config *cfg, int chain);
int *chain_volt_field(struct miner_config *cfg, int chain);
int *chain_chip_freqs(struct miner_config *cfg, int chain);

// Reads every model key (all but "pools") from the file's object. 0, or -1
// when a group of keys has the wrong JSON types (the fan group is reset to
// defaults instead).
int parse_miner_config(json_t *json, struct miner_config *cfg);
// Sets every model key (all but "pools" and "multi-version") in json, in the
// file's order. 0, or -1.
int build_miner_config(json_t *json, struct miner_config *cfg);
int parse_per_chain_freq_and_volt_settings(json_t *root, struct miner_config *cfg);
int parse_chip_freqs(json_t *root, struct miner_config *cfg);

// Section parsers of the configuration commands for this model's fans,
// performance profile and autotuner: -1 refused (logged), 0 unchanged,
// 1 changed. They work on the open transaction. Main thread.
int config_fans(json_t *root);
int config_perf(json_t *root);
int config_autotuner(json_t *root);

// A performance profile other than "0" returns every chain to the global
// values; the server is told (the default chain settings) once the
// transaction has been committed.
void disable_per_chain_settings(void);
json_t *default_chain_settings(void);
// Transaction hooks: forget a pending notice (begin), send it (committed).
// Whether one is owed.
void config_reset_notices(void);
bool config_notices_pending(void);
void config_send_notices(void);

// "config_web_access": the web interface password of user "root". 0, or -1.
int agent_config_web_access(json_t *root);
// The line of the web interface's digest password file for password (no
// newline): 0; -1 when the password is too long (more than 227 bytes), -2
// when the digest fails (logged).
int web_access_line(const char *password, std::string *line);
