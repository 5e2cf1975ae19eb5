#include <gtest/gtest.h>

#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "owners.h"
#include "session_fixture.h"

namespace
{

// A valid message of exactly len bytes that dispatch reports as unknown type "zz_unknown".
std::string padded_message(size_t len)
{
    const std::string head = "{\"type\":\"zz_unknown\",\"pad\":\"";
    const std::string tail = "\"}";
    return head + std::string(len - head.size() - tail.size(), 'x') + tail;
}

const char kTooBig[] = "Unable to compose the incomming message, buffer too small";
const char kUnknown[] = "Unknown message received: zz_unknown";

} // namespace

/* ---- reassembly ------------------------------------------------------------------ */

class Reassembly : public SessionTest
{
  protected:
    int receive(const std::string &frag, bool first, bool last)
    {
        return receive_fragment(&vhd, psd.get(), frag.data(), frag.size(), first, last);
    }
};

TEST_F(Reassembly, LargestMessageIsProcessedWhole)
{
    std::string msg = padded_message(IN_MSG_MAX);
    ASSERT_EQ(msg.size(), 16384u);
    EXPECT_EQ(receive(msg, true, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, kUnknown), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
    EXPECT_EQ(psd->in_msg_len, 0u); // ready for the next message
}

TEST_F(Reassembly, LargestMessageInFragments)
{
    std::string msg = padded_message(IN_MSG_MAX);
    EXPECT_EQ(receive(msg.substr(0, 100), true, false), 0);
    EXPECT_EQ(receive(msg.substr(100, 9000), false, false), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0); // nothing processed before the last fragment
    EXPECT_EQ(receive(msg.substr(9100), false, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, kUnknown), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

TEST_F(Reassembly, OneByteTooManyIsDiscardedKeepingTheConnection)
{
    EXPECT_EQ(receive(padded_message(IN_MSG_MAX + 1), true, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, kTooBig), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0); // neither processed nor reported as broken
    EXPECT_EQ(queued(), 0u);
}

TEST_F(Reassembly, OversizedFragmentedMessageThenGoodOne)
{
    std::string big = padded_message(20000);
    EXPECT_EQ(receive(big.substr(0, 8000), true, false), 0);
    EXPECT_EQ(receive(big.substr(8000, 8000), false, false), 0);
    EXPECT_EQ(receive(big.substr(16000), false, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR, kTooBig), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);

    // Overflow on the second fragment: the rest is skipped without more errors.
    cap.clear();
    EXPECT_EQ(receive(big.substr(0, 10000), true, false), 0);
    EXPECT_EQ(receive(big.substr(10000, 9000), false, false), 0);
    EXPECT_EQ(receive(big.substr(19000), false, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 1);

    cap.clear();
    EXPECT_EQ(receive("{\"type\":\"zz_after\"}", true, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Unknown message received: zz_after"), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_ERROR), 0);
}

TEST_F(Reassembly, NewMessageResetsAHalfReceivedOne)
{
    EXPECT_EQ(receive("{\"type\":\"zz_first\",\"pad\":\"", true, false), 0);
    EXPECT_EQ(receive("{\"type\":\"zz_second\"}", true, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Unknown message received: zz_second"), 1);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "zz_first"), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Failed to decode"), 0);

    // The same after a half-received oversized message.
    cap.clear();
    std::string big = padded_message(20000);
    EXPECT_EQ(receive(big.substr(0, 17000), true, false), 0);
    EXPECT_EQ(receive("{\"type\":\"zz_third\"}", true, true), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Unknown message received: zz_third"), 1);
}

TEST_F(Reassembly, AppendRefusesOverflowAndKeepsTheBufferTerminated)
{
    std::string part(IN_MSG_MAX - 1, 'a');
    ASSERT_EQ(inc_msg_append_fragment(part.data(), part.size(), psd.get()), 0);
    ASSERT_EQ(inc_msg_append_fragment("b", 1, psd.get()), 0);
    EXPECT_EQ(psd->in_msg_len, static_cast<size_t>(IN_MSG_MAX));
    EXPECT_EQ(psd->in_msg[IN_MSG_MAX], '\0');
    EXPECT_EQ(psd->in_msg[IN_MSG_MAX - 1], 'b');
    EXPECT_EQ(inc_msg_append_fragment("c", 1, psd.get()), -1);
    EXPECT_TRUE(psd->skip_in_msg);
    EXPECT_EQ(inc_msg_append_fragment("", 0, psd.get()), -1); // stays skipped
    EXPECT_EQ(process_incomming_packets(&vhd, psd.get()), 0);
    inc_msg_reset(psd.get());
    EXPECT_FALSE(psd->skip_in_msg);
    EXPECT_EQ(psd->in_msg_len, 0u);
    EXPECT_EQ(inc_msg_append_fragment("{}", 2, psd.get()), 0);
    EXPECT_STREQ(psd->in_msg, "{}");
}

TEST_F(Reassembly, UndecodableMessageClosesTheConnection)
{
    EXPECT_EQ(receive("{\"type\":", true, true), -1);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "Failed to decode msg - "));
}

/* ---- dispatch ---------------------------------------------------------------------- */

using Dispatch = SessionTest;

TEST_F(Dispatch, UndecodableTextIsRefused)
{
    EXPECT_EQ(dispatch("not json at all"), -1);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Failed to decode msg - "), 1);
}

TEST_F(Dispatch, RootMustBeAnObject)
{
    EXPECT_EQ(dispatch("[{\"type\":\"auth\",\"ok\":true}]"), -1);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN, "Root element must be an object"), 1);
    EXPECT_EQ(dispatch("42"), -1);
    EXPECT_EQ(dispatch("\"auth\""), -1);
    EXPECT_EQ(psd->auth, STATE_UNAUTHENTICATED);
    EXPECT_FALSE(state.authenticated);
}

TEST_F(Dispatch, ErrorMessageFromTheServer)
{
    EXPECT_EQ(dispatch("{\"ok\":false,\"message\":\"boom\"}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "Error message received - boom"));

    cap.clear();
    EXPECT_EQ(dispatch("{\"ok\":false}"), 0);
    std::vector<std::string> warns = cap.messages(LOG_LEVEL_WARN);
    ASSERT_EQ(warns.size(), 1u);
    EXPECT_EQ(warns[0], "Error message received - ");
    EXPECT_EQ(queued(), 0u);
}

TEST_F(Dispatch, MissingOrNonStringTypeIsMalformed)
{
    const char *cases[] = {"{}", "{\"type\":5}", "{\"type\":null,\"ok\":true}",
                           "{\"type\":[\"auth\"]}"};
    for (const char *text : cases) {
        SCOPED_TRACE(text);
        cap.clear();
        EXPECT_EQ(dispatch(text), -1);
        EXPECT_EQ(cap.messages(LOG_LEVEL_WARN),
                  std::vector<std::string>{std::string("Malformed message received: ") + text});
    }
}

TEST_F(Dispatch, KnownTypesWithoutAction)
{
    EXPECT_EQ(dispatch("{\"type\":\"update_firmware\",\"url\":\"x\"}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "Firmware update not supported"));

    cap.clear();
    EXPECT_EQ(dispatch("{\"type\":\"status\"}"), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_WARN), 0);
    EXPECT_EQ(queued(), 0u);
    EXPECT_FALSE(status_report_pending(false));
}

TEST_F(Dispatch, TypeIsCaseSensitive)
{
    EXPECT_EQ(dispatch("{\"type\":\"Auth\",\"ok\":true}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_WARN, "Unknown message received: Auth"));
    EXPECT_EQ(psd->auth, STATE_UNAUTHENTICATED);
    EXPECT_FALSE(state.authenticated);
}

/* ---- authentication and registration ------------------------------------------------ */

using Auth = SessionTest;

TEST_F(Auth, AcceptedLoginAsksForAStatusReport)
{
    psd->auth = STATE_AUTH_MSG_SENT;
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true}"), 0);
    EXPECT_EQ(psd->auth, STATE_AUTHENTICATED);
    EXPECT_TRUE(state.authenticated);
    EXPECT_TRUE(status_report_pending(true));
    EXPECT_TRUE(status_reporting_enabled());
    EXPECT_FALSE(agent_registration_pending());
    EXPECT_EQ(queued(), 0u);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Agent successfully authenticated"));
}

TEST_F(Auth, AcceptedLoginCancelsTheLoginTimeout)
{
    psd->abort_on_timeout = true;
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true}"), 0);
    EXPECT_FALSE(psd->abort_on_timeout);
}

TEST_F(Auth, RefusedLogin)
{
    psd->auth = STATE_AUTH_MSG_SENT;
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":false,\"message\":\"bad key\"}"), -1);
    EXPECT_EQ(cap.messages(LOG_LEVEL_WARN),
              std::vector<std::string>{"Authentication failed: \nbad key"});
    EXPECT_EQ(psd->auth, STATE_UNAUTHENTICATED);
    EXPECT_FALSE(state.authenticated);
    EXPECT_FALSE(status_report_pending(true));
    EXPECT_EQ(queued(), 0u);

    cap.clear();
    psd->auth = STATE_AUTH_MSG_SENT;
    EXPECT_EQ(dispatch("{\"type\":\"auth\"}"), -1);
    EXPECT_EQ(cap.messages(LOG_LEVEL_WARN), std::vector<std::string>{"Authentication failed: \n"});
    EXPECT_EQ(psd->auth, STATE_UNAUTHENTICATED);

    // Only the JSON true value counts as success.
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":\"true\"}"), -1);
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":1}"), -1);
    EXPECT_FALSE(state.authenticated);
}

