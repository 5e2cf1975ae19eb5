#include "miner/firmware.h"

const char *firmware_name(void)
{
    return "pelto-antminer-l3plus";
}

const char *firmware_version(void)
{
    return "3.9.0";
}
