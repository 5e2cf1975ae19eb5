#include "miner/support.h"

#include <cassert>
#include <cctype>
#include <cfloat>
#include <chrono>
#include <climits>
#include <cmath>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <deque>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>

#include "log.h"
#include "miner/api.h"
#include "miner/l3plus/support.h"
#include "miner/network.h"
#include "miner/status.h"
#include "miner/watcher.h"
#include "owners.h"
#include "paths.h"
#include "shell.h"
#include "util.h"

std::atomic<bool> miner_is_stopped{false};
std::atomic<bool> miner_is_auto_tune{false};

// Miner control: the operations asked for, run one at a time in request
// order by one worker thread, which exists while there is something to run.
namespace
{
enum miner_op { MINER_OP_NONE, MINER_OP_START, MINER_OP_RESTART, MINER_OP_STOP };
} // namespace
static std::mutex control_mutex;
static std::condition_variable control_cond;          // the worker has ended
static std::deque<enum miner_op> control_queue;       // not begun yet; guarded by control_mutex
static enum miner_op control_current = MINER_OP_NONE; // under way; guarded by control_mutex
static bool control_worker = false;                   // the worker exists; guarded by control_mutex

// A device script of the miner is waited for this long, then killed: the
// worker must go on to the next operation, and a stop must not wait on it.
#define MINER_SCRIPT_TIMEOUT_MS 25000

// ---------------------------------------------------------------------------
// Process control

bool cgminer_running(void)
{
    return shell_run(CMD_CGMINER_RUNNING) == 0;
}

bool cgminer_ready(void)
{
    return api_is_alive();
}

// Miner worker. Runs one step of an operation; false when the process is
// stopping: the step was not waited for (or not started) and the operation
// ends there, since its later steps must not run alongside it.
static bool miner_script(const char *cmd)
{
    if (shell_stopping())
        return false;
    return shell_run_bounded(cmd, MINER_SCRIPT_TIMEOUT_MS) != -4;
}

// Miner worker. A script that failed or was killed for its time counts as
// done: what came of it shows in the next status report.
static void start_miner(void)
{
    log_msg(LOG_LEVEL_INFO, "Starting miner");
    if (cgminer_running() && !miner_script(CMD_CGMINER_STOP))
        return;
    if (!miner_script(CMD_STOP_TRIGGER_REMOVE) || !miner_script(CMD_CGMINER_START))
        return;
    log_msg(LOG_LEVEL_INFO, "Miner started");
    miner_is_stopped = false;
}

static void restart_miner(void)
{
    log_msg(LOG_LEVEL_INFO, "Restarting miner");
    if (!miner_script(CMD_CGMINER_RESTART))
        return;
    log_msg(LOG_LEVEL_INFO, "Miner restarted");
}

// The process check is made when the stop's turn comes: a start queued
// before it may have started the miner meanwhile.
static void stop_miner(void)
{
    if (!cgminer_running()) {
        log_msg(LOG_LEVEL_WARN, "Miner is not running");
        return;
    }
    if (!miner_script(CMD_MINING_STOP))
        return;
    miner_is_stopped = true;
    miner_script(CMD_STOP_TRIGGER_WRITE);
}

// The worker thread: runs the queued operations until none is left, each
// followed by a status report request. Once the process is stopping, what is
// still queued is dropped. Ends by clearing control_worker, after which
// cgminer_wait_workers returns.
static void control_worker_main(void)
{
    block_stop_signals();
    std::unique_lock<std::mutex> lock(control_mutex);
    while (!control_queue.empty()) {
        if (shell_stopping()) {
            log_msg(LOG_LEVEL_WARN, "Agent is stopping, %zu miner operation(s) dropped",
                    control_queue.size());
            control_queue.clear();
            break;
        }
        enum miner_op op = control_queue.front();
        control_queue.pop_front();
        control_current = op;
        lock.unlock();
        switch (op) {
        case MINER_OP_START:
            start_miner();
            break;
        case MINER_OP_RESTART:
            restart_miner();
            break;
        default:
            stop_miner();
            break;
        }
        status_report_now();
        lock.lock();
        control_current = MINER_OP_NONE;
    }
    control_worker = false;
    control_cond.notify_all();
}

