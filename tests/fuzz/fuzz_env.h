// Shared set-up of the fuzzing harnesses: a private device root, a shell that
// runs nothing, quiet logging and the per-input resets.
//
// fuzz_env_init() must be the first thing LLVMFuzzerInitialize does. It moves
// the process into mount and network namespaces of its own, chroots it into a
// scratch root (a tmpfs) and starts the program again there (so that no
// thread started before main is left outside); in that root
//   - the host's top-level folders are bound read-only (so the harness can
//     neither write /etc, /var, ... nor reach anything but its own loopback),
//   - /config, /www/pages/cgi-bin and /tmp are empty writable folders of the
//     scratch root (the host's /config and /www are never created or touched),
//   - the working directory and the folders listed in KVFUZZ_RW (colon
//     separated) are bound writable at their own paths, for the corpus and
//     the crash artifacts.
// Any step that fails ends the process: a harness never runs unconfined.
#pragma once

#include <cstddef>
#include <string>

#include <jansson.h>

struct agent_psd;

// Isolation (above; argv is the program's, for the new start), loopback up, logging on with every
// level sent nowhere, the recording shell runner and the miner API pointed at a closed port.
void fuzz_env_init(char **argv);

// Replaces path with exactly len bytes of data (created 0644). Aborts on failure.
void fuzz_write_file(const char *path, const void *data, size_t len);
void fuzz_write_file(const char *path, const std::string &text);
void fuzz_remove_file(const char *path);

// A realistic /config/cgminer.conf and /config/network.conf.
extern const char *const FUZZ_MINER_CONFIG;
extern const char *const FUZZ_NETWORK_CONFIG;

// Module state an input may have changed: the configuration transaction
// record, the miner flags, a pending registration, status reporting.
// Waits for the miner workers an input started.
void fuzz_reset_state(void);

// Takes every queued message off the session's ring, serialising each as the
// writable step would; returns how many there were.
size_t fuzz_drain(struct agent_psd *psd);

// Commands the recording shell runner was asked to run since the last reset.
size_t fuzz_shell_commands(void);

// Inside one input: sleeps of the code under test return at once (the
// configuration commit waits a second for the watcher). Other threads, the
// fuzzer's own included, sleep normally.
struct FuzzFastSleep {
    FuzzFastSleep();
    ~FuzzFastSleep();
    FuzzFastSleep(const FuzzFastSleep &) = delete;
    FuzzFastSleep &operator=(const FuzzFastSleep &) = delete;
};
