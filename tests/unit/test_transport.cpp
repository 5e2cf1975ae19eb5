#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <thread>
#include <utility>
#include <vector>

#include "session_fixture.h"

namespace
{

// An object holding one reference for the test besides the one handed over.
json_t *tracked_object(int seq)
{
    json_t *o = json_pack("{s:i}", "seq", seq);
    json_incref(o);
    return o;
}

} // namespace

/* ---- without a session ----------------------------------------------------------- */

TEST(QueueWithoutSession, MessageIsRefusedAndReleased)
{
    LogCapture cap;
    json_t *o = tracked_object(1);
    EXPECT_EQ(agent_enqueue_message(o), -2);
    EXPECT_EQ(o->refcount, 1u);
    json_decref(o);
    EXPECT_EQ(agent_enqueue_result(0, "x"), -2);
}

TEST(QueueWithoutSession, ClosedSessionNoLongerReceives)
{
    psd_ptr p(static_cast<agent_psd *>(calloc(1, sizeof(agent_psd))));
    ASSERT_EQ(session_open(p.get(), nullptr), 0);
    EXPECT_EQ(agent_enqueue_message(json_object()), 0);
    session_close(p.get());
    EXPECT_EQ(p->out_msgs, nullptr);
    json_t *o = tracked_object(2);
    EXPECT_EQ(agent_enqueue_message(o), -2);
    EXPECT_EQ(o->refcount, 1u);
    json_decref(o);
    session_close(p.get()); // a second close is harmless
}

/* ---- queueing ---------------------------------------------------------------------- */

using OutgoingQueue = SessionTest;

TEST_F(OutgoingQueue, MessagesAreQueuedInOrder)
{
    for (int i = 0; i < 5; i++)
        ASSERT_EQ(agent_enqueue_message(json_pack("{s:i}", "seq", i)), 0);
    EXPECT_EQ(queued(), 5u);
    std::vector<std::string> texts = drain_texts();
    ASSERT_EQ(texts.size(), 5u);
    for (int i = 0; i < 5; i++)
        EXPECT_EQ(texts[i], "{\"seq\":" + std::to_string(i) + "}");
    EXPECT_EQ(queued(), 0u);
}

TEST_F(OutgoingQueue, ResultMessages)
{
    ASSERT_EQ(agent_enqueue_result(0, "x"), 0);
    ASSERT_EQ(agent_enqueue_result(-1, "y"), 0);
    ASSERT_EQ(agent_enqueue_result(5, "z"), 0);
    ASSERT_EQ(enqueue_ok_resonse("a", psd.get()), 0);
    ASSERT_EQ(enqueue_err_response("b", psd.get()), 0);
    EXPECT_EQ(drain_texts(), (std::vector<std::string>{
                                 "{\"type\":\"x\",\"ok\":true}",
                                 "{\"type\":\"y\",\"ok\":false}",
                                 "{\"type\":\"z\",\"ok\":false}",
                                 "{\"type\":\"a\",\"ok\":true}",
                                 "{\"type\":\"b\",\"ok\":false}",
                             }));
}

TEST_F(OutgoingQueue, ReconnectFlagIsStored)
{
    ASSERT_EQ(enqueue_result_rec(0, "r1", psd.get(), true), 0);
    ASSERT_EQ(enqueue_result(0, "r2", psd.get()), 0);
    ASSERT_EQ(enqueue_result_rec(-1, "r3", psd.get(), true), 0);
    ASSERT_EQ(agent_enqueue_message(json_object()), 0);
    std::vector<outgoing_message_t> msgs = drain(psd.get());
    ASSERT_EQ(msgs.size(), 4u);
    EXPECT_TRUE(msgs[0].reconnect);
    EXPECT_FALSE(msgs[1].reconnect);
    EXPECT_TRUE(msgs[2].reconnect);
    EXPECT_FALSE(msgs[3].reconnect);
    EXPECT_STREQ(json_string_value(json_object_get(msgs[2].root, "type")), "r3");
    for (outgoing_message_t &m : msgs)
        json_decref(m.root);
}

TEST_F(OutgoingQueue, SentMessagesAreReleased)
{
    json_t *o = tracked_object(1);
    ASSERT_EQ(agent_enqueue_message(o), 0);
    EXPECT_EQ(o->refcount, 2u);
    const outgoing_message_t *m =
        static_cast<const outgoing_message_t *>(lws_ring_get_element(psd->out_msgs, &psd->tail));
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(m->root, o);
    lws_ring_consume_single_tail(psd->out_msgs, &psd->tail, 1);
    EXPECT_EQ(o->refcount, 1u);
    json_decref(o);
}

