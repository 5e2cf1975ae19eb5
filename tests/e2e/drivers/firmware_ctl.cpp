// Runs the agent's firmware update from inside a device sandbox, for the
// end-to-end tests:
//
//   kvfirmwarectl URL
//
// prints "RESULT firmware_update <result>" on standard output; the agent's
// log lines go where the device's logging configuration sends them.
#include <cstdio>
#include <curl/curl.h>

#include "log.h"
#include "miner/firmware.h"

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: kvfirmwarectl URL\n");
        return 2;
    }
    if (log_init() != 0) {
        fprintf(stderr, "kvfirmwarectl: cannot initialise logging\n");
        return 2;
    }
    curl_global_init(CURL_GLOBAL_SSL);
    int res = firmware_update(argv[1]);
    printf("RESULT firmware_update %d\n", res);
    fflush(stdout);
    curl_global_cleanup();
    log_cleanup();
    return 0;
}