TEST_F(Auth, RegistrationUploadsTheConfigurationAndHoldsReportsBack)
{
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true,\"registration\":true}"), 0);
    EXPECT_EQ(psd->auth, STATE_AUTHENTICATED);
    EXPECT_TRUE(state.authenticated);
    EXPECT_TRUE(agent_registration_pending());
    EXPECT_FALSE(status_reporting_enabled());
    EXPECT_FALSE(status_report_pending(false));
    EXPECT_EQ(drain_texts(), std::vector<std::string>{"{\"type\":\"update_config\"}"});

    // The server's acknowledgement (even a negative one) ends the registration.
    EXPECT_EQ(dispatch("{\"type\":\"update_config\",\"ok\":false}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Update config failed"));
    EXPECT_TRUE(status_reporting_enabled());
    EXPECT_TRUE(status_report_pending(true));
    EXPECT_FALSE(agent_registration_pending());

    // Later acknowledgements only log.
    cap.clear();
    EXPECT_EQ(dispatch("{\"type\":\"update_config\",\"ok\":true}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Successfully update config on the server"));
    EXPECT_FALSE(status_report_pending(false));
    EXPECT_TRUE(status_reporting_enabled());
    EXPECT_EQ(dispatch("{\"type\":\"update_config\",\"ok\":false}"), 0);
    EXPECT_TRUE(cap.contains(LOG_LEVEL_INFO, "Update config failed"));
    EXPECT_FALSE(status_report_pending(false));
    // Anything but true is a failure.
    cap.clear();
    EXPECT_EQ(dispatch("{\"type\":\"update_config\"}"), 0);
    EXPECT_EQ(dispatch("{\"type\":\"update_config\",\"ok\":1}"), 0);
    EXPECT_EQ(cap.count(LOG_LEVEL_INFO, "Update config failed"), 2);
    EXPECT_EQ(cap.count(LOG_LEVEL_INFO, "Successfully"), 0);
    EXPECT_EQ(queued(), 0u);
}

