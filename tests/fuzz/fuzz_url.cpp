// URLs through parse_url (the server address of the agent's configuration).
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "util.h"

static void check_terminated(const char *field, size_t size, const char *name)
{
    if (!memchr(field, '\0', size)) {
        fprintf(stderr, "parse_url: %s is not terminated\n", name);
        abort();
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string url(reinterpret_cast<const char *>(data), size); // cut at a NUL like a C text
    url_info info;
    memset(&info, 0xa5, sizeof(info));
    int rc = parse_url(url.c_str(), &info);
    if (rc != 0 && rc != -1) {
        fprintf(stderr, "parse_url: result %d\n", rc);
        abort();
    }
    if (rc != 0)
        return 0;
    check_terminated(info.proto, sizeof(info.proto), "proto");
    check_terminated(info.host, sizeof(info.host), "host");
    check_terminated(info.path, sizeof(info.path), "path");
    if (info.host[0] == '\0' || info.proto[0] == '\0' || info.path[0] != '/') {
        fprintf(stderr, "parse_url: accepted without scheme, host or path\n");
        abort();
    }
    (void)proto_to_port(info.proto);
    return 0;
}
