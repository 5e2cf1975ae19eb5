#include "miner/l3plus/support.h"

#include <cassert>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "log.h"
#include "miner/support.h"
#include "owners.h"
#include "paths.h"

const struct perf_profile_name_t perf_profile_names[] = {
    {0, "0"}, {1, "1"}, {2, "2"}, {3, "3"},   {4, "4"},   {5, "5"},   {6, "6"},
    {7, "7"}, {8, "8"}, {9, "9"}, {10, "10"}, {11, "11"}, {12, "12"},
};
const size_t perf_profile_count = sizeof(perf_profile_names) / sizeof(perf_profile_names[0]);

uint8_t profile_to_profile_id(const char *profile)
{
    assert(profile);
    for (size_t i = 0; i < perf_profile_count; i++) {
        if (strcmp(perf_profile_names[i].name, profile) == 0)
            return perf_profile_names[i].id;
    }
    return perf_profile_names[0].id;
}

const char *profile_id_to_profile(uint8_t id)
{
    for (size_t i = 0; i < perf_profile_count; i++) {
        if (perf_profile_names[i].id == id)
            return perf_profile_names[i].name;
    }
    return perf_profile_names[0].name;
}

// ---------------------------------------------------------------------------
// Setters

static bool config_loaded(void)
{
    if (!miner_config_loaded) {
        LOG_ERROR("Miner config is not loaded!");
        return false;
    }
    return true;
}

static bool valid_chain(int chain)
{
    if (!verify_chain_id(chain)) {
        LOG_ERROR("Invalid chain id: %d", chain);
        return false;
    }
    return true;
}

// Sets *field to value when it differs; 1 when it did, else 0.
static int update_int(int *field, int value)
{
    if (*field == value)
        return 0;
    *field = value;
    miner_config_changed = true;
    return 1;
}

// A voltage: compared as a real, stored truncated toward zero. One that the
// field cannot hold (out of the int range) is refused.
static int update_volt(int *field, double volt)
{
    if (static_cast<double>(*field) == volt)
        return 0;
    if (!(volt > static_cast<double>(INT_MIN) - 1.0 && volt < static_cast<double>(INT_MAX) + 1.0)) {
        LOG_ERROR("Voltage %g is out of range", volt);
        return -1;
    }
    *field = static_cast<int>(volt);
    miner_config_changed = true;
    return 1;
}

int cgminer_chain_freq(uint8_t chain, uint16_t freq)
{
    if (!config_loaded() || !valid_chain(chain))
        return -1;
    return update_int(chain_freq_field(&miner_config, chain), freq);
}

int cgminer_chain_volt(uint8_t chain, double volt)
{
    if (!config_loaded() || !valid_chain(chain))
        return -1;
    return update_volt(chain_volt_field(&miner_config, chain), volt);
}

int cgminer_chip_freq(uint8_t chain, uint8_t chip, uint16_t freq)
{
    if (!config_loaded() || !valid_chain(chain))
        return -1;
    if (chip == 0 || chip > CHIPS_PER_CHAIN) {
        LOG_ERROR("Invalid chip %d, it should be between 1 and %d", chip, CHIPS_PER_CHAIN);
        return -1;
    }
    return update_int(&chain_chip_freqs(&miner_config, chain)[chip - 1], freq);
}

int cgminer_fans(enum fan_modes mode, int param, int target_temp, bool silent_start)
{
    if (!config_loaded())
        return -1;
    struct miner_config *c = &miner_config;
    switch (mode) {
    case FAN_MODE_AUTO:
        if (!c->bitmain_fan_ctrl && c->bitmain_target_temp == target_temp &&
            c->bitmain_silentstart == silent_start)
            return 0;
        c->bitmain_silentstart = silent_start;
        c->bitmain_target_temp = target_temp;
        c->bitmain_fan_ctrl = false;
        break;
    case FAN_MODE_MANUAL:
        if (c->bitmain_fan_ctrl && c->bitmain_fan_pwm == param &&
            c->bitmain_silentstart == silent_start)
            return 0;
        c->bitmain_silentstart = silent_start;
        c->bitmain_fan_ctrl = true;
        // Fans never turn slower than a fifth of full speed.
        c->bitmain_fan_pwm = param < 20 ? 20 : param;
        break;
    default:
        return 0;
    }
    miner_config_changed = true;
    return 1;
}

int cgminer_perf_profile(const char *profile, bool force)
{
    (void)force;
    uint8_t id = profile_to_profile_id(profile);
    if (!config_loaded())
        return -1;
    return update_int(&miner_config.bitmain_autodownscale_profile, id);
}

int cgminer_global_freq(uint16_t freq)
{
    if (!config_loaded())
        return -1;
    return update_int(&miner_config.bitmain_freq, freq);
}

int cgminer_global_volt(double volt)
{
    if (!config_loaded())
        return -1;
    return update_volt(&miner_config.bitmain_voltage, volt);
}

