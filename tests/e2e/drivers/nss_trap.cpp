// A host-lookup module of "another C library": the device's nsswitch.conf may
// name modules of its own libc, which the static agent must never load. This
// one, named "kvtest" in a test's nsswitch.conf, says so and ends the process
// as soon as it is loaded.
#include <unistd.h>

__attribute__((constructor)) static void nss_trap_loaded(void)
{
    static const char msg[] = "nss_kvtest: host-lookup module loaded\n";
    if (write(STDERR_FILENO, msg, sizeof(msg) - 1) < 0) {
        // nothing else to say
    }
    _exit(86);
}
