#include "miner/l3plus/config.h"

#include <cassert>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mbedtls/md5.h>
#include <string>

#include "handlers.h"
#include "log.h"
#include "miner/config.h"
#include "miner/l3plus/support.h"
#include "paths.h"
#include "protocol.h"
#include "util.h"

const int CHAIN_IDS[CHAIN_COUNT] = {1, 2, 3, 4};

bool verify_chain_id(int id)
{
    for (int chain : CHAIN_IDS) {
        if (chain == id)
            return true;
    }
    return false;
}

int *chain_freq_field(struct miner_config *cfg, int chain)
{
    assert(verify_chain_id(chain));
    int *fields[] = {&cfg->bitmain_freq1, &cfg->bitmain_freq2, &cfg->bitmain_freq3,
                     &cfg->bitmain_freq4};
    return fields[chain - 1];
}

int *chain_volt_field(struct miner_config *cfg, int chain)
{
    assert(verify_chain_id(chain));
    int *fields[] = {&cfg->bitmain_voltage1, &cfg->bitmain_voltage2, &cfg->bitmain_voltage3,
                     &cfg->bitmain_voltage4};
    return fields[chain - 1];
}

int *chain_chip_freqs(struct miner_config *cfg, int chain)
{
    assert(verify_chain_id(chain));
    int *chips[] = {cfg->chain1_chip_freqs, cfg->chain2_chip_freqs, cfg->chain3_chip_freqs,
                    cfg->chain4_chip_freqs};
    return chips[chain - 1];
}

// A decimal text member, or its default when absent.
static int text_or(const char *text, const char *fallback)
{
    return config_text_to_int(text ? text : fallback);
}

static void parse_fans(json_t *json, struct miner_config *cfg)
{
    int ctrl = 0, silent = 0;
    const char *pwm = nullptr, *rpm_off = nullptr, *target = nullptr;
    json_error_t err;
    if (json_unpack_ex(json, &err, 0, "{s?b,s?s,s?s,s?b,s?s}", "bitmain-fan-ctrl", &ctrl,
                       "bitmain-fan-pwm", &pwm, "bitmain-fan-rpm-off", &rpm_off,
                       "bitmain-silentstart", &silent, "bitmain-target-temp", &target) != 0) {
        LOG_ERROR("Failed to parse fan settings - %s", err.text);
        log_msg(LOG_LEVEL_INFO, "Resetting fan settings to defaults");
        cfg->bitmain_fan_ctrl = false;
        cfg->bitmain_fan_rpm_off = false;
        cfg->bitmain_silentstart = false;
        cfg->bitmain_fan_pwm = 0;
        cfg->bitmain_target_temp = 0;
        return;
    }
    cfg->bitmain_fan_ctrl = ctrl != 0;
    cfg->bitmain_silentstart = silent != 0;
    cfg->bitmain_fan_pwm = text_or(pwm, "0");
    if (cfg->bitmain_fan_pwm > 100)
        cfg->bitmain_fan_pwm = 100;
    cfg->bitmain_fan_rpm_off = rpm_off && strcmp(rpm_off, "1") == 0;
    cfg->bitmain_target_temp = text_or(target, "0");
    if (cfg->bitmain_target_temp < 0)
        cfg->bitmain_target_temp = 0;
    if (cfg->bitmain_target_temp == 0)
        cfg->bitmain_target_temp = 65;
}

int parse_per_chain_freq_and_volt_settings(json_t *root, struct miner_config *cfg)
{
    const char *f[CHAIN_COUNT] = {}, *v[CHAIN_COUNT] = {};
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{s?s,s?s,s?s,s?s,s?s,s?s,s?s,s?s}", "bitmain-freq1", &f[0],
                       "bitmain-freq2", &f[1], "bitmain-freq3", &f[2], "bitmain-freq4", &f[3],
                       "bitmain-voltage1", &v[0], "bitmain-voltage2", &v[1], "bitmain-voltage3",
                       &v[2], "bitmain-voltage4", &v[3]) != 0) {
        LOG_ERROR("Failed to parse chain freq and volt settings - %s", err.text);
        return -1;
    }
    for (int i = 0; i < CHAIN_COUNT; i++) {
        *chain_freq_field(cfg, CHAIN_IDS[i]) = text_or(f[i], "0");
        *chain_volt_field(cfg, CHAIN_IDS[i]) = text_or(v[i], "0");
    }
    return 0;
}