// Caller holds control_mutex. The request adds nothing to the last operation
// in line: one of the same kind that has not begun, or, when nothing waits, a
// start or a stop under way, which brings about what the request asks. A
// restart under way does not count: it may have started the miner on the
// configuration before the change that asks for another.
static bool already_in_line(enum miner_op op)
{
    if (!control_queue.empty())
        return control_queue.back() == op;
    return op != MINER_OP_RESTART && control_current == op;
}

// Main thread. Queues op behind what was asked before and starts the worker
// when none runs.
static int control_request(enum miner_op op, const char *duplicate, const char *error)
{
    {
        std::lock_guard<std::mutex> lock(control_mutex);
        if (already_in_line(op)) {
            log_msg(LOG_LEVEL_WARN, "%s", duplicate);
            return 0;
        }
        control_queue.push_back(op);
        if (control_worker)
            return 0;
        control_worker = true;
    }
    try {
        std::thread(control_worker_main).detach();
    } catch (const std::system_error &) {
        // Without a worker nothing else was queued: the line is empty again.
        {
            std::lock_guard<std::mutex> lock(control_mutex);
            control_queue.clear();
            control_worker = false;
        }
        control_cond.notify_all();
        LOG_ERROR("%s", error);
        return -1;
    }
    return 0;
}

bool cgminer_will_run(void)
{
    {
        std::lock_guard<std::mutex> lock(control_mutex);
        enum miner_op last = control_queue.empty() ? control_current : control_queue.back();
        if (last != MINER_OP_NONE)
            return last != MINER_OP_STOP;
    }
    return cgminer_running();
}

int cgminer_start(void)
{
    return control_request(MINER_OP_START, "Starting of miner is in progress",
                           "Failed to create start miner thread");
}

int cgminer_restart(void)
{
    return control_request(MINER_OP_RESTART, "Miner is already restarting",
                           "Failed to create restart miner thread");
}

int cgminer_stop(void)
{
    bool idle;
    {
        std::lock_guard<std::mutex> lock(control_mutex);
        idle = !control_worker;
    }
    // With nothing in line the miner is found now as the stop would find it
    // (only this thread adds to the line, so it stays empty meanwhile).
    if (idle && !cgminer_running()) {
        log_msg(LOG_LEVEL_WARN, "Miner is not running");
        return 0;
    }
    return control_request(MINER_OP_STOP, "Stopping of miner is in progress",
                           "Failed to create stop miner thread");
}

bool cgminer_wait_workers(int timeout_secs)
{
    std::unique_lock<std::mutex> lock(control_mutex);
    return control_cond.wait_for(lock, std::chrono::seconds(timeout_secs),
                                 [] { return !control_worker; });
}

// ---------------------------------------------------------------------------
// Metrics snapshot

bool cgminer_autotune_in_progress(void)
{
    return miner_is_auto_tune;
}

enum miner_states parse_miner_state(const char *text)
{
    static const struct {
        const char *text;
        enum miner_states state;
    } states[] = {
        {"initializing", MINER_STATE_INITIALIZING},
        {"mining", MINER_STATE_MINING},
        {"autotuning", MINER_STATE_AUTO_TUNING},
        {"shutting-down", MINER_STATE_SHUTTING_DOWN},
        {"pause", MINER_STATE_STOPPED},
        {"failure", MINER_STATE_FAILURE},
    };
    if (!text)
        return MINER_STATE_UNKNOWN;
    for (const auto &s : states) {
        if (strcmp(text, s.text) == 0)
            return s.state;
    }
    return MINER_STATE_UNKNOWN;
}

double leading_decimal(const char *text)
{
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    const char *start = p;
    if (*p == '+' || *p == '-')
        p++;
    const char *digits = p;
    while (isdigit(static_cast<unsigned char>(*p)))
        p++;
    if (*p == '.') {
        p++;
        while (isdigit(static_cast<unsigned char>(*p)))
            p++;
    }
    if (p == digits || (p == digits + 1 && *digits == '.'))
        return 0.0;
    if (*p == 'e' || *p == 'E') {
        const char *e = p + 1;
        if (*e == '+' || *e == '-')
            e++;
        if (isdigit(static_cast<unsigned char>(*e))) {
            while (isdigit(static_cast<unsigned char>(*e)))
                e++;
            p = e;
        }
    }
    char buf[64];
    size_t len = static_cast<size_t>(p - start);
    if (len >= sizeof(buf))
        len = sizeof(buf) - 1;
    memcpy(buf, start, len);
    buf[len] = '\0';
    double v = strtod(buf, nullptr);
    return std::isfinite(v) ? v : 0.0;
}

