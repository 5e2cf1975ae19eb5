#include "log.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <string>

#include <log4cplus/config.hxx>
#include <log4cplus/configurator.h>
#include <log4cplus/helpers/property.h>
#include <log4cplus/initializer.h>
#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>

#include "owners.h"
#include "paths.h"

// Set once in log_init before any other thread starts; read-only afterwards.
static std::unique_ptr<log4cplus::Initializer> log_initializer;
static log4cplus::Logger agent_log_category;
static bool log_ready = false;

int log_init(void)
{
    return log_init_from(PATH_LOG_CONF);
}

int log_init_from(const char *conf_path)
{
    // log4cplus silently accepts a missing file; the agent must not run blind.
    file_ptr probe(fopen(conf_path, "r"));
    if (!probe)
        return -1;
    probe.reset();

    if (!log_initializer)
        log_initializer = std::make_unique<log4cplus::Initializer>();
    try {
        log4cplus::PropertyConfigurator::doConfigure(conf_path);
        // log4cplus keeps a pool of threads (four unless configured) that
        // only appenders with AsyncAppend=true use; the agent's appenders
        // write synchronously. One thread is the least the pool allows, and
        // keeps such an appender working; log4cplus.threadPoolSize in the
        // file still decides when it is there.
        log4cplus::helpers::Properties props{log4cplus::tstring(conf_path)};
        if (!props.exists(LOG4CPLUS_TEXT("log4cplus.threadPoolSize")))
            log4cplus::setThreadPoolSize(1);
    } catch (...) {
        return -1;
    }
    agent_log_category = log4cplus::Logger::getInstance("agent");
    log_ready = true;
    return 0;
}

void log_cleanup(void)
{
    log_ready = false;
    log_initializer.reset();
}

static log4cplus::LogLevel map_level(enum log_level lvl)
{
    switch (lvl) {
    case LOG_LEVEL_DEBUG:
        return log4cplus::DEBUG_LOG_LEVEL;
    case LOG_LEVEL_INFO:
        return log4cplus::INFO_LOG_LEVEL;
    case LOG_LEVEL_WARN:
        return log4cplus::WARN_LOG_LEVEL;
    case LOG_LEVEL_ERROR:
        return log4cplus::ERROR_LOG_LEVEL;
    }
    return log4cplus::NOT_SET_LOG_LEVEL;
}

void log_msg(enum log_level lvl, const char *fmt, ...)
{
    log4cplus::LogLevel ll = map_level(lvl);
    if (ll == log4cplus::NOT_SET_LOG_LEVEL || !log_ready)
        return;
    if (!agent_log_category.isEnabledFor(ll))
        return;

    va_list ap;
    va_start(ap, fmt);
    va_list ap2;
    va_copy(ap2, ap);
    int n = vsnprintf(nullptr, 0, fmt, ap);
    va_end(ap);
    if (n < 0) {
        va_end(ap2);
        return;
    }
    std::string text(static_cast<size_t>(n), '\0');
    vsnprintf(&text[0], static_cast<size_t>(n) + 1, fmt, ap2);
    va_end(ap2);

    try {
        agent_log_category.forcedLog(ll, text, __FILE__, __LINE__, __func__);
    } catch (...) {
        // A failing appender must never take the agent down.
    }
}