static int parse_freq_and_volt(json_t *json, struct miner_config *cfg)
{
    const char *freq = nullptr, *volt = nullptr;
    json_error_t err;
    if (json_unpack_ex(json, &err, 0, "{s?s,s?s}", "bitmain-freq", &freq, "bitmain-voltage",
                       &volt) != 0) {
        LOG_ERROR("Failed to parse global freq and volt settings - %s", err.text);
        return -1;
    }
    cfg->bitmain_freq = text_or(freq, "384");
    cfg->bitmain_voltage = text_or(volt, "8");
    return parse_per_chain_freq_and_volt_settings(json, cfg);
}

static int parse_autotune(json_t *json, struct miner_config *cfg)
{
    const char *profile = nullptr, *timer = nullptr, *hw = nullptr, *prec = nullptr, *min = nullptr,
               *step = nullptr, *after = nullptr;
    int on = 0, watch = 0, watchtimer = 0, reboot = 0;
    if (json_unpack(json, "{s?s,s?b,s?b,s?b,s?s,s?s,s?s,s?s,s?s,s?s,s?b}",
                    "bitmain-autodownscale-profile", &profile, "bitmain-autodownscale", &on,
                    "bitmain-autodownscale-watch", &watch, "bitmain-autodownscale-watchtimer",
                    &watchtimer, "bitmain-autodownscale-timer", &timer, "bitmain-autodownscale-hw",
                    &hw, "bitmain-autodownscale-prec", &prec, "bitmain-autodownscale-min", &min,
                    "bitmain-autodownscale-step", &step, "bitmain-autodownscale-after", &after,
                    "bitmain-autodownscale-reboot", &reboot) != 0) {
        LOG_ERROR("Failed to parse autotune settings");
        return -1;
    }
    cfg->bitmain_autodownscale_profile = text_or(profile, "0");
    cfg->bitmain_autodownscale = on != 0;
    cfg->bitmain_autodownscale_watch = watch != 0;
    cfg->bitmain_autodownscale_watchtimer = watchtimer != 0;
    cfg->bitmain_autodownscale_timer = text_or(timer, "0");
    cfg->bitmain_autodownscale_hw = text_or(hw, "0");
    cfg->bitmain_autodownscale_prec = text_or(prec, "75");
    if (cfg->bitmain_autodownscale_prec > 100)
        cfg->bitmain_autodownscale_prec = 100;
    cfg->bitmain_autodownscale_min = text_or(min, "400");
    cfg->bitmain_autodownscale_step = text_or(step, "2");
    cfg->bitmain_autodownscale_after = text_or(after, "2");
    cfg->bitmain_autodownscale_reboot = reboot != 0;
    return 0;
}

int parse_chip_freqs(json_t *root, struct miner_config *cfg)
{
    const char *list = nullptr;
    if (json_unpack(root, "{s?s}", "bitmain-chip-freq", &list) != 0) {
        LOG_ERROR("Failed to parse chip frequencies");
        return -1;
    }
    for (int chain : CHAIN_IDS)
        memset(chain_chip_freqs(cfg, chain), 0, sizeof(int) * CHIPS_PER_CHAIN);
    if (!list)
        return 0;
    // The whole list counts: 288 three-digit values are longer than a kilobyte.
    int k = 0;
    for (const char *p = list; *p && k < CHAIN_COUNT * CHIPS_PER_CHAIN;) {
        if (*p == ':') {
            p++;
            continue;
        }
        const char *end = strchr(p, ':');
        std::string token = end ? std::string(p, end) : std::string(p);
        int chain = CHAIN_IDS[k / CHIPS_PER_CHAIN];
        chain_chip_freqs(cfg, chain)[k % CHIPS_PER_CHAIN] =
            static_cast<int>(static_cast<unsigned>(config_text_to_int(token.c_str())) & 0xffff);
        k++;
        if (!end)
            break;
        p = end + 1;
    }
    return 0;
}

static int parse_watchdog(json_t *json, struct miner_config *cfg)
{
    const char *minhr = nullptr, *maxx = nullptr, *tempoff = nullptr, *trigger = nullptr;
    if (json_unpack(json, "{s?s,s?s,s?s,s?s}", "bitmain-minhr", &minhr, "bitmain-maxx", &maxx,
                    "bitmain-tempoff", &tempoff, "bitmain-trigger-reboot", &trigger) != 0) {
        LOG_ERROR("Failed to parse watchdog settings");
        return -1;
    }
    cfg->bitmain_minhr = text_or(minhr, "0");
    cfg->bitmain_maxx = text_or(maxx, "0");
    cfg->bitmain_tempoff = text_or(tempoff, "0");
    cfg->bitmain_trigger_reboot = text_or(trigger, "0");
    return 0;
}

