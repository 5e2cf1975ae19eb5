// Periodic background threads (status and metrics reporting): one pass of
// work, then a wait of the thread's period that a wake-up or a stop cuts
// short, and again, until stopped. The stop is cooperative: it ends a wait
// at once and otherwise waits for the pass under way.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

struct periodic_thread {
    periodic_thread(const char *name_, int period_units_, void (*pass_)(void),
                    const char *start_failure_)
        : name(name_), period_units(period_units_), pass(pass_), start_failure(start_failure_)
    {
    }

    const char *const name;   // the thread's name (at most 15 characters)
    const int period_units;   // the wait after each pass, in units (see periodic_set_unit_ms)
    void (*const pass)(void); // one pass of work, on the thread
    // ERROR logged when the thread cannot be created; one %d, the error code.
    const char *const start_failure;

    // The thread's own.
    std::thread thread;
    std::mutex mutex;
    std::condition_variable cond;
    std::atomic<bool> running{false};
    bool woken = false; // guarded by mutex
};

// Starts the thread unless it runs (after joining one that ended). 0; aborts
// when no thread can be created. Main thread.
int periodic_start(struct periodic_thread *t);
// Asks the thread to end, cuts its wait short and joins it. Main thread.
void periodic_stop(struct periodic_thread *t);
// Whether the thread is to go on; a pass checks it before a long step.
bool periodic_running(const struct periodic_thread *t);
// Ends the thread's current wait, or the next one when it is in a pass, so
// that the next pass starts at once. Any thread.
void periodic_wake(struct periodic_thread *t);

// The length of one period unit in milliseconds: 1000 (periods are given in
// seconds), shorter in tests. Applies to the waits that begin afterwards.
void periodic_set_unit_ms(int ms);
