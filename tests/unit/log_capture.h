// Test helper: records what the agent logs through the log4cplus logger "agent".
//
//   LogCapture cap;
//   ... code under test ...
//   EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "text"));
//
// The first LogCapture configures logging once for the whole test process (all
// levels enabled, nothing printed); each instance attaches its own appender for
// its lifetime.
#pragma once

#include <string>
#include <vector>

#include <log4cplus/appender.h>

#include "log.h"

struct LogRecord {
    enum log_level level;
    std::string message;
};

class LogCapture
{
  public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture &) = delete;
    LogCapture &operator=(const LogCapture &) = delete;

    // Whether a line of that level contains text.
    bool contains(enum log_level level, const std::string &text) const;
    // Lines of that level containing text (every line of that level for "").
    int count(enum log_level level, const std::string &text = "") const;
    // Messages of that level, in logging order.
    std::vector<std::string> messages(enum log_level level) const;
    std::vector<LogRecord> records() const;
    void clear();

  private:
    log4cplus::SharedAppenderPtr appender_;
};