static int parse_misc(json_t *json, struct miner_config *cfg)
{
    int altdf = 0;
    if (json_unpack(json, "{s?b}", "altdf", &altdf) != 0) {
        LOG_ERROR("Failed to parse misc settings");
        return -1;
    }
    cfg->altdfno = altdf != 0;
    return 0;
}

int parse_miner_config(json_t *json, struct miner_config *cfg)
{
    assert(json && cfg);
    if (!json_is_object(json)) {
        LOG_ERROR("Root element must be an object");
        return -1;
    }
    parse_fans(json, cfg);
    if (parse_freq_and_volt(json, cfg) != 0 || parse_autotune(json, cfg) != 0 ||
        parse_chip_freqs(json, cfg) != 0 || parse_watchdog(json, cfg) != 0 ||
        parse_misc(json, cfg) != 0)
        return -1;
    return 0;
}

static void set_int_text(json_t *json, const char *key, int value)
{
    char buf[16];
    snprintf(buf, sizeof(buf), "%d", value);
    json_object_set_new(json, key, json_string(buf));
}

static int build_fans(json_t *json, struct miner_config *cfg)
{
    if (!json) {
        LOG_ERROR("Failed to build fan settings object");
        return -1;
    }
    json_object_set_new(json, "bitmain-fan-rpm-off",
                        json_string(cfg->bitmain_fan_rpm_off ? "1" : "0"));
    set_int_text(json, "bitmain-fan-pwm", cfg->bitmain_fan_pwm);
    json_object_set_new(json, "bitmain-fan-ctrl", json_boolean(cfg->bitmain_fan_ctrl));
    json_object_set_new(json, "bitmain-silentstart", json_boolean(cfg->bitmain_silentstart));
    if (cfg->bitmain_target_temp > 0)
        set_int_text(json, "bitmain-target-temp", cfg->bitmain_target_temp);
    return 0;
}

static void build_freq_and_volt(json_t *json, struct miner_config *cfg)
{
    set_int_text(json, "bitmain-freq", cfg->bitmain_freq);
    set_int_text(json, "bitmain-voltage", cfg->bitmain_voltage);
    char key[32];
    for (int chain : CHAIN_IDS) {
        snprintf(key, sizeof(key), "bitmain-freq%d", chain);
        set_int_text(json, key, *chain_freq_field(cfg, chain));
    }
    for (int chain : CHAIN_IDS) {
        snprintf(key, sizeof(key), "bitmain-voltage%d", chain);
        set_int_text(json, key, *chain_volt_field(cfg, chain));
    }
}

static void build_autotune(json_t *json, struct miner_config *cfg)
{
    set_int_text(json, "bitmain-autodownscale-profile", cfg->bitmain_autodownscale_profile);
    set_int_text(json, "bitmain-autodownscale-timer", cfg->bitmain_autodownscale_timer);
    set_int_text(json, "bitmain-autodownscale-hw", cfg->bitmain_autodownscale_hw);
    set_int_text(json, "bitmain-autodownscale-prec", cfg->bitmain_autodownscale_prec);
    set_int_text(json, "bitmain-autodownscale-min", cfg->bitmain_autodownscale_min);
    set_int_text(json, "bitmain-autodownscale-step", cfg->bitmain_autodownscale_step);
    set_int_text(json, "bitmain-autodownscale-after", cfg->bitmain_autodownscale_after);
    json_object_set_new(json, "bitmain-autodownscale", json_boolean(cfg->bitmain_autodownscale));
    json_object_set_new(json, "bitmain-autodownscale-watch",
                        json_boolean(cfg->bitmain_autodownscale_watch));
    json_object_set_new(json, "bitmain-autodownscale-watchtimer",
                        json_boolean(cfg->bitmain_autodownscale_watchtimer));
    json_object_set_new(json, "bitmain-autodownscale-reboot",
                        json_boolean(cfg->bitmain_autodownscale_reboot));
}

