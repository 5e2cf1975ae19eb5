#include "log_capture.h"

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <unistd.h>

#include <log4cplus/logger.h>
#include <log4cplus/loglevel.h>
#include <log4cplus/spi/loggingevent.h>

namespace
{

class RecordingAppender : public log4cplus::Appender
{
  public:
    RecordingAppender() { setName(LOG4CPLUS_TEXT("test-capture")); }
    ~RecordingAppender() override { destructorImpl(); }

    void close() override { closed = true; }

    std::vector<LogRecord> snapshot() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return records_;
    }
    void clear()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.clear();
    }

  protected:
    void append(const log4cplus::spi::InternalLoggingEvent &event) override
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back({to_level(event.getLogLevel()), event.getMessage()});
    }

  private:
    static enum log_level to_level(log4cplus::LogLevel ll)
    {
        if (ll >= log4cplus::ERROR_LOG_LEVEL)
            return LOG_LEVEL_ERROR;
        if (ll >= log4cplus::WARN_LOG_LEVEL)
            return LOG_LEVEL_WARN;
        if (ll >= log4cplus::INFO_LOG_LEVEL)
            return LOG_LEVEL_INFO;
        return LOG_LEVEL_DEBUG;
    }

    mutable std::mutex mutex_;
    std::vector<LogRecord> records_;
};

// Configures logging from a throw-away properties file: every level of the
// "agent" logger enabled, nothing written anywhere but the test appenders.
void init_logging_once()
{
    static std::once_flag once;
    std::call_once(once, [] {
        char dir[] = "/tmp/kvagent-log-XXXXXX";
        if (!mkdtemp(dir))
            throw std::runtime_error("mkdtemp failed");
        std::string path = std::string(dir) + "/log.properties";
        FILE *f = fopen(path.c_str(), "w");
        if (!f)
            throw std::runtime_error("cannot write " + path);
        fputs("log4cplus.rootLogger=DEBUG, null\n"
              "log4cplus.logger.agent=DEBUG\n"
              "log4cplus.appender.null=log4cplus::NullAppender\n",
              f);
        fclose(f);
        int res = log_init_from(path.c_str());
        unlink(path.c_str());
        rmdir(dir);
        if (res != 0)
            throw std::runtime_error("log_init_from failed");
    });
}

RecordingAppender *as_recorder(const log4cplus::SharedAppenderPtr &p)
{
    return static_cast<RecordingAppender *>(p.get());
}

} // namespace

LogCapture::LogCapture()
{
    init_logging_once();
    appender_ = log4cplus::SharedAppenderPtr(new RecordingAppender());
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("agent")).addAppender(appender_);
}

LogCapture::~LogCapture()
{
    log4cplus::Logger::getInstance(LOG4CPLUS_TEXT("agent")).removeAppender(appender_);
}

std::vector<LogRecord> LogCapture::records() const
{
    return as_recorder(appender_)->snapshot();
}

bool LogCapture::contains(enum log_level level, const std::string &text) const
{
    return count(level, text) > 0;
}

int LogCapture::count(enum log_level level, const std::string &text) const
{
    int n = 0;
    for (const LogRecord &r : records())
        if (r.level == level && r.message.find(text) != std::string::npos)
            n++;
    return n;
}

std::vector<std::string> LogCapture::messages(enum log_level level) const
{
    std::vector<std::string> out;
    for (const LogRecord &r : records())
        if (r.level == level)
            out.push_back(r.message);
    return out;
}

void LogCapture::clear()
{
    as_recorder(appender_)->clear();
}