TEST_F(Auth, RegistrationFlagMustBeABoolean)
{
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true,\"registration\":\"yes\"}"), 0);
    EXPECT_FALSE(agent_registration_pending());
    EXPECT_TRUE(status_reporting_enabled());
    EXPECT_TRUE(status_report_pending(true));
    EXPECT_EQ(queued(), 0u);

    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true,\"registration\":false}"), 0);
    EXPECT_FALSE(agent_registration_pending());
    EXPECT_TRUE(status_report_pending(true));
    EXPECT_EQ(queued(), 0u);
}

TEST_F(Auth, LoginWithoutRegistrationAfterAnUnfinishedOne)
{
    // The connection drops before the server acknowledged the upload; the next
    // login asks for no registration: reporting must resume.
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true,\"registration\":true}"), 0);
    EXPECT_FALSE(status_reporting_enabled());
    session_close(psd.get());
    ASSERT_EQ(session_open(psd.get(), nullptr), 0);

    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true}"), 0);
    EXPECT_FALSE(agent_registration_pending());
    EXPECT_TRUE(status_reporting_enabled());
    EXPECT_TRUE(status_report_pending(true));
}

TEST_F(Auth, RegistrationWithoutSessionFails)
{
    session_close(psd.get());
    EXPECT_EQ(dispatch("{\"type\":\"auth\",\"ok\":true,\"registration\":true}"), -1);
    // Nothing was uploaded, so nothing waits for an acknowledgement.
    EXPECT_FALSE(agent_registration_pending());
    EXPECT_TRUE(status_reporting_enabled());
}

/* ---- the table and the request schemas -------------------------------------------- */

// Every type of the dispatch table has the schema of its request, whose
// "x-reply" states what the table answers (the end-to-end tests hold the
// agent to the schemas), and every request schema names a type of the table.
TEST(DispatchTable, MatchesTheRequestSchemas)
{
    static const char *const reply_names[] = {"result", "on failure", "none", "reconnect"};
    size_t count = 0;
    const struct dispatch_entry *table = dispatch_entries(&count);
    ASSERT_GT(count, 0u);
    std::set<std::string> types;
    for (size_t i = 0; i < count; i++) {
        const struct dispatch_entry &e = table[i];
        SCOPED_TRACE(e.type);
        EXPECT_TRUE(types.insert(e.type).second) << "listed twice";
        EXPECT_NE(e.handler, nullptr);
        ASSERT_LT(static_cast<size_t>(e.reply), sizeof(reply_names) / sizeof(reply_names[0]));
        std::string path = std::string(KVAGENT_SCHEMA_DIR "/server/") + e.type + ".json";
        json_error_t err;
        json_ptr schema(json_load_file(path.c_str(), 0, &err));
        ASSERT_TRUE(schema) << path << ": " << err.text;
        EXPECT_STREQ(json_string_value(json_object_get(schema.get(), "x-reply")),
                     reply_names[e.reply]);
    }
    size_t schemas = 0;
    for (const auto &f : std::filesystem::directory_iterator(KVAGENT_SCHEMA_DIR "/server")) {
        std::string stem = f.path().stem().string();
        if (f.path().extension() != ".json" || stem == "common")
            continue;
        schemas++;
        EXPECT_EQ(types.count(stem), 1u) << "a schema of no dispatched type: " << stem;
    }
    EXPECT_EQ(schemas, count);
}