static void build_chip_freqs(json_t *json, struct miner_config *cfg)
{
    std::string list;
    list.reserve(CHAIN_COUNT * CHIPS_PER_CHAIN * 4);
    for (int chain : CHAIN_IDS) {
        const int *chips = chain_chip_freqs(cfg, chain);
        for (int i = 0; i < CHIPS_PER_CHAIN; i++) {
            if (!list.empty())
                list += ':';
            list += std::to_string(chips[i]);
        }
    }
    json_object_set_new(json, "bitmain-chip-freq", json_string(list.c_str()));
}

static void build_watchdog(json_t *json, struct miner_config *cfg)
{
    set_int_text(json, "bitmain-minhr", cfg->bitmain_minhr);
    set_int_text(json, "bitmain-maxx", cfg->bitmain_maxx);
    set_int_text(json, "bitmain-trigger-reboot", cfg->bitmain_trigger_reboot);
    set_int_text(json, "bitmain-tempoff", cfg->bitmain_tempoff);
}

int build_miner_config(json_t *json, struct miner_config *cfg)
{
    assert(cfg);
    if (build_fans(json, cfg) != 0) {
        LOG_ERROR("Failed to build fan settings");
        return -1;
    }
    build_freq_and_volt(json, cfg);
    build_autotune(json, cfg);
    build_chip_freqs(json, cfg);
    build_watchdog(json, cfg);
    json_object_set_new(json, "altdf", json_boolean(cfg->altdfno));
    return 0;
}

// ---------------------------------------------------------------------------
// Command sections

// The default chain settings are owed to the server after this transaction.
static bool default_chains_pending = false;

int config_fans(json_t *root)
{
    const char *mode = nullptr;
    int target_temp = 0, speed = 0, silent_start = 0;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss,s?i,s?i,s?b}", "mode", &mode, "target_temp",
                       &target_temp, "speed", &speed, "silent_start", &silent_start) != 0) {
        LOG_ERROR("Failed to parse config fans request - %s", err.text);
        return -1;
    }
    static const char *const int_keys[] = {"target_temp", "speed", nullptr};
    if (const char *key = util_json_int_overflow(root, int_keys)) {
        LOG_ERROR("Failed to parse config fans request - %s is out of range", key);
        return -1;
    }
    enum fan_modes fan_mode = strcmp(mode, "manual") == 0 ? FAN_MODE_MANUAL : FAN_MODE_AUTO;
    return cgminer_fans(fan_mode, speed, target_temp, silent_start != 0);
}

json_t *default_chain_settings(void)
{
    json_t *chains = json_array();
    for (int chain : CHAIN_IDS) {
        char id[8];
        snprintf(id, sizeof(id), "%d", chain);
        json_array_append_new(chains, json_pack("{ss,sb,sb,si,si,so*}", "id", id, "use_global_freq",
                                                1, "use_global_volt", 1, "freq", 384, "volt", 8,
                                                "chips", json_array()));
    }
    return chains;
}

void disable_per_chain_settings(void)
{
    for (int chain : CHAIN_IDS) {
        cgminer_chain_freq(static_cast<uint8_t>(chain), 0);
        cgminer_chain_volt(static_cast<uint8_t>(chain), 0.0);
        for (int chip = 1; chip <= CHIPS_PER_CHAIN; chip++)
            cgminer_chip_freq(static_cast<uint8_t>(chain), static_cast<uint8_t>(chip), 0);
    }
    default_chains_pending = true;
}

void config_reset_notices(void)
{
    default_chains_pending = false;
}

bool config_notices_pending(void)
{
    return default_chains_pending;
}

void config_send_notices(void)
{
    if (!default_chains_pending)
        return;
    default_chains_pending = false;
    json_t *msg = json_pack("{ss,so}", "type", "update_config", "chains", default_chain_settings());
    if (msg)
        agent_enqueue_message(msg);
}

// An integer of a request as the setters take it: within [0, max].
static bool in_range(int value, int max)
{
    return value >= 0 && value <= max;
}

