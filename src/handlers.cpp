#include "handlers.h"

#include <arpa/inet.h>
#include <cassert>
#include <unistd.h>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "agent.h"
#include "log.h"
#include "miner/config.h"
#include "miner/l3plus/config.h"
#include "miner/l3plus/support.h"
#include "miner/network.h"
#include "miner/status.h"
#include "miner/support.h"
#include "owners.h"
#include "paths.h"
#include "protocol.h"
#include "shell.h"
#include "util.h"

// The server asked for a registration and has not yet acknowledged the upload.
static bool miner_registration = false;

bool agent_registration_pending(void)
{
    return miner_registration;
}

int agent_auth(json_t *root, json_t *ok, struct agent_vhd *vhd, struct agent_psd *psd)
{
    agent_conn_abort_cancel();

    if (ok != json_true()) {
        const char *message = "";
        json_unpack(root, "{s?s}", "message", &message);
        log_msg(LOG_LEVEL_WARN, "Authentication failed: \n%s", message);
        psd->auth = STATE_UNAUTHENTICATED;
        return -1;
    }

    log_msg(LOG_LEVEL_INFO, "Agent successfully authenticated");
    psd->auth = STATE_AUTHENTICATED;
    vhd->state->authenticated = true;
    // Let the writable step run on the now authenticated connection: it sends
    // what was queued before the login and restarts the back-off, even when
    // nothing else is queued after it.
    if (psd->wsi)
        lws_callback_on_writable(psd->wsi);

    // -u: the configuration goes up once, after the first login of the process.
    bool upload_requested = agent_take_upload_request();
    miner_registration = false;
    int registration = 0;
    if (json_unpack(root, "{s?b}", "registration", &registration) == 0)
        miner_registration = registration != 0;

    if (miner_registration) {
        status_disalbe_reporting();
        int res = upload_miner_config();
        if (res != 0) {
            // Nothing was uploaded, so no acknowledgement will end the registration.
            miner_registration = false;
            status_enable_reporting();
        }
        return res;
    }
    // A registration of an earlier connection may have been left unacknowledged.
    status_enable_reporting();
    status_report_now();
    if (upload_requested)
        upload_miner_config();
    return 0;
}

int agent_update_config(json_t *, json_t *ok)
{
    if (ok == json_true())
        log_msg(LOG_LEVEL_INFO, "Successfully update config on the server");
    else
        log_msg(LOG_LEVEL_INFO, "Update config failed");

    if (miner_registration) {
        status_enable_reporting();
        status_report_now();
        miner_registration = false;
    }
    return 0;
}

/* ---- configuration transaction ------------------------------------------- */

int begin_miner_config(void)
{
    config_reset_notices();
    return cgminer_config_begin_changes();
}

int end_miner_config(void)
{
    int res = cgminer_config_end_changes();
    if (res >= 0)
        config_send_notices();
    else
        config_reset_notices();
    if (res > 0 && cgminer_will_run())
        cgminer_restart();
    return res;
}

// One transaction around one section parser. A refused section abandons the
// transaction: the file and the miner stay as they were.
static int in_transaction(int (*section)(json_t *), json_t *root)
{
    if (begin_miner_config() < 0)
        return -1;
    if (section(root) < 0)
        return -1;
    return end_miner_config() < 0 ? -1 : 0;
}

/* ---- pools --------------------------------------------------------------- */

int config_pool(int pool_idx, json_t *params)
{
    const char *url = nullptr, *worker = nullptr, *password = nullptr;
    json_error_t err;
    if (json_unpack_ex(params, &err, 0, "{ss,ss,s?s}", "stratum_url", &url, "worker", &worker,
                       "password", &password) != 0) {
        LOG_ERROR("%s", err.text);
        return -1;
    }
    return cgminer_pool(pool_idx, url, worker, password);
}