int cgminer_watchdog(int min_hr, int max_xchips, int max_temp)
{
    if (!config_loaded())
        return -1;
    int res = update_int(&miner_config.bitmain_minhr, min_hr);
    res |= update_int(&miner_config.bitmain_maxx, max_xchips);
    res |= update_int(&miner_config.bitmain_tempoff, max_temp);
    return res;
}

static int update_bool(bool *field, bool value)
{
    if (*field == value)
        return 0;
    *field = value;
    miner_config_changed = true;
    return 1;
}

void reset_all_chips(void)
{
    for (int chain : CHAIN_IDS)
        memset(chain_chip_freqs(&miner_config, chain), 0, sizeof(int) * CHIPS_PER_CHAIN);
}

int cgminer_autotuner(bool stage1, bool stage2, bool stage3, int stage3_int, int downclock_step,
                      uint16_t min_freq, int hr_dev, int test_time, int down_freq_hw,
                      bool reset_chips)
{
    if (!config_loaded())
        return -1;
    struct miner_config *c = &miner_config;
    int res = update_bool(&c->bitmain_autodownscale, stage1);
    res |= update_bool(&c->bitmain_autodownscale_watch, stage2);
    res |= update_bool(&c->bitmain_autodownscale_watchtimer, stage3);
    res |= update_int(&c->bitmain_autodownscale_timer, stage3 ? stage3_int : 0);
    res |= update_int(&c->bitmain_autodownscale_step, downclock_step);
    res |= update_int(&c->bitmain_autodownscale_min, min_freq);
    res |= update_int(&c->bitmain_autodownscale_prec, hr_dev);
    res |= update_int(&c->bitmain_autodownscale_after, test_time);
    res |= update_int(&c->bitmain_autodownscale_hw, down_freq_hw);
    if (reset_chips) {
        reset_all_chips();
        miner_config_changed = true;
        res = 1;
    }
    return res;
}

// ---------------------------------------------------------------------------
// Server view

static json_t *compose_pool(struct pool_config *pc)
{
    return json_pack("{ss,ss,ss}", "stratum_url", pc->url, "worker", pc->worker, "password",
                     pc->passwd);
}

json_t *compose_pools(struct miner_config *cfg)
{
    assert(cfg);
    static const char *const names[MINER_POOLS_MAX] = {"main", "reserved", "reserved2"};
    json_t *pools = json_object();
    for (size_t i = 0; i < cfg->pool_count && i < MINER_POOLS_MAX; i++) {
        json_t *pool = compose_pool(&cfg->pools[i]);
        if (pool)
            json_object_set_new(pools, names[i], pool);
    }
    return pools;
}

json_t *compose_fans(struct miner_config *cfg)
{
    assert(cfg);
    return json_pack("{ss,si,sb,si}", "mode", cfg->bitmain_fan_ctrl ? "manual" : "auto", "speed",
                     cfg->bitmain_fan_pwm, "silent_start", cfg->bitmain_silentstart, "target_temp",
                     cfg->bitmain_target_temp);
}

static json_t *compose_perf(struct miner_config *cfg)
{
    uint8_t id = static_cast<uint8_t>(cfg->bitmain_autodownscale_profile & 0xff);
    return json_pack("{ss,si,si}", "profile", profile_id_to_profile(id), "freq", cfg->bitmain_freq,
                     "volt", cfg->bitmain_voltage);
}

static json_t *compose_chip_settings(int chip, uint16_t freq)
{
    char id[8];
    snprintf(id, sizeof(id), "%d", chip);
    return json_pack("{ss,si}", "id", id, "freq", freq);
}

json_t *compose_chips(int chain, struct miner_config *cfg)
{
    if (!cfg)
        return nullptr;
    if (!verify_chain_id(chain)) {
        LOG_ERROR("Chain %d is out of range, it should be between [1, 4]", chain);
        return nullptr;
    }
    json_t *chips = json_array();
    const int *freqs = chain_chip_freqs(cfg, chain);
    for (int chip = 1; chip <= CHIPS_PER_CHAIN; chip++) {
        if (freqs[chip - 1] > 0)
            json_array_append_new(
                chips, compose_chip_settings(chip, static_cast<uint16_t>(freqs[chip - 1])));
    }
    return chips;
}

json_t *compose_chains(struct miner_config *cfg)
{
    if (!cfg)
        return nullptr;
    json_t *chains = json_array();
    for (int chain : CHAIN_IDS) {
        char id[8];
        snprintf(id, sizeof(id), "%d", chain);
        int freq = *chain_freq_field(cfg, chain);
        int volt = *chain_volt_field(cfg, chain);
        json_array_append_new(chains, json_pack("{ss,sb,sb,si,sf,so*}", "id", id, "use_global_freq",
                                                freq == 0, "use_global_volt", volt == 0, "freq",
                                                chain_chip_freq(freq, cfg->bitmain_freq), "volt",
                                                chain_volt(volt, cfg->bitmain_voltage), "chips",
                                                compose_chips(chain, cfg)));
    }
    return chains;
}

