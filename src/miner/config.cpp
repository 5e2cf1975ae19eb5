#include "miner/config.h"

#include <cassert>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <memory>
#include <mutex>
#include <string>

#include "log.h"
#include "miner/l3plus/config.h"
#include "miner/l3plus/support.h"
#include "owners.h"
#include "util.h"

// Serialises every read of the file and every write: a reader never sees a
// file half written. Whole read-modify-write cycles are not serialised.
static std::mutex config_mutex;

int chain_chip_freq(int local, int global)
{
    return local > 0 ? local : global;
}

double chain_volt(int local, int global)
{
    return local > 0 ? local : global;
}

int config_text_to_int(const char *text)
{
    if (!text)
        return 0;
    const char *p = text;
    while (isspace(static_cast<unsigned char>(*p)))
        p++;
    if ((*p == '+' || *p == '-') && !isdigit(static_cast<unsigned char>(p[1])))
        return 0;
    errno = 0;
    long long v = strtoll(p, nullptr, 10);
    if (v > INT_MAX)
        return INT_MAX;
    if (v < INT_MIN)
        return INT_MIN;
    return static_cast<int>(v);
}

static json_t *load_file_locked(const char *path, json_error_t *err)
{
    std::lock_guard<std::mutex> lock(config_mutex);
    return json_load_file(path, 0, err);
}

// The whole file: its text and, when that is JSON, its value (null, with
// err filled, when it cannot be read or parsed). One read under the lock.
static json_t *load_text_locked(const char *path, std::string *text, json_error_t *err)
{
    std::lock_guard<std::mutex> lock(config_mutex);
    text->clear();
    file_ptr f(fopen(path, "rb"));
    if (!f) {
        snprintf(err->text, sizeof(err->text), "unable to open %s: %s", path, strerror(errno));
        return nullptr;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f.get())) > 0)
        text->append(buf, n);
    if (ferror(f.get())) {
        snprintf(err->text, sizeof(err->text), "unable to read %s: %s", path, strerror(errno));
        return nullptr;
    }
    return json_loadb(text->data(), text->size(), 0, err);
}

static int parse_pools(json_t *root, struct miner_config *cfg)
{
    cfg->pool_count = 0;
    json_t *pools = json_object_get(root, "pools");
    if (!json_is_array(pools)) {
        LOG_ERROR("Pools not specifed or have wrong format");
        return -1;
    }
    for (size_t i = 0; i < json_array_size(pools) && i < MINER_POOLS_MAX; i++) {
        const char *url, *user, *pass;
        json_error_t err;
        if (json_unpack_ex(json_array_get(pools, i), &err, 0, "{ss,ss,ss}", "url", &url, "user",
                           &user, "pass", &pass) != 0) {
            LOG_ERROR("%s", err.text);
            LOG_ERROR("Failed to parse pool[%d]", static_cast<int>(i));
            continue;
        }
        struct pool_config *pc = &cfg->pools[cfg->pool_count++];
        memset(pc, 0, sizeof(*pc));
        util_copy_utf8(pc->url, sizeof(pc->url), url);
        util_copy_utf8(pc->worker, sizeof(pc->worker), user);
        util_copy_utf8(pc->passwd, sizeof(pc->passwd), pass);
    }
    return 0;
}

int miner_load_config(const char *path, struct miner_config *cfg)
{
    assert(path && cfg);
    json_error_t err;
    json_ptr root(load_file_locked(path, &err));
    if (!root) {
        LOG_ERROR("json error: %s:%d:%d: %s\n", err.source, err.line, err.column, err.text);
        return -1;
    }
    memset(cfg, 0, sizeof(*cfg));
    bool failed = false;
    if (parse_pools(root.get(), cfg) != 0) {
        LOG_ERROR("Failed to parse pool settings");
        failed = true;
    } else if (parse_miner_config(root.get(), cfg) != 0) {
        LOG_ERROR("Failed to parse miner settings");
        failed = true;
    }
    if (failed) {
        LOG_ERROR("Failed to parse miner config");
        return -1;
    }
    return 0;
}

// The record's pools, then the elements of the file's array after its first
// three (pools the record does not model).
static json_t *build_pools(struct miner_config *cfg, json_t *file_pools)
{
    json_ptr pools(json_array());
    for (size_t i = 0; i < cfg->pool_count && i < MINER_POOLS_MAX; i++) {
        const struct pool_config *pc = &cfg->pools[i];
        json_t *pool =
            json_pack("{ss,ss,ss}", "url", pc->url, "user", pc->worker, "pass", pc->passwd);
        if (!pool) {
            LOG_ERROR("Failed to build pool[%d] settings", static_cast<int>(i) + 1);
            return nullptr;
        }
        json_array_append_new(pools.get(), pool);
    }
    for (size_t i = MINER_POOLS_MAX; i < json_array_size(file_pools); i++)
        json_array_append(pools.get(), json_array_get(file_pools, i));
    return pools.release();
}

// Every top-level member whose value is false goes; so does a watchdog
// temperature of 0; "multi-version" ends up last (added as "1" when absent).
static void apply_removal_rules(json_t *root)
{
    const char *key;
    json_t *value;
    void *tmp;
    json_object_foreach_safe(root, tmp, key, value)
    {
        if (json_is_false(value))
            json_object_del(root, key);
    }
    json_t *tempoff = json_object_get(root, "bitmain-tempoff");
    if (json_is_string(tempoff) && config_text_to_int(json_string_value(tempoff)) == 0)
        json_object_del(root, "bitmain-tempoff");

    json_t *mv = json_object_get(root, "multi-version");
    if (mv) {
        json_incref(mv);
        json_object_del(root, "multi-version");
        json_object_set_new(root, "multi-version", mv);
    } else {
        json_object_set_new(root, "multi-version", json_string("1"));
    }
}

int miner_update_config(const char *path, struct miner_config *cfg, bool *written)
{
    assert(path && cfg);
    if (written)
        *written = false;
    json_error_t err;
    std::string old_text;
    json_ptr root(load_text_locked(path, &old_text, &err));
    if (!root) {
        LOG_ERROR("%s", err.text);
        return -1;
    }

    json_ptr update(json_object());
    bool built = true;
    if (cfg->pools_changed) {
        json_t *pools = build_pools(cfg, json_object_get(root.get(), "pools"));
        if (!pools) {
            LOG_ERROR("Failed to build pool settings");
            built = false;
        } else {
            json_object_set_new(update.get(), "pools", pools);
        }
    }
    if (built && build_miner_config(update.get(), cfg) != 0) {
        LOG_ERROR("Failed to build miner settings");
        built = false;
    }
    if (!built) {
        LOG_ERROR("Failed to build miner config");
        return -1;
    }
    if (json_object_update(root.get(), update.get()) != 0) {
        LOG_ERROR("Failed to merge miner config");
        return -1;
    }
    apply_removal_rules(root.get());

    std::string text;
    if (dump_bmminer_config(root.get(), &text) != 0) {
        LOG_ERROR("Failed to store miner config");
        return -1;
    }
    // What would be written is there already: a rewrite would only wake the
    // watcher and restart the miner for nothing.
    if (text == old_text)
        return 0;
    int res;
    {
        std::lock_guard<std::mutex> lock(config_mutex);
        res = util_save_file(path, text.data(), text.size());
    }
    if (res != 0) {
        LOG_ERROR("Failed to store miner config");
        return -1;
    }
    if (written)
        *written = true;
    return 0;
}
