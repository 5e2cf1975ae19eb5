// The miner configuration file /config/cgminer.conf: the in-memory model, the
// loader and the merging store. The model's own keys are read and written by
// miner/l3plus/config.
#pragma once

#include <cstddef>

#include "miner/l3plus/config.h"

#define MINER_POOLS_MAX 3
// The longest pool texts kept, in bytes. A pool command with a longer text is
// refused, never cut: a cut worker name mines for somebody else's account.
#define POOL_URL_MAX 511
#define POOL_WORKER_MAX 255
#define POOL_PASSWD_MAX 255

// Always zero-filled before strings are copied in, so that two records can be
// compared byte for byte.
struct pool_config {
    char url[POOL_URL_MAX + 1];
    char worker[POOL_WORKER_MAX + 1];
    char passwd[POOL_PASSWD_MAX + 1];
};

enum fan_modes {
    FAN_MODE_AUTO = 0,      // "bitmain-fan-ctrl" false, speed by "bitmain-target-temp"
    FAN_MODE_MANUAL = 1,    // "bitmain-fan-ctrl" true, speed "bitmain-fan-pwm"
    FAN_MODE_IMMERSION = 2, // not represented in the file
};

struct miner_config {
    struct pool_config pools[MINER_POOLS_MAX];
    size_t pool_count;
    // A pool setter changed the pools: only then does a store write the
    // file's "pools" array (otherwise it stays exactly as the file has it).
    bool pools_changed;
    bool bitmain_fan_ctrl;
    int bitmain_fan_pwm;
    int bitmain_target_temp;
    bool bitmain_fan_rpm_off;
    bool bitmain_silentstart;
    int bitmain_freq;
    int bitmain_voltage;
    int bitmain_freq1;
    int bitmain_freq2;
    int bitmain_freq3;
    int bitmain_freq4;
    int bitmain_voltage1;
    int bitmain_voltage2;
    int bitmain_voltage3;
    int bitmain_voltage4;
    int chain1_chip_freqs[CHIPS_PER_CHAIN];
    int chain2_chip_freqs[CHIPS_PER_CHAIN];
    int chain3_chip_freqs[CHIPS_PER_CHAIN];
    int chain4_chip_freqs[CHIPS_PER_CHAIN];
    int bitmain_autodownscale_profile;
    bool bitmain_autodownscale;
    bool bitmain_autodownscale_watch;
    bool bitmain_autodownscale_watchtimer;
    int bitmain_autodownscale_timer;
    int bitmain_autodownscale_hw;
    int bitmain_autodownscale_prec;
    int bitmain_autodownscale_min;
    int bitmain_autodownscale_step;
    int bitmain_autodownscale_after;
    bool bitmain_autodownscale_reboot;
    int bitmain_minhr;
    int bitmain_maxx;
    int bitmain_tempoff;
    int bitmain_trigger_reboot;
    bool altdfno;
};

// Reads the file into cfg (zeroed first; partly filled on failure). 0, or -1.
// Pool texts longer than the record holds are cut at a character boundary
// (the file keeps them whole unless the pools are changed). Any thread.
int miner_load_config(const char *path, struct miner_config *cfg);
// Merges cfg into the existing file and replaces it atomically; the members
// the model does not know keep their values. The file's "pools" array is
// left as it is unless cfg->pools_changed: then the record's pools replace
// its first three elements and the elements after them stay. When the text
// to store is the file's text already, nothing is written. 0, or -1 (the
// file is then as it was); *written (optional) tells whether the file was
// replaced. Any thread.
int miner_update_config(const char *path, struct miner_config *cfg, bool *written = nullptr);

// The fallback of the per-chain values: local when above 0, else global.
int chain_chip_freq(int local, int global);
double chain_volt(int local, int global);

// A decimal number in a text: leading blanks, one sign, digits up to the
// first other character; 0 without digits; clamped to the int range.
int config_text_to_int(const char *text);