static json_t *compose_autotuner(struct miner_config *cfg)
{
    return json_pack(
        "{sb,sb,sb,si,si,si,si,si,si}", "stage1", cfg->bitmain_autodownscale, "stage2",
        cfg->bitmain_autodownscale_watch, "stage3", cfg->bitmain_autodownscale_watchtimer,
        "stage3_interval", cfg->bitmain_autodownscale_timer, "downclock_step",
        cfg->bitmain_autodownscale_step, "min_freq", cfg->bitmain_autodownscale_min,
        "hashrate_deviation", cfg->bitmain_autodownscale_prec, "test_time",
        cfg->bitmain_autodownscale_after, "down_freq_hw", cfg->bitmain_autodownscale_hw);
}

// A limit of 0 is "not set": null.
static json_t *limit(int value)
{
    return value ? json_integer(value) : json_null();
}

static json_t *compose_watchdog(struct miner_config *cfg)
{
    return json_pack("{so,so,so}", "min_hr", limit(cfg->bitmain_minhr), "max_xchips",
                     limit(cfg->bitmain_maxx), "max_temp", limit(cfg->bitmain_tempoff));
}

json_t *compose_config(struct miner_config *cfg)
{
    assert(cfg);
    return json_pack("{so*,so*,so*,so*,so*,so*}", "pools", compose_pools(cfg), "fans",
                     compose_fans(cfg), "perf", compose_perf(cfg), "chains", compose_chains(cfg),
                     "autotuner", compose_autotuner(cfg), "watchdog", compose_watchdog(cfg));
}

json_t *cgminer_config(void)
{
    std::unique_ptr<struct miner_config> cfg(new struct miner_config());
    if (miner_load_config(PATH_MINER_CONFIG, cfg.get()) != 0) {
        LOG_ERROR("Failed to load miner config %s", PATH_MINER_CONFIG);
        return nullptr;
    }
    miner_is_auto_tune = cfg->bitmain_autodownscale || cfg->bitmain_autodownscale_watch;
    return compose_config(cfg.get());
}

// ---------------------------------------------------------------------------
// Stored layout

static int dump_value(json_t *value, std::string *out)
{
    if (json_is_object(value)) {
        if (json_object_size(value) == 0) {
            *out += "{}";
            return 0;
        }
        *out += "{\n";
        size_t left = json_object_size(value);
        const char *key;
        json_t *member;
        json_object_foreach(value, key, member)
        {
            json_ptr name(json_string(key));
            text_ptr quoted(name ? json_dumps(name.get(), JSON_ENCODE_ANY) : nullptr);
            if (!quoted)
                return -1;
            *out += quoted.get();
            *out += json_is_string(member) ? " : " : ": ";
            if (dump_value(member, out) != 0)
                return -1;
            *out += --left ? ",\n" : "\n";
        }
        *out += "}";
        return 0;
    }
    if (json_is_array(value)) {
        if (json_array_size(value) == 0) {
            *out += "[]";
            return 0;
        }
        *out += "[\n";
        size_t n = json_array_size(value);
        for (size_t i = 0; i < n; i++) {
            if (dump_value(json_array_get(value, i), out) != 0)
                return -1;
            *out += i + 1 < n ? ",\n" : "\n";
        }
        *out += "]";
        return 0;
    }
    text_ptr text(json_dumps(value, JSON_ENCODE_ANY));
    if (!text)
        return -1;
    *out += text.get();
    return 0;
}

int dump_bmminer_config(json_t *root, std::string *out)
{
    assert(root && out);
    out->clear();
    return dump_value(root, out);
}

// ---------------------------------------------------------------------------
// Chip lookups

uint16_t chip_freq(int chain, int chip, struct miner_config *cfg)
{
    assert(verify_chain_id(chain));
    assert(chip >= 1 && chip <= 72);
    assert(cfg);
    const uint16_t own = static_cast<uint16_t>(chain_chip_freqs(cfg, chain)[chip - 1]);
    const uint16_t local = static_cast<uint16_t>(*chain_freq_field(cfg, chain));
    const uint16_t global = static_cast<uint16_t>(cfg->bitmain_freq);
    if (own != 0)
        return own;
    return local != 0 ? local : global;
}

bool chip_custom_freq(int chain, int chip, struct miner_config *cfg)
{
    assert(verify_chain_id(chain));
    assert(chip >= 1 && chip <= 72);
    assert(cfg);
    return chain_chip_freqs(cfg, chain)[chip - 1] > 0;
}

double chip_hashrate(int chain, int chip, json_t *chains)
{
    assert(verify_chain_id(chain));
    assert(chip >= 1 && chip <= 72);
    if (!json_is_array(chains))
        return 0.0;
    size_t slot = 0;
    while (slot < CHAIN_COUNT && CHAIN_IDS[slot] != chain)
        slot++;
    json_t *rates = json_array_get(chains, slot);
    if (!json_is_object(rates))
        return 0.0;
    char key[16];
    snprintf(key, sizeof(key), "Asic%02d", chip - 1);
    const char *text = json_string_value(json_object_get(rates, key));
    if (!text)
        return 0.0;
    return leading_decimal(text);
}
