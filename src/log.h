// Process-wide logging on top of log4cplus (logger "agent").
#pragma once

enum log_level {
    LOG_LEVEL_DEBUG = 0,
    LOG_LEVEL_INFO = 1,
    LOG_LEVEL_WARN = 2,
    LOG_LEVEL_ERROR = 3,
};

// Configures logging from the device's logging configuration file.
// Returns 0, or -1 when the file cannot be read or configured.
int log_init(void);
// Same as log_init with another configuration file (tools and tests).
int log_init_from(const char *conf_path);
void log_cleanup(void);

// printf-style; the formatted text is handed to the logger as data.
void log_msg(enum log_level lvl, const char *fmt, ...) __attribute__((format(printf, 2, 3)));

// ERROR lines start with the caller's source file and line.
#define LOG_ERROR(fmt, ...)                                                                        \
    log_msg(LOG_LEVEL_ERROR, "%s:%d: " fmt, __FILE__, __LINE__, ##__VA_ARGS__)
