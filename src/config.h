// The agent's own configuration file (API key, device identifier).
#pragma once

struct agent_config {
    char api_key[51];
    char dev_id[33];
    bool fresh_install;
};

// Reads and validates the file; on a fresh install (no "dev_id") generates the
// device identifier. 0, or -1 on any failure.
int agent_load_config(const char *path, struct agent_config *cfg);
// Replaces the file atomically with {"api_key", "dev_id"}. 0, or -1.
int agent_save_config(const char *path, const struct agent_config *cfg);