int config_pools(json_t *root)
{
    static const char *const slots[] = {"main", "reserved", "reserved2"};
    if (!json_object_get(root, "main")) {
        LOG_ERROR("Pools configuration failed, at least the main pool must be specified");
        return -1;
    }
    for (int slot = 0; slot < 3; slot++) {
        json_t *pool = json_object_get(root, slots[slot]);
        if (!pool) {
            cgminer_pool(slot, "", "", "");
            continue;
        }
        if (config_pool(slot, pool) < 0) {
            LOG_ERROR("Failed to config pool[%d]", slot);
            return -1;
        }
    }
    return 0;
}

/* ---- chains and chips ---------------------------------------------------- */

int config_chips(int chain, json_t *chips)
{
    if (!json_is_array(chips)) {
        LOG_ERROR("Chips must be an array object");
        return -1;
    }
    int table[CHIPS_PER_CHAIN + 1] = {0};
    size_t i;
    json_t *entry;
    json_array_foreach(chips, i, entry)
    {
        const char *id = nullptr;
        int freq = 0;
        static const char *const int_keys[] = {"freq", nullptr};
        if (json_unpack(entry, "{ss,si}", "id", &id, "freq", &freq) != 0 ||
            util_json_int_overflow(entry, int_keys)) {
            LOG_ERROR("Chain %d: failed to parse chip settings:\n%s", chain,
                      util_json_text(entry).c_str());
            continue;
        }
        int chip = 0;
        if (util_parse_int(id, &chip) != 0) {
            LOG_ERROR("Chain %d: chip %s is out of range", chain, id);
            continue;
        }
        if (chip < 1 || chip > CHIPS_PER_CHAIN) {
            LOG_ERROR("Chain %d: chip %d is out of range", chain, chip);
            continue;
        }
        if (freq < 0 || freq > UINT16_MAX) {
            LOG_ERROR("Chain %d: chip %d frequency %d is out of range", chain, chip, freq);
            continue;
        }
        table[chip] = freq;
    }
    int changed = 0;
    for (int chip = 1; chip <= CHIPS_PER_CHAIN; chip++) {
        int res = cgminer_chip_freq(static_cast<uint8_t>(chain), static_cast<uint8_t>(chip),
                                    static_cast<uint16_t>(table[chip]));
        if (res < 0) {
            LOG_ERROR("Chain %d: failed to set frequency to chip %d", chain, chip);
            return -1;
        }
        changed |= res > 0;
    }
    return changed;
}

// A chain id of a request, read as atoi reads it: "9" and "x" are refused as
// chains 9 and 0, and a number beyond the int range is refused rather than
// wrapped into one. 0, or -1 (logged).
static int parse_chain_id(const char *id, int *chain)
{
    if (util_parse_int(id, chain) != 0) {
        LOG_ERROR("Invalid chain id: %s", id);
        return -1;
    }
    if (!verify_chain_id(*chain)) {
        LOG_ERROR("Invalid chain id: %d", *chain);
        return -1;
    }
    return 0;
}

int config_chain(json_t *root)
{
    const char *id = nullptr;
    int use_global_freq = 0, use_global_volt = 0, freq = 0;
    double volt = 0;
    json_t *chips = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss,sb,sb,si,sF,so*}", "id", &id, "use_global_freq",
                       &use_global_freq, "use_global_volt", &use_global_volt, "freq", &freq, "volt",
                       &volt, "chips", &chips) != 0) {
        LOG_ERROR("Failed to parse config chain request - %s", err.text);
        return -1;
    }
    static const char *const int_keys[] = {"freq", nullptr};
    if (const char *key = util_json_int_overflow(root, int_keys)) {
        LOG_ERROR("Failed to parse config chain request - %s is out of range", key);
        return -1;
    }
    int chain = 0;
    if (parse_chain_id(id, &chain) != 0)
        return -1;
    if (use_global_freq)
        freq = 0;
    if (use_global_volt)
        volt = 0.0;
    if (freq < 0 || freq > UINT16_MAX) {
        LOG_ERROR("Failed to parse config chain request - frequency %d out of range", freq);
        return -1;
    }
    int changed = 0;
    int res = cgminer_chain_freq(static_cast<uint8_t>(chain), static_cast<uint16_t>(freq));
    if (res < 0)
        return -1;
    changed |= res > 0;
    res = cgminer_chain_volt(static_cast<uint8_t>(chain), volt);
    if (res < 0)
        return -1;
    changed |= res > 0;
    res = config_chips(chain, chips);
    if (res < 0)
        return -1;
    changed |= res > 0;
    return changed;
}

