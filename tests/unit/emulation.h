#pragma once

#include <cstdlib>

// True when the tests run under an emulator (qemu-user for the armhf build:
// the emulator command of cmake/toolchains/debian-armhf.cmake sets
// KVAGENT_EMULATED). Only what the emulator cannot do is left out there.
inline bool running_emulated()
{
    const char *v = std::getenv("KVAGENT_EMULATED");
    return v && *v && *v != '0';
}
