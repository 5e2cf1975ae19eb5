#include "config.h"

#include <cassert>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <jansson.h>
#include <memory>
#include <string>
#include <unistd.h>

#include "log.h"
#include "miner/network.h"
#include "owners.h"
#include "paths.h"
#include "util.h"

static void gen_pseudo_device_id(char *dev_id)
{
    static const char digits[] = "0123456789ABCDEF";
    // Devices that boot without a clock start with the same time and often the
    // same pid, so the C generator's seed repeats across a farm: draw from the
    // kernel's random source, and fall back to the C generator only without one.
    unsigned char noise[32];
    bool have_noise = util_random_bytes(noise, sizeof(noise)) == 0;
    for (int i = 0; i < 32; i++)
        dev_id[i] = digits[have_noise ? noise[i] % 16 : rand() % 16];
    dev_id[32] = '\0';
}

static void gen_device_id(char *dev_id)
{
    // The hardware identifier words are not available on this model: always zero.
    const unsigned int fpga_id[2] = {0, 0};
    struct netinfo ni;
    if (net_get_info(NET_IFACE, &ni) != 0) {
        gen_pseudo_device_id(dev_id);
        return;
    }
    const unsigned char *m = ni.mac.ether_addr_octet;
    snprintf(dev_id, 33, "%08X%08X-%02X%02X%02X%02X%02X%02X", fpga_id[0], fpga_id[1], m[0], m[1],
             m[2], m[3], m[4], m[5]);
}

static int parse_config(json_t *root, struct agent_config *cfg)
{
    memset(cfg, 0, sizeof(*cfg));
    const char *api_key = nullptr;
    const char *dev_id = nullptr;
    json_error_t err;
    if (json_unpack_ex(root, &err, 0, "{s:s, s?s}", "api_key", &api_key, "dev_id", &dev_id) != 0) {
        LOG_ERROR("%s", err.text);
        return -1;
    }
    if (strlen(api_key) <= 24) {
        LOG_ERROR("API key length is to short");
        return -1;
    }
    // Overlong values are cut, at a character boundary: a split character
    // would make the text invalid for the JSON library, so neither the
    // configuration file nor the login request could be written.
    util_copy_utf8(cfg->api_key, sizeof(cfg->api_key), api_key);
    if (dev_id)
        util_copy_utf8(cfg->dev_id, sizeof(cfg->dev_id), dev_id);
    else
        cfg->fresh_install = true;
    return 0;
}

int agent_load_config(const char *path, struct agent_config *cfg)
{
    assert(path && cfg);
    json_error_t err;
    json_ptr root(json_load_file(path, 0, &err));
    if (!root) {
        LOG_ERROR("%s", err.text);
        return -1;
    }
    if (parse_config(root.get(), cfg) != 0) {
        LOG_ERROR("Failed to parse config file");
        return -1;
    }
    if (cfg->fresh_install)
        gen_device_id(cfg->dev_id);
    return 0;
}

int agent_save_config(const char *path, const struct agent_config *cfg)
{
    assert(path && cfg);
    json_ptr root(json_pack("{s:s, s:s}", "api_key", cfg->api_key, "dev_id", cfg->dev_id));
    if (!root) {
        LOG_ERROR("Failed to write to config fle");
        return -1;
    }

    text_ptr text(json_dumps(root.get(), JSON_INDENT(2)));
    if (!text) {
        LOG_ERROR("Failed to write to config fle");
        return -1;
    }
    int res = util_save_file(path, text.get(), strlen(text.get()));
    if (res != 0) {
        LOG_ERROR("%s", res == -1 ? "Failed to open config file" : "Failed to write to config fle");
        return -1;
    }
    return 0;
}