int config_chains(json_t *root)
{
    if (!json_is_array(root)) {
        LOG_ERROR("Failed to parse chains settings, it should be an array");
        return -1;
    }
    int changed = 0;
    size_t i;
    json_t *chain;
    json_array_foreach(root, i, chain)
    {
        int res = config_chain(chain);
        if (res < 0)
            return -1;
        changed |= res > 0;
    }
    return changed;
}

/* ---- watchdog ------------------------------------------------------------ */

int config_watchdog(json_t *root)
{
    const char *min_hr = nullptr, *max_xchips = nullptr, *max_temp = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{s?s,s?s,s?s}", "min_hr", &min_hr, "max_xchips", &max_xchips,
                       "max_temp", &max_temp) != 0) {
        LOG_ERROR("Failed to parse watchdog req - %s", err.text);
        return -1;
    }
    // Absent: 0, a limit not set; a text without digits reads 0 as well.
    const struct {
        const char *key, *text;
    } fields[] = {{"min_hr", min_hr}, {"max_xchips", max_xchips}, {"max_temp", max_temp}};
    int limits[3] = {0, 0, 0};
    for (int k = 0; k < 3; k++) {
        if (fields[k].text && util_parse_int(fields[k].text, &limits[k]) != 0) {
            LOG_ERROR("Failed to parse watchdog req - %s is out of range", fields[k].key);
            return -1;
        }
    }
    return cgminer_watchdog(limits[0], limits[1], limits[2]);
}

/* ---- command entry points ------------------------------------------------ */

int agent_config_pools(json_t *root)
{
    return in_transaction(config_pools, root);
}

int agent_config_chain(json_t *root)
{
    return in_transaction(config_chain, root);
}

int agent_config_watchdog(json_t *root)
{
    return in_transaction(config_watchdog, root);
}

int agent_config_fans(json_t *root)
{
    return in_transaction(config_fans, root);
}

int agent_config_autotuner(json_t *root)
{
    return in_transaction(config_autotuner, root);
}

int agent_config_perf(json_t *root)
{
    if (begin_miner_config() < 0)
        return -1;
    json_t *perf = json_object_get(root, "perf");
    if (perf && config_perf(perf) < 0)
        return -1;
    json_t *autotuner = json_object_get(root, "autotuner");
    if (autotuner && config_autotuner(autotuner) < 0)
        return -1;
    return end_miner_config() < 0 ? -1 : 0;
}

/* ---- network ------------------------------------------------------------- */

// Host names as the device's network script can take them: letters, digits,
// '-' and '.' (a newline would add lines of its own to the file, '#' and '='
// would read back cut).
static bool valid_hostname(const char *name)
{
    for (const char *p = name; *p; p++) {
        if (!isalnum(static_cast<unsigned char>(*p)) && *p != '-' && *p != '.')
            return false;
    }
    return true;
}

static bool parse_address(const char *text, in_addr_t *addr)
{
    struct in_addr a;
    if (inet_pton(AF_INET, text, &a) != 1)
        return false;
    *addr = a.s_addr;
    return true;
}

