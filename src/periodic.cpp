#include "periodic.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <system_error>

#include "log.h"
#include "util.h"

static std::atomic<int> unit_ms{1000};

void periodic_set_unit_ms(int ms)
{
    unit_ms = ms > 0 ? ms : 1000;
}

bool periodic_running(const struct periodic_thread *t)
{
    return t->running;
}

static void periodic_loop(struct periodic_thread *t)
{
    set_thread_name(t->name);
    block_stop_signals();
    while (t->running) {
        t->pass();
        std::unique_lock<std::mutex> lock(t->mutex);
        t->cond.wait_for(lock, std::chrono::milliseconds(t->period_units * unit_ms.load()),
                         [t] { return t->woken || !t->running; });
        t->woken = false;
    }
}

int periodic_start(struct periodic_thread *t)
{
    if (t->running)
        return 0;
    if (t->thread.joinable())
        t->thread.join();
    t->woken = false;
    t->running = true;
    try {
        t->thread = std::thread(periodic_loop, t);
    } catch (const std::system_error &e) {
        char text[128];
        snprintf(text, sizeof(text), t->start_failure, e.code().value());
        LOG_ERROR("%s", text);
        abort();
    }
    return 0;
}

void periodic_stop(struct periodic_thread *t)
{
    if (!t->thread.joinable())
        return;
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->running = false;
    }
    t->cond.notify_all();
    t->thread.join();
}

void periodic_wake(struct periodic_thread *t)
{
    {
        std::lock_guard<std::mutex> lock(t->mutex);
        t->woken = true;
    }
    t->cond.notify_all();
}
