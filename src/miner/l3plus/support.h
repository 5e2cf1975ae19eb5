// The antminer-l3plus model's configuration setters, performance profiles,
// server view of the configuration and stored file layout.
#pragma once

#include <cstdint>
#include <jansson.h>
#include <string>

#include "miner/config.h"

// ---------------------------------------------------------------------------
// Setters of the open transaction's record (see miner/support.h). Each
// returns -1 refused (logged, record unchanged), 0 already as requested,
// 1 changed. Main thread.
int cgminer_chain_freq(uint8_t chain, uint16_t freq);
int cgminer_chain_volt(uint8_t chain, double volt);
int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq);
int cgminer_fans(enum fan_modes mode, int param, int target_temp, bool silent_start);
int cgminer_perf_profile(const char *profile, bool force);
int cgminer_global_freq(uint16_t freq);
int cgminer_global_volt(double volt);
int cgminer_watchdog(int min_hr, int max_xchips, int max_temp);
int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int stage3_int, int downclock_step,
                      uint16_t min_freq, int hr_dev, int test_time, int down_freq_hw,
                      bool reset_chips);
// All 288 chip frequencies to 0; sets no change flag (the caller does).
void reset_all_chips(void);

// ---------------------------------------------------------------------------
// Performance profiles: "0" ... "12"; row 0 is the fallback both ways.
struct perf_profile_name_t {
    uint8_t id;
    const char *name;
};
extern const struct perf_profile_name_t perf_profile_names[];
extern const size_t perf_profile_count;
uint8_t profile_to_profile_id(const char *profile);
const char *profile_id_to_profile(uint8_t id);

// ---------------------------------------------------------------------------
// The server's view of /config/cgminer.conf (read afresh): {"pools", "fans",
// "perf", "chains", "autotuner", "watchdog"}; refreshes miner_is_auto_tune.
// A new object, or null when the file cannot be loaded. Any thread.
json_t *cgminer_config(void);
// The same view of a loaded record (does not touch miner_is_auto_tune).
json_t *compose_config(struct miner_config *cfg);
json_t *compose_pools(struct miner_config *cfg);
json_t *compose_fans(struct miner_config *cfg);
json_t *compose_chains(struct miner_config *cfg);
json_t *compose_chips(int chain, struct miner_config *cfg);

// ---------------------------------------------------------------------------
// The stored layout of the miner configuration file: the members of
// two-space-indented JSON one per line, without indentation, " : " after the
// names of string members and ": " elsewhere. 0, or -1.
int dump_bmminer_config(json_t *root, std::string *out);

// ---------------------------------------------------------------------------
// Chip lookups. chain is one of CHAIN_IDS, chip 1-72 (asserted).

// The chip's effective frequency: its own value, else its chain's
// (bitmain-freqN), else the global one (bitmain-freq); each taken modulo
// 65536, a zero counting as unset.
uint16_t chip_freq(int chain, int chip, struct miner_config *cfg);
// The chip has a frequency of its own (above 0).
bool chip_custom_freq(int chain, int chip, struct miner_config *cfg);
// The chip's hash rate in the miner's chip dump: chains is the "chiphr"
// array, one object per chain in CHAIN_IDS order with "Asic00" ... "Asic71"
// texts, read as decimal numbers only (leading_decimal: "0x10" is 0.0). 0.0
// when anything is missing, not of its type, or not a finite number.
double chip_hashrate(int chain, int chip, json_t *chains);