int config_network(json_t *root)
{
    struct net_config current;
    if (net_load_config(PATH_NETWORK_CONFIG, &current) != 0) {
        LOG_ERROR("Failed to load network config");
        return -1;
    }
    const char *mode = nullptr, *ip = nullptr, *netmask = nullptr, *gateway = nullptr,
               *hostname = nullptr;
    json_t *dns = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss,s?s,s?s,s?s,s?s,s?o}", "mode", &mode, "ip", &ip,
                       "netmask", &netmask, "gateway", &gateway, "hostname", &hostname,
                       "dnsservers", &dns) != 0) {
        LOG_ERROR("Failed to parse net config request - %s", err.text);
        return -1;
    }
    if (hostname && !valid_hostname(hostname)) {
        LOG_ERROR("Failed to parse net config request - %s", hostname);
        return -1;
    }

    struct net_config cfg;
    memset(&cfg, 0, sizeof(cfg));
    // No host name, or an empty one: the device keeps the one it has.
    snprintf(cfg.hostname, sizeof(cfg.hostname), "%s",
             hostname && hostname[0] ? hostname : current.hostname);

    if (strcmp(mode, "dhcp") == 0) {
        cfg.mode = NET_MODE_DHCP;
    } else {
        cfg.mode = NET_MODE_STATIC;
        if (!ip || !netmask || !gateway || !dns || !hostname) {
            LOG_ERROR("Static network mode requires ALL parameters");
            return -1;
        }
        if (!json_is_array(dns)) {
            LOG_ERROR("dnsservers must be an array");
            return -1;
        }
        // An address that is not one would cut the device off its farm.
        for (auto [text, field] :
             {std::make_pair(ip, &cfg.ip), std::make_pair(netmask, &cfg.netmask),
              std::make_pair(gateway, &cfg.gateway)}) {
            if (!parse_address(text, field)) {
                LOG_ERROR("Failed to parse net config request - %s", text);
                return -1;
            }
        }
        for (size_t i = 0; i < json_array_size(dns) && i < NETINFO_MAX_NS; i++) {
            const char *text = json_string_value(json_array_get(dns, i));
            if (text && parse_address(text, &cfg.ns[cfg.ns_count]))
                cfg.ns_count++;
        }
        if (cfg.ns_count == 0) {
            LOG_ERROR("Failed to parse ns-servers");
            return -1;
        }
    }
    if (memcmp(&cfg, &current, sizeof(cfg)) == 0)
        return 0;
    if (net_save_config(PATH_NETWORK_CONFIG, &cfg) != 0) {
        LOG_ERROR("Failed to save network config");
        return -1;
    }
    return 1;
}

int agent_config_network(json_t *root)
{
    int res = config_network(root);
    if (res > 0)
        net_restart();
    return res;
}

/* ---- full configuration -------------------------------------------------- */

int agent_config_all(json_t *root, json_t *ok)
{
    agent_conn_abort_cancel();
    if (ok == json_false()) {
        const char *message = json_string_value(json_object_get(root, "message"));
        LOG_ERROR("Request config failed - %s", message ? message : "");
        return -1;
    }
    json_t *network = json_object_get(root, "network");
    if (network && config_network(network) < 0)
        return -1;
    if (begin_miner_config() < 0)
        return -1;
    static const struct {
        const char *key;
        int (*section)(json_t *);
    } sections[] = {
        {"pools", config_pools},   {"fans", config_fans},           {"perf", config_perf},
        {"chains", config_chains}, {"autotuner", config_autotuner}, {"watchdog", config_watchdog},
    };
    bool upload_chains = false;
    for (const auto &s : sections) {
        json_t *value = json_object_get(root, s.key);
        if (value && s.section(value) < 0)
            return -1;
        // Chains set after a profile's reset: the default-chains notice
        // would tell the server the opposite of what is stored, and without
        // it the server would not learn of the chains the section left reset.
        // The whole configuration goes up instead, once it is stored.
        if (value && s.section == config_chains && config_notices_pending()) {
            config_reset_notices();
            upload_chains = true;
        }
    }
    if (end_miner_config() < 0)
        return -1;
    if (upload_chains)
        upload_miner_config();
    return 0;
}

/* ---- device commands ----------------------------------------------------- */

int save_file(const char *path, const char *data, bool must_exist)
{
    assert(path && data);
    if (must_exist && access(path, F_OK) != 0)
        return 0;
    if (util_save_file(path, data, strlen(data)) != 0) {
        LOG_ERROR("Failed to create network config file");
        return -1;
    }
    return 0;
}