// The miner's integers are read whole ("I") and brought into the int fields
// here: the "i" format would keep only their low 32 bits (2^32 read as 0).
static int clamp_int(json_int_t v)
{
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

// a + b, held at the largest finite value: a sum of huge figures must not
// become infinity, which no message can carry.
static double add_finite(double a, double b)
{
    double sum = a + b;
    if (sum > DBL_MAX)
        return DBL_MAX;
    if (sum < -DBL_MAX)
        return -DBL_MAX;
    return sum;
}

void parse_chains_data(json_t *root, kv_metrics_t *metrics)
{
    assert(root && metrics);
    kv_chain_stats_t chains[CHAIN_COUNT];
    memset(chains, 0, sizeof(chains));

    int miner_count = 0;
    if (json_unpack(root, "{si}", "miner_count", &miner_count) != 0)
        log_msg(LOG_LEVEL_WARN, "Unable to parse the number of chains");

    for (int i = 0; i < CHAIN_COUNT; i++) {
        int n = CHAIN_IDS[i];
        char acn[19], rate[19], freq[19], volt[19], temp[19], temp2[19], hw[19], cons[29];
        snprintf(acn, sizeof(acn), "chain_acn%d", n);
        snprintf(rate, sizeof(rate), "chain_rate%d", n);
        snprintf(freq, sizeof(freq), "freq_avg%d", n);
        snprintf(volt, sizeof(volt), "voltage%d", n);
        snprintf(temp, sizeof(temp), "temp%d", n);
        snprintf(temp2, sizeof(temp2), "temp2_%d", n);
        snprintf(hw, sizeof(hw), "chain_hw%d", n);
        snprintf(cons, sizeof(cons), "consumption%d", n);

        kv_chain_stats_t *c = &chains[i];
        const char *rate_text = nullptr;
        json_int_t num_chips = 0, voltage = 0, pcb_temp = 0, chip_temp = 0, hw_errors = 0;
        if (json_unpack(root, "{sI,ss,sf,s?I,sI,sI,sI,s?F}", acn, &num_chips, rate, &rate_text,
                        freq, &c->freq, volt, &voltage, temp, &pcb_temp, temp2, &chip_temp, hw,
                        &hw_errors, cons, &c->watt) != 0) {
            LOG_ERROR("Couldn't parse data for chain %d", i);
            memset(c, 0, sizeof(*c));
            continue;
        }
        c->num_chips = clamp_int(num_chips);
        c->pcb_temp = clamp_int(pcb_temp);
        c->chip_temp = clamp_int(chip_temp);
        c->hw_errors = clamp_int(hw_errors);
        if (c->chip_temp > metrics->temp)
            metrics->temp = c->chip_temp;
        c->id = n;
        c->hash_rate = leading_decimal(rate_text) / 1000;
        c->volt = static_cast<double>(voltage);
    }

    // Summed wide, then held in the int field's range.
    long long hw_errors = metrics->hw_errors;
    for (int i = 0; i < CHAIN_COUNT; i++) {
        if (chains[i].id == 0)
            continue;
        metrics->chain_list[i] = chains[i];
        metrics->watt = add_finite(metrics->watt, chains[i].watt);
        hw_errors += chains[i].hw_errors;
    }
    metrics->hw_errors = clamp_int(hw_errors);
    metrics->chain_count = CHAIN_COUNT;
}

void parse_fans_data(json_t *root, kv_metrics_t *metrics)
{
    assert(root && metrics);
    kv_fan_stats_t fans[2];
    memset(fans, 0, sizeof(fans));

    json_int_t fan_num = 0;
    if (json_unpack(root, "{sI}", "fan_num", &fan_num) != 0) {
        log_msg(LOG_LEVEL_WARN, "Unable to parse the number of fans");
        fan_num = 2;
    }

    for (int i = 1; i <= 2; i++) {
        char key[19];
        snprintf(key, sizeof(key), "fan%d", i);
        kv_fan_stats_t *f = &fans[i - 1];
        json_int_t rpm = 0;
        if (json_unpack(root, "{sI}", key, &rpm) != 0) {
            log_msg(LOG_LEVEL_WARN, "Failed to parse data for fan %d", i);
            memset(f, 0, sizeof(*f));
            continue;
        }
        f->rpm = clamp_int(rpm);
        // 6000 rpm is full speed.
        double speed = f->rpm / 6000.0 * 100;
        f->speed = speed > 100 ? 100 : static_cast<int>(speed);
        f->id = (f->speed > 0 || f->rpm > 0) ? i : 0;
    }

    int taken = 0;
    for (int i = 0; i < 2 && taken < fan_num; i++) {
        if (fans[i].id != 0)
            metrics->fan_list[taken++] = fans[i];
    }
    metrics->fan_count = static_cast<unsigned>(taken);
}

static enum miner_states decide_state(double hashrate)
{
    if (cgminer_running()) {
        if (miner_is_stopped)
            return MINER_STATE_STOPPED;
        if (cgminer_ready() && hashrate > 0)
            return cgminer_autotune_in_progress() ? MINER_STATE_AUTO_TUNING : MINER_STATE_MINING;
        return MINER_STATE_INITIALIZING;
    }
    return miner_is_stopped ? MINER_STATE_STOPPED : MINER_STATE_UNKNOWN;
}

// The miner's answer to command, or null (logged by the API client).
static json_ptr api_answer(const char *command)
{
    json_t *answer = nullptr;
    api_call_cmd(command, &answer);
    return json_ptr(answer);
}

kv_metrics_t *cgminer_metrics(void)
{
    json_ptr answer = api_answer("stats");
    if (!answer)
        return nullptr;

    json_t *ident = nullptr;
    json_t *stats = nullptr;
    json_error_t err;
    if (json_unpack_ex(answer.get(), &err, 0, "{s[o,o!]}", "STATS", &ident, &stats) != 0) {
        LOG_ERROR("%s", err.text);
        LOG_ERROR("Failed to unpack STATS from api response");
        return nullptr;
    }

    malloc_ptr<kv_metrics_t> m(static_cast<kv_metrics_t *>(calloc(1, sizeof(kv_metrics_t))));
    if (!m)
        return nullptr;
    const char *state = nullptr;
    const char *ghs_5s = nullptr;
    json_int_t uptime = 0, temp = 0;
    if (json_unpack(stats, "{sI,s?s,ss,sf,sf,s?I}", "Elapsed", &uptime, "state", &state, "GHS 5s",
                    &ghs_5s, "GHS av", &m->hashrate_avg, "freq_avg1", &m->freq, "temp_max",
                    &temp) != 0) {
        LOG_ERROR("Failed to unpack global metrics");
        return nullptr;
    }
    m->uptime = clamp_int(uptime);
    m->temp = clamp_int(temp);
    m->hashrate = leading_decimal(ghs_5s) / 1000;
    m->hashrate_avg /= 1000;
    // A momentary spike is reported as the average.
    if (m->hashrate > 2 * m->hashrate_avg)
        m->hashrate = m->hashrate_avg;

    m->state = decide_state(m->hashrate);
    parse_chains_data(stats, m.get());
    parse_fans_data(stats, m.get());
    m->timestamp = time(nullptr);
    return m.release();
}

// ---------------------------------------------------------------------------
// Pool statistics

static void fill_pool(kv_pool_stats_t *pool, const char *status, bool stratum_active,
                      const char *diff, json_int_t accepted, json_int_t rejected, json_int_t stale)
{
    pool->asicboost = false;
    util_copy_utf8(pool->diff, sizeof(pool->diff), diff[0] ? diff : "0");
    // A negative counter is no count at all.
    pool->accepted = static_cast<uint64_t>(accepted < 0 ? 0 : accepted);
    pool->rejected = static_cast<uint64_t>(rejected < 0 ? 0 : rejected);
    pool->stale = static_cast<uint64_t>(stale < 0 ? 0 : stale);
    if (strcmp(status, "Alive") == 0) {
        pool->status = stratum_active ? POOL_ACTIVE : POOL_ALIVE;
    } else if (strcmp(status, "Dead") == 0) {
        pool->status = POOL_DEAD;
    } else {
        log_msg(LOG_LEVEL_WARN, "Unknown pool status: %s", status);
        pool->status = POOL_NOT_CONFIGURED;
    }
}

kv_pools_stats_t *cgminer_pools_stats(void)
{
    json_ptr answer = api_answer("pools");
    if (!answer)
        return nullptr;

    json_t *pools = nullptr;
    json_error_t err;
    if (json_unpack_ex(answer.get(), &err, 0, "{so}", "POOLS", &pools) != 0) {
        LOG_ERROR("Failed to unpack POOLS from api response: %s", err.text);
        return nullptr;
    }
    if (!json_is_array(pools)) {
        LOG_ERROR("POOLS must be an array object");
        return nullptr;
    }

    auto *stats = static_cast<kv_pools_stats_t *>(calloc(1, sizeof(kv_pools_stats_t)));
    if (!stats)
        return nullptr;
    for (size_t i = 0; i < json_array_size(pools); i++) {
        json_t *pool = json_array_get(pools, i);
        if (!pool)
            break;
        const char *url = nullptr, *status = nullptr, *diff = nullptr;
        json_int_t priority = 0; // whole: 4294967297 is no priority 1
        json_int_t accepted = 0, rejected = 0, stale = 0;
        int stratum_active = 0;
        if (json_unpack_ex(pool, &err, 0, "{ss,ss,sI,sI,sI,sI,ss,sb}", "URL", &url, "Status",
                           &status, "Priority", &priority, "Accepted", &accepted, "Rejected",
                           &rejected, "Stale", &stale, "Diff", &diff, "Stratum Active",
                           &stratum_active) != 0) {
            log_msg(LOG_LEVEL_WARN, "Failed to parse pool #%d stats: %s", static_cast<int>(i),
                    err.text);
            continue;
        }

        kv_pool_stats_t *entry = nullptr;
        if (priority > 899 && strncmp(url, "DevFee", 6) == 0) {
            if (stats->svc_fee_count >= SVC_FEE_POOLS_MAX) {
                log_msg(LOG_LEVEL_DEBUG, "Ignoring service fee pool #%d", static_cast<int>(i));
                continue;
            }
            entry = &stats->svc_fee_list[stats->svc_fee_count++];
        } else if (strlen(url) < 3 && strcmp(status, "Dead") == 0) {
            continue; // an unconfigured slot
        } else if (i == 0) {
            entry = &stats->main;
        } else if (i == 1) {
            entry = &stats->reserved;
        } else if (i == 2) {
            entry = &stats->reserved2;
        } else {
            continue;
        }
        fill_pool(entry, status, stratum_active != 0, diff, accepted, rejected, stale);
    }
    return stats;
}

// ---------------------------------------------------------------------------
// Configuration transaction

struct miner_config miner_config;
bool miner_config_loaded = false;
bool miner_config_changed = false;

int cgminer_config_begin_changes(void)
{
    if (miner_load_config(PATH_MINER_CONFIG, &miner_config) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s", PATH_MINER_CONFIG);
        return -1;
    }
    miner_config_loaded = true;
    miner_config_changed = false;
    return 0;
}

int cgminer_config_end_changes(void)
{
    int res = 0;
    if (miner_config_changed) {
        // The agent's own write is not an outside change; one made meanwhile
        // still is.
        watcher_own_write_begin(MINER_CONFIG_FILE_NAME);
        bool written = false;
        if (miner_update_config(PATH_MINER_CONFIG, &miner_config, &written) != 0) {
            LOG_ERROR("Failed to save config file to %s", PATH_MINER_CONFIG);
            res = -1;
        } else {
            res = written ? 1 : 0;
        }
        watcher_own_write_end();
    }
    // The reported state follows what is stored, never a refused change.
    if (res >= 0)
        miner_is_auto_tune =
            miner_config.bitmain_autodownscale || miner_config.bitmain_autodownscale_watch;
    memset(&miner_config, 0, sizeof(miner_config));
    miner_config_loaded = false;
    miner_config_changed = false;
    return res;
}

// A pool text the record cannot hold whole is refused: cut, it would name
// another worker, password or pool.
static bool pool_text_fits(const char *what, const char *text, size_t max)
{
    size_t len = strlen(text);
    if (len <= max)
        return true;
    LOG_ERROR("Pool %s of %zu bytes is too long (at most %zu)", what, len, max);
    return false;
}

int cgminer_pool(int pool_idx, const char *url, const char *worker, const char *passwd)
{
    assert(url && worker);
    if (!passwd)
        passwd = "";
    if (!miner_config_loaded) {
        LOG_ERROR("Miner config is not loaded!");
        return -1;
    }
    if (pool_idx >= MINER_POOLS_MAX) {
        LOG_ERROR("Invalid poolid - %d, it should be less than %d", pool_idx, MINER_POOLS_MAX);
        return -1;
    }
    // A negative index counts as very large: pools are replaced or appended
    // right after the last one.
    if (static_cast<unsigned>(pool_idx) > miner_config.pool_count) {
        LOG_ERROR("Invalid poolid - %d, it should be less or equeal to %d", pool_idx,
                  static_cast<int>(miner_config.pool_count));
        return -1;
    }
    if (!pool_text_fits("URL", url, POOL_URL_MAX) ||
        !pool_text_fits("worker", worker, POOL_WORKER_MAX) ||
        !pool_text_fits("password", passwd, POOL_PASSWD_MAX))
        return -1;
    if (static_cast<size_t>(pool_idx) == miner_config.pool_count) {
        miner_config.pool_count++;
        miner_config.pools_changed = true;
        miner_config_changed = true;
    }
    struct pool_config scratch;
    memset(&scratch, 0, sizeof(scratch));
    memcpy(scratch.url, url, strlen(url));
    memcpy(scratch.worker, worker, strlen(worker));
    memcpy(scratch.passwd, passwd, strlen(passwd));
    if (memcmp(&scratch, &miner_config.pools[pool_idx], sizeof(scratch)) == 0)
        return 0;
    miner_config.pools[pool_idx] = scratch;
    miner_config.pools_changed = true;
    miner_config_changed = true;
    return 1;
}

json_t *cgminer_net_config(void)
{
    struct net_config cfg;
    if (net_load_config(PATH_NETWORK_CONFIG, &cfg) != 0) {
        LOG_ERROR("Failed to load network config %s", PATH_NETWORK_CONFIG);
        return nullptr;
    }
    return json_pack("{so*}", "network", transform_net_config(&cfg));
}

// ---------------------------------------------------------------------------
// Chip metrics

enum kv_chip_state_t chip_state(double hash_rate, uint16_t freq)
{
    if (hash_rate == 0.0)
        return CHIP_STATE_UNKNOWN;
    const double ideal = freq / 222.0;
    const double ratio = hash_rate / ideal; // +-inf or NaN for freq 0: unstable
    if (ratio >= 0.85 && ratio < 2.5)
        return CHIP_STATE_FAST;
    if (ratio >= 0.5 && ratio < 0.85)
        return CHIP_STATE_SLOW;
    return CHIP_STATE_UNSTABLE;
}

kv_chip_metrics_t *cgminer_chip_metrics(int chain)
{
    std::unique_ptr<struct miner_config> cfg(new struct miner_config());
    if (miner_load_config(PATH_MINER_CONFIG, cfg.get()) != 0) {
        LOG_ERROR("Failed to load cgminer config from %s", PATH_MINER_CONFIG);
        return nullptr;
    }
    kv_chip_metrics_t *metrics = static_cast<kv_chip_metrics_t *>(calloc(1, sizeof(*metrics)));
    if (!metrics)
        return nullptr;
    metrics->chain_id = chain;

    json_error_t err;
    json_ptr dump(json_load_file(PATH_CHIP_HR, 0, &err));
    if (!dump)
        log_msg(LOG_LEVEL_WARN, "Failed to load chip hash rates from %s", PATH_CHIP_HR);
    json_t *chains = nullptr;
    if (!dump || json_unpack(dump.get(), "{so}", "chiphr", &chains) != 0) {
        log_msg(LOG_LEVEL_WARN, "Failed to parse chip hash rates from dump");
        chains = nullptr;
    }
    for (int chip = 1; chip <= CHIPS_PER_CHAIN; chip++) {
        kv_chip_info_t *info = &metrics->chips[chip - 1];
        info->chip_id = chip;
        info->hash_rate = chip_hashrate(chain, chip, chains);
        info->freq = chip_freq(chain, chip, cfg.get());
        info->custom_freq = chip_custom_freq(chain, chip, cfg.get());
        info->state = chip_state(info->hash_rate, info->freq);
    }
    return metrics;
}
