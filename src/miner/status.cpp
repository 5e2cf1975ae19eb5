#include "miner/status.h"

#include <atomic>
#include <condition_variable>
#include <mutex>

static std::atomic<bool> reporting_disabled{false};
static std::mutex report_mutex;
static std::condition_variable report_cond;
static bool force_status_report = false; // guarded by report_mutex

int status_report_now(void)
{
    {
        std::lock_guard<std::mutex> lock(report_mutex);
        force_status_report = true;
    }
    report_cond.notify_all();
    return 0;
}

void status_disalbe_reporting(void)
{
    reporting_disabled = true;
}

void status_enable_reporting(void)
{
    reporting_disabled = false;
}

bool status_reporting_enabled(void)
{
    return !reporting_disabled;
}

bool status_report_pending(bool take)
{
    std::lock_guard<std::mutex> lock(report_mutex);
    bool pending = force_status_report;
    if (take)
        force_status_report = false;
    return pending;
}