TEST_F(OutgoingQueue, FullQueueDropsAndReleases)
{
    int accepted = 0;
    json_t *dropped = nullptr;
    for (int i = 0; i < OUT_MSGS_COUNT + 10; i++) {
        json_t *o = tracked_object(i);
        int res = agent_enqueue_message(o);
        if (res == 0) {
            json_decref(o);
            accepted++;
            continue;
        }
        ASSERT_EQ(res, -1);
        dropped = o;
        break;
    }
    ASSERT_NE(dropped, nullptr) << "the queue never filled up";
    EXPECT_GE(accepted, OUT_MSGS_COUNT - 1);
    EXPECT_LE(accepted, OUT_MSGS_COUNT);
    EXPECT_EQ(dropped->refcount, 1u);
    json_decref(dropped);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Dropping message, no free elements in out_msgs buffer"),
              1);

    // Results are dropped the same way; the queue is left as it was.
    EXPECT_EQ(agent_enqueue_result(0, "late"), -1);
    EXPECT_EQ(enqueue_result(0, "late", psd.get()), -1);
    EXPECT_EQ(queued(), static_cast<size_t>(accepted));

    std::vector<outgoing_message_t> msgs = drain(psd.get());
    ASSERT_EQ(msgs.size(), static_cast<size_t>(accepted));
    for (int i = 0; i < accepted; i++) {
        EXPECT_EQ(json_integer_value(json_object_get(msgs[i].root, "seq")), i);
        json_decref(msgs[i].root);
    }
}

TEST_F(OutgoingQueue, OrderIsKeptAcrossTheRingWrapping)
{
    int next_in = 0;
    int next_out = 0;
    for (int round = 0; round < 5; round++) {
        for (int i = 0; i < 700; i++)
            ASSERT_EQ(agent_enqueue_message(json_pack("{s:i}", "seq", next_in++)), 0);
        for (outgoing_message_t &m : drain(psd.get())) {
            EXPECT_EQ(json_integer_value(json_object_get(m.root, "seq")), next_out++);
            json_decref(m.root);
        }
    }
    EXPECT_EQ(next_out, next_in);
}

TEST_F(OutgoingQueue, CloseReleasesUnsentMessages)
{
    std::vector<json_t *> objs;
    for (int i = 0; i < 3; i++) {
        objs.push_back(tracked_object(i));
        ASSERT_EQ(agent_enqueue_message(objs.back()), 0);
    }
    // The first three are sent; two more are still waiting at the close.
    std::vector<outgoing_message_t> first = drain(psd.get());
    ASSERT_EQ(first.size(), 3u);
    for (auto &m : first)
        json_decref(m.root);
    objs.push_back(tracked_object(3));
    ASSERT_EQ(agent_enqueue_message(objs.back()), 0);
    objs.push_back(tracked_object(4));
    ASSERT_EQ(agent_enqueue_message(objs.back()), 0);

    session_close(psd.get());
    for (json_t *o : objs) {
        EXPECT_EQ(o->refcount, 1u);
        json_decref(o);
    }
    EXPECT_EQ(agent_enqueue_message(json_object()), -2);
}

TEST_F(OutgoingQueue, ClosingAnOlderRecordKeepsTheCurrentSession)
{
    psd_ptr newer(static_cast<agent_psd *>(calloc(1, sizeof(agent_psd))));
    ASSERT_EQ(session_open(newer.get(), nullptr), 0);
    struct Closer {
        agent_psd *p;
        ~Closer() { session_close(p); }
    } closer{newer.get()};
    session_close(psd.get()); // the earlier connection goes away late
    psd.reset();

    ASSERT_EQ(agent_enqueue_result(0, "still"), 0);
    EXPECT_EQ(drain_texts(newer.get()),
              std::vector<std::string>{"{\"type\":\"still\",\"ok\":true}"});
    session_close(newer.get());
    EXPECT_EQ(agent_enqueue_result(0, "gone"), -2);
    EXPECT_EQ(newer->out_msgs, nullptr);
}

TEST_F(OutgoingQueue, ConcurrentProducersLoseNothing)
{
    const int threads = 8;
    const int per_thread = (OUT_MSGS_COUNT - 1) / threads;
    std::vector<std::thread> producers;
    std::vector<int> failures(threads, 0);
    for (int t = 0; t < threads; t++) {
        producers.emplace_back([t, per_thread, &failures] {
            for (int i = 0; i < per_thread; i++) {
                json_t *o = json_pack("{s:i, s:i}", "t", t, "i", i);
                if (agent_enqueue_message(o) != 0)
                    failures[t]++;
            }
        });
    }
    for (std::thread &p : producers)
        p.join();
    for (int t = 0; t < threads; t++)
        EXPECT_EQ(failures[t], 0) << "thread " << t;

    std::vector<outgoing_message_t> msgs = drain(psd.get());
    ASSERT_EQ(msgs.size(), static_cast<size_t>(threads * per_thread));
    std::set<std::pair<int, int>> seen;
    std::vector<int> last(threads, -1);
    for (outgoing_message_t &m : msgs) {
        int t = static_cast<int>(json_integer_value(json_object_get(m.root, "t")));
        int i = static_cast<int>(json_integer_value(json_object_get(m.root, "i")));
        json_decref(m.root);
        ASSERT_TRUE(t >= 0 && t < threads);
        EXPECT_TRUE(seen.insert({t, i}).second) << "duplicate " << t << "/" << i;
        EXPECT_GT(i, last[t]) << "thread " << t << " out of order";
        last[t] = i;
    }
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * per_thread));
}
