// network.conf lines through the network settings loader.
//
// Settings that load are also turned into the server's view, saved and
// loaded again.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <jansson.h>

#include "fuzz_env.h"
#include "miner/network.h"
#include "miner/support.h"
#include "paths.h"

static std::string read_file(const char *path)
{
    std::string text;
    FILE *f = fopen(path, "rb");
    if (!f)
        abort();
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), f)) > 0)
        text.append(buf, n);
    fclose(f);
    return text;
}

extern "C" int LLVMFuzzerInitialize(int *, char ***argv)
{
    fuzz_env_init(*argv);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz_write_file(PATH_NETWORK_CONFIG, data, size);

    net_config first;
    if (net_load_config(PATH_NETWORK_CONFIG, &first) != 0)
        return 0;
    if (first.ns_count < 0 || first.ns_count > NETINFO_MAX_NS ||
        memchr(first.hostname, '\0', sizeof(first.hostname)) == nullptr) {
        fprintf(stderr, "the loaded record is out of its bounds\n");
        abort();
    }
    // The view is null only for a host name that is not UTF-8.
    json_t *view = transform_net_config(&first);
    json_decref(view);
    json_decref(cgminer_net_config());

    // What is saved must read back as the same settings: saving them again
    // writes the same file (a DHCP file holds no addresses, so the record's
    // addresses do not count there).
    if (net_save_config(PATH_NETWORK_CONFIG, &first) != 0) {
        fprintf(stderr, "loaded settings cannot be saved\n");
        abort();
    }
    std::string saved = read_file(PATH_NETWORK_CONFIG);
    net_config second;
    if (net_load_config(PATH_NETWORK_CONFIG, &second) != 0) {
        fprintf(stderr, "saved settings do not load again\n");
        abort();
    }
    if (second.mode != first.mode || strcmp(second.hostname, first.hostname) != 0 ||
        net_save_config(PATH_NETWORK_CONFIG, &second) != 0 ||
        read_file(PATH_NETWORK_CONFIG) != saved) {
        fprintf(stderr, "saved settings load as other settings\n");
        abort();
    }
    return 0;
}
