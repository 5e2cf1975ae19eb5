// Test helper: a server session without a real connection, for the outgoing
// queue, reassembly and dispatch tests.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include <jansson.h>

#include "agent.h"
#include "handlers.h"
#include "log_capture.h"
#include "miner/status.h"
#include "owners.h"
#include "protocol.h"

// The connection record comes zeroed from the library, as raw memory.
using psd_ptr = malloc_ptr<agent_psd>;

class SessionTest : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        reset_module_state();
        psd.reset(static_cast<agent_psd *>(calloc(1, sizeof(agent_psd))));
        ASSERT_TRUE(psd);
        ASSERT_EQ(session_open(psd.get(), nullptr), 0);
        vhd.state = &state;
        cap.clear();
    }

    void TearDown() override
    {
        if (psd)
            session_close(psd.get());
        reset_module_state();
    }

    // Module-wide switches a test may have left behind.
    static void reset_module_state()
    {
        if (agent_registration_pending())
            agent_update_config(nullptr, json_false()); // ends the registration
        status_enable_reporting();
        status_report_pending(true);
    }

    // Takes every queued message off the ring, oldest first (producers on
    // other threads may be queueing meanwhile).
    static std::vector<outgoing_message_t> drain(agent_psd *p)
    {
        std::lock_guard<std::mutex> lock(p->msgs_lock);
        std::vector<outgoing_message_t> out;
        for (;;) {
            const outgoing_message_t *m = static_cast<const outgoing_message_t *>(
                lws_ring_get_element(p->out_msgs, &p->tail));
            if (!m)
                break;
            outgoing_message_t copy = *m;
            json_incref(copy.root); // consuming releases the queue's reference
            out.push_back(copy);
            lws_ring_consume_single_tail(p->out_msgs, &p->tail, 1);
        }
        return out;
    }

    // The queued messages as compact JSON texts, oldest first.
    std::vector<std::string> drain_texts() { return drain_texts(psd.get()); }
    static std::vector<std::string> drain_texts(agent_psd *p)
    {
        std::vector<std::string> out;
        for (outgoing_message_t &m : drain(p)) {
            json_ptr owned(m.root);
            text_ptr text(json_dumps(m.root, JSON_COMPACT));
            out.emplace_back(text ? text.get() : "(null)");
        }
        return out;
    }

    size_t queued() const { return lws_ring_get_count_waiting_elements(psd->out_msgs, &psd->tail); }

    // Puts text in the reassembly buffer as one complete message and dispatches it.
    int dispatch(const std::string &text)
    {
        inc_msg_reset(psd.get());
        EXPECT_EQ(inc_msg_append_fragment(text.data(), text.size(), psd.get()), 0);
        return process_incomming_packets(&vhd, psd.get());
    }

    LogCapture cap;
    psd_ptr psd;
    agent_state state{};
    agent_vhd vhd{};
};