// Each reboot command runs on the service thread: a hung one is killed past
// this, so that the agent keeps serving.
#define REBOOT_SCRIPT_TIMEOUT_MS 30000

// The device's own restart: the file systems flushed first. Neither
// command's status matters: a refused reboot leaves nothing else to try.
static void hard_reboot(void)
{
    shell_run_bounded(CMD_SYNC, REBOOT_SCRIPT_TIMEOUT_MS);
    shell_run_bounded(CMD_REBOOT, REBOOT_SCRIPT_TIMEOUT_MS);
}

int agent_reboot_asic(json_t *)
{
    // Whatever the request asks for, the device only knows the hard restart.
    log_msg(LOG_LEVEL_INFO, "Rebooting asic, mode = %s", "hard");
    hard_reboot();
    return 0;
}

int agent_get_systemlogs(json_t *root)
{
    const char *request_id = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss}", "request_id", &request_id) != 0) {
        LOG_ERROR("Failed to parse get logs request:\n%s", util_json_text(root).c_str());
        return -1;
    }
    // Answered by "logs", or by the "get_logs" failure form.
    miner_send_logs(request_id);
    return 0;
}

int agent_start_mining(json_t *)
{
    return cgminer_start();
}

int agent_stop_mining(json_t *)
{
    return cgminer_stop();
}

// The status thread reports on its own schedule; nothing to do here.
int agent_report_status(json_t *)
{
    return 0;
}

const char *chip_state_name(enum kv_chip_state_t state)
{
    switch (state) {
    case CHIP_STATE_FAST:
        return "fast";
    case CHIP_STATE_SLOW:
        return "slow";
    case CHIP_STATE_UNSTABLE:
        return "unstable";
    default:
        return "unknown";
    }
}

json_t *serialize_chip_info(kv_chip_info_t *chip)
{
    assert(chip);
    char id[16];
    snprintf(id, sizeof(id), "%d", chip->chip_id);
    json_t *out = json_pack("{ss,sf,si,ss}", "id", id, "hr", chip->hash_rate / 1000.0, "freq",
                            static_cast<int>(chip->freq), "state", chip_state_name(chip->state));
    if (out && chip->custom_freq)
        json_object_set_new(out, "custom_freq", json_true());
    return out;
}

json_t *serialize_chip_metrics(kv_chip_metrics_t *metrics)
{
    assert(metrics);
    json_t *chips = json_array();
    for (int i = 0; chips && i < CHIPS_PER_CHAIN; i++) {
        json_t *chip = serialize_chip_info(&metrics->chips[i]);
        if (chip)
            json_array_append_new(chips, chip);
    }
    char id[16];
    snprintf(id, sizeof(id), "%d", metrics->chain_id);
    json_error_t err;
    // "o" takes the array even when the packing fails.
    json_t *out = json_pack_ex(&err, 0, "{ss,so}", "chain_id", id, "chips", chips);
    if (!out) {
        LOG_ERROR("Failed to serialize chip metrics - %s", err.text);
        return nullptr;
    }
    return out;
}

int agent_report_chip_metrics(json_t *root)
{
    const char *request_id = nullptr, *chain_id = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{ss,ss}", "request_id", &request_id, "chain_id",
                       &chain_id) != 0) {
        LOG_ERROR("Failed to parse chip metrics request:\n%s", util_json_text(root).c_str());
        return -1;
    }
    int chain = 0;
    if (parse_chain_id(chain_id, &chain) != 0)
        return -1;
    malloc_ptr<kv_chip_metrics_t> metrics(cgminer_chip_metrics(chain));
    if (!metrics)
        return -1;
    json_t *response = serialize_chip_metrics(metrics.get());
    if (!response) {
        LOG_ERROR("Failed to serialize chip metrics");
        return -1;
    }
    json_object_set_new(response, "type", json_string("chip_metrics"));
    json_object_set_new(response, "request_id", json_string(request_id));
    json_object_set_new(response, "ok", json_true());
    return agent_enqueue_message(response);
}