int config_perf(json_t *root)
{
    const char *profile = "0";
    int freq = 0, volt = 0;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{s?s,si,si}", "profile", &profile, "freq", &freq, "volt",
                       &volt) != 0) {
        LOG_ERROR("Failed to prase perf req - %s", err.text);
        return -1;
    }
    static const char *const int_keys[] = {"freq", "volt", nullptr};
    if (const char *key = util_json_int_overflow(root, int_keys)) {
        LOG_ERROR("Failed to prase perf req - %s is out of range", key);
        return -1;
    }
    if (!in_range(freq, UINT16_MAX)) {
        LOG_ERROR("Failed to prase perf req - frequency %d out of range", freq);
        return -1;
    }
    int changed = 0;
    int res = cgminer_perf_profile(profile, false);
    if (res < 0)
        return -1;
    changed |= res > 0;
    res = cgminer_global_freq(static_cast<uint16_t>(freq));
    if (res < 0)
        return -1;
    changed |= res > 0;
    res = cgminer_global_volt(volt);
    if (res < 0)
        return -1;
    changed |= res > 0;
    if (profile[0] != '0')
        disable_per_chain_settings();
    return changed;
}

int config_autotuner(json_t *root)
{
    int stage1 = 0, stage2 = 0, stage3 = 0, reset_chips = 0;
    int interval = 3, step = 0, min_freq = 0, deviation = 0, test_time = 0, down_freq_hw = 0;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{sb,sb,sb,s?i,si,si,si,si,si,s?b}", "stage1", &stage1,
                       "stage2", &stage2, "stage3", &stage3, "stage3_interval", &interval,
                       "downclock_step", &step, "min_freq", &min_freq, "hashrate_deviation",
                       &deviation, "test_time", &test_time, "down_freq_hw", &down_freq_hw,
                       "reset_chips", &reset_chips) != 0) {
        LOG_ERROR("Failed to parse config autotuner request - %s", err.text);
        return -1;
    }
    static const char *const int_keys[] = {
        "stage3_interval", "downclock_step", "min_freq", "hashrate_deviation",
        "test_time",       "down_freq_hw",   nullptr};
    if (const char *key = util_json_int_overflow(root, int_keys)) {
        LOG_ERROR("Failed to parse config autotuner request - %s is out of range", key);
        return -1;
    }
    if (!in_range(min_freq, UINT16_MAX)) {
        LOG_ERROR("Failed to parse config autotuner request - min_freq %d out of range", min_freq);
        return -1;
    }
    return cgminer_autotuner(stage1 != 0, stage2 != 0, stage3 != 0, interval, step,
                             static_cast<uint16_t>(min_freq), deviation, test_time, down_freq_hw,
                             reset_chips != 0);
}

// The web interface's user and realm; the file holds the line
// "user:realm:md5(user:realm:password)" in hex.
#define WEB_USER "root"
#define WEB_REALM "antMiner Configuration"
// The longest "user:realm:password" text taken: a longer password is
// refused, never cut.
#define WEB_DIGEST_TEXT_MAX 255

int web_access_line(const char *password, std::string *line)
{
    assert(password && line);
    char text[WEB_DIGEST_TEXT_MAX + 1];
    int len = snprintf(text, sizeof(text), "%s:%s:%s", WEB_USER, WEB_REALM, password);
    if (len < 0 || static_cast<size_t>(len) >= sizeof(text))
        return -1;
    unsigned char digest[16];
    mbedtls_md5_context ctx;
    mbedtls_md5_init(&ctx);
    int res = mbedtls_md5_starts_ret(&ctx);
    if (res == 0)
        res = mbedtls_md5_update_ret(&ctx, reinterpret_cast<const unsigned char *>(text),
                                     static_cast<size_t>(len));
    if (res == 0)
        res = mbedtls_md5_finish_ret(&ctx, digest);
    mbedtls_md5_free(&ctx);
    if (res != 0) {
        LOG_ERROR("Failed to compute web password digest, code: %d", res);
        return -2;
    }
    char hex[2 * sizeof(digest) + 1];
    util_hex(digest, sizeof(digest), hex);
    *line = WEB_USER ":" WEB_REALM ":";
    *line += hex;
    return 0;
}

int agent_config_web_access(json_t *root)
{
    const char *password = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss}", "new_password", &password) != 0) {
        LOG_ERROR("Wrong set web password request: \n%s", util_json_text(root).c_str());
        return -1;
    }
    std::string line;
    int res = web_access_line(password, &line);
    if (res == -1) {
        // Cutting it would leave a password other than the one asked for.
        LOG_ERROR("Wrong set web password request: password of %zu bytes is too long "
                  "(at most %zu)",
                  strlen(password), WEB_DIGEST_TEXT_MAX - strlen(WEB_USER ":" WEB_REALM ":"));
        return -1;
    }
    if (res != 0)
        return -1;
    return save_file(PATH_HTDIGEST, line.c_str(), false);
}
