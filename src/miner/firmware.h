// Firmware identity reported to the server.
#pragma once

const char *firmware_name(void);
const char *firmware_version(void);
