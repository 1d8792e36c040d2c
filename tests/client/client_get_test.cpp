// GetMsg and GetMsgEnv against the store double: opening and reading a
// channel, what each failure leaves, how the message is filled from an
// envelope, and what becomes of envelopes and users from one call to the
// next.
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "client_fixture.h"

namespace clienttest {
namespace {

using Calls = std::vector<std::string>;

// The log goes to a file the tests can read (in place of the standard error
// the suite's default names); set before anything logs, since the logger
// picks its destination once, at its first line.
const bool g_logToFile = setenv("MQ_LOG", MQTEST_CLIENT_LOG, 1) == 0;

TEST_F(ClientTest, GetMsgReadsTheFirstEntry) {
    Offer({7});
    Envelope(7, {"alice@example.org", "second@example.org"},
             {"bob@example.org", "carol@example.org", "dave@example.org"});
    cMQ q;
    cMessage* got = q.GetMsg("relay");
    ASSERT_NE(got, nullptr);
    EXPECT_READER_CALLS(Calls{"OpenMQChannel(relay)=R1", "GetFirstMessage(R1,false)=7", "GetMQEnvelope(7)",
                       "GetMQPathName(7,.msg)"});
    EXPECT_EQ(Addresses(got->getFrom()), "alice@example.org second@example.org");
    EXPECT_EQ(Addresses(got->getTo()), "bob@example.org carol@example.org dave@example.org");
    cUserInfo* u = got->getTo()->getFirst();
    EXPECT_EQ(u->getName(), nullptr);
    EXPECT_EQ(u->getQueueName(), nullptr);
    EXPECT_STREQ(got->getMsgpath(), mqdouble::IdPath(7, ".msg").c_str());
    q.CloseMQChannel();
}

TEST_F(ClientTest, GetMsgWithAnUnknownChannel) {
    struct Case {
        const char* name;
        std::vector<std::string> channels;
        const char* out;
    } cases[] = {
        {"empty channel list", {}, "RELAY"},
        {"unregistered name", {"RELAY"}, "bounce"},
        {"longer than 19", {"ABCDEFGHIJKLMNOPQRS"}, "ABCDEFGHIJKLMNOPQRST"},
        {"null name", {"RELAY"}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels(c.channels);
        cMQ q;
        EXPECT_EQ(q.GetMsg(c.out), nullptr);
        EXPECT_CALLS(Calls{});
        // Nothing was opened: once the name is known, the channel opens.
        mqdouble::SetChannels({"RELAY"});
        EXPECT_EQ(q.GetMsg("RELAY"), nullptr);
        EXPECT_CALLS(Calls{"OpenMQChannel(RELAY)=R1", "GetFirstMessage(R1,false)=0"});
        q.CloseMQChannel();
    }
}

// A misspelled channel must not look just like an empty queue: the first
// GetMsg of each unknown name logs a warning, later ones stay quiet.
TEST_F(ClientTest, UnknownChannelIsWarnedAboutOncePerName) {
    ASSERT_TRUE(g_logToFile);
    mqdouble::SetChannels({"RELAY"});
    // Names of this run alone: the log file outlives it.
    std::string bounce = "bounce" + std::to_string(getpid());
    std::string other = "other" + std::to_string(getpid());
    cMQ q;
    for (const std::string& name : {bounce, bounce, std::string("BOUNCE") + bounce.substr(6), other}) {
        EXPECT_EQ(q.GetMsg(name.c_str()), nullptr) << name;
    }
    std::ifstream in(std::getenv("MQ_LOG"));
    std::ostringstream text;
    text << in.rdbuf();
    int bounces = 0, others = 0;
    std::istringstream lines(text.str());
    for (std::string line; std::getline(lines, line);) {
        if (line.find("is not in the channel list") == std::string::npos) continue;
        EXPECT_NE(line.find("warning"), std::string::npos) << line;
        bounces += line.find("\"" + bounce + "\"") != std::string::npos;
        others += line.find("\"" + other + "\"") != std::string::npos;
    }
    EXPECT_EQ(bounces, 1) << "want one warning for " << bounce << ", letter case ignored:\n"
                          << text.str();
    EXPECT_EQ(others, 1) << text.str();
}

TEST_F(ClientTest, AfterTheMessageWentAwayTheNextCallsMakeANewOne) {
    Offer({7});
    Envelope(7, {"a@b.org"}, {"c@d.org"});
    Envelope(9, {"e@f.org"}, {"g@h.org"});
    {
        SCOPED_TRACE("GetMsg");
        cMQ q;
        ASSERT_EQ(q.GetMsg("bounce"), nullptr);
        cMessage* got = q.GetMsg("RELAY");
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(Addresses(got->getTo()), "c@d.org");
        q.CloseMQChannel();
    }
    {
        SCOPED_TRACE("GetMsgEnv");
        cMQ q;
        ASSERT_EQ(q.GetMsg("bounce"), nullptr);
        cMessage* got = q.GetMsgEnv(9);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(Addresses(got->getFrom()), "e@f.org");
        EXPECT_EQ(got->getMsgpath(), nullptr);
    }
    {
        SCOPED_TRACE("an unknown name with a message filled");
        Offer({7});
        cMQ q;
        ASSERT_NE(q.GetMsg("RELAY"), nullptr);
        EXPECT_EQ(q.GetMsg("bounce"), nullptr);
        // The first message's users went with it: a lookup starts afresh.
        cMessage* got = q.GetMsgEnv(9);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(Addresses(got->getFrom()), "e@f.org");
        EXPECT_EQ(Addresses(got->getTo()), "g@h.org");
        q.CloseMQChannel();
    }
}

// GetMsg after GetMsg: which store calls each makes, by the channel name
// given and what the channel holds.
TEST_F(ClientTest, SuccessiveGetMsgCalls) {
    struct Case {
        const char* name;
        std::vector<unsigned long> offer;  // the entries the channel hands out
        std::vector<const char*> gets;     // GetMsg's channel names, in turn
        std::vector<bool> wantMessage;     // whether each returns a message
        Calls wantCalls;
    } cases[] = {
        {"letter case ignored", {7}, {"Relay"}, {true},
         {"OpenMQChannel(Relay)=R1", "GetFirstMessage(R1,false)=7", "GetMQEnvelope(7)",
          "GetMQPathName(7,.msg)"}},
        {"an empty channel moves on to GetNextMessage", {}, {"RELAY", "RELAY"}, {false, false},
         {"OpenMQChannel(RELAY)=R1", "GetFirstMessage(R1,false)=0",
          "GetNextMessage(R1,false)=0"}},
        {"another channel name goes on reading the opened channel", {7, 8}, {"RELAY", "local"},
         {true, true},
         {"OpenMQChannel(RELAY)=R1", "GetFirstMessage(R1,false)=7", "GetMQEnvelope(7)",
          "GetMQPathName(7,.msg)", "FreeMQEnvelope(env7)", "GetNextMessage(R1,false)=8",
          "GetMQEnvelope(8)", "GetMQPathName(8,.msg)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY", "local"});
        Offer(c.offer);
        for (unsigned long id : c.offer) Envelope(id, {"a@b.org"}, {"c@d.org"});
        cMQ q;
        ForgetCalls();
        for (size_t i = 0; i < c.gets.size(); ++i) {
            EXPECT_EQ(q.GetMsg(c.gets[i]) != nullptr, c.wantMessage[i]) << "GetMsg " << i + 1;
        }
        EXPECT_READER_CALLS(c.wantCalls);
        q.CloseMQChannel();
    }
}

TEST_F(ClientTest, FailedOpenIsTriedAgain) {
    Envelope(5, {"a@b.org"}, {"c@d.org"});
    mqdouble::script().open = false;
    cMQ q;
    cMessage* held = q.GetMsgEnv(5);
    ASSERT_NE(held, nullptr);
    ForgetCalls();
    EXPECT_EQ(q.GetMsg("RELAY"), nullptr);
    // Only an unknown channel takes the message away: the caller's pointer
    // stays good (ASan would catch it freed), emptied.
    EXPECT_EQ(held->getFrom(), nullptr);
    EXPECT_EQ(held->getTo(), nullptr);
    EXPECT_EQ(q.CloseMQChannel(), MQ_SUCCESS) << "no handle to close";
    EXPECT_CALLS(Calls{"OpenMQChannel(RELAY)=null"});
    mqdouble::script().open = true;
    ForgetCalls();
    EXPECT_EQ(q.GetMsg("RELAY"), nullptr);
    // When the looked-up envelope goes back is the object's own business.
    Calls opening;
    for (const std::string& call : mqdouble::Calls()) {
        if (call.rfind("FreeMQEnvelope(", 0) != 0) opening.push_back(call);
    }
    EXPECT_EQ(opening, (Calls{"OpenMQChannel(RELAY)=R1", "GetFirstMessage(R1,false)=0"}));
    q.CloseMQChannel();
}

TEST_F(ClientTest, FillingTheMessageFromAnEnvelope) {
    struct Case {
        const char* name;
        std::vector<std::string> from, to;
        std::string wantFrom, wantTo;
    } cases[] = {
        {"two senders, three recipients", {"a@b.org", "c@d.org"},
         {"e@f.org", "g@h.org", "i@j.org"}, "a@b.org c@d.org", "e@f.org g@h.org i@j.org"},
        {"address with a space", {"a@b.org"}, {"bad address@x.org", "e@f.org"}, "a@b.org",
         "(none) e@f.org"},
        {"null address", {"(null)"}, {"e@f.org"}, "(none)", "e@f.org"},
        {"null sender address", {"<>"}, {"e@f.org"}, "<>", "e@f.org"},
        {"no recipients", {"a@b.org"}, {}, "a@b.org", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        Offer({3});
        Envelope(3, c.from, c.to);
        cMQ q;
        cMessage* got = q.GetMsg("RELAY");
        ASSERT_NE(got, nullptr);
        ASSERT_NE(got->getTo(), nullptr) << "an empty header, never a null one";
        EXPECT_EQ(Addresses(got->getFrom()), c.wantFrom);
        EXPECT_EQ(Addresses(got->getTo()), c.wantTo);
        q.CloseMQChannel();
    }
}

TEST_F(ClientTest, SecondMessageReplacesTheFirst) {
    Offer({7, 8});
    Envelope(7, {"a@b.org"}, {"c@d.org", "e@f.org"});
    Envelope(8, {"g@h.org"}, {"i@j.org"});
    cMQ q;
    cMessage* first = q.GetMsg("RELAY");
    ASSERT_NE(first, nullptr);
    cMessage* second = q.GetMsg("RELAY");
    EXPECT_EQ(second, first);
    EXPECT_EQ(Addresses(second->getFrom()), "g@h.org");
    EXPECT_EQ(Addresses(second->getTo()), "i@j.org");
    EXPECT_STREQ(second->getMsgpath(), mqdouble::IdPath(8, ".msg").c_str());
    EXPECT_EQ(mqdouble::LiveEnvelopes(), 1) << "the first envelope must go back to the store";
    q.CloseMQChannel();
}

// A GetMsg that finds no message empties the message and keeps nothing of
// the store's; and nothing is current, so DelMsg removes nothing, whatever
// the caller looked up since (a failed envelope read must not delete mail: the entry stays in the store, and the
// next call moves on).
TEST_F(ClientTest, GetMsgWithoutAMessage) {
    struct Case {
        const char* name;
        std::vector<unsigned long> offer;
        std::vector<unsigned long> readable;  // the entries whose envelope can be read
        bool idPath;                          // the store names entry files
        int before;                           // GetMsg calls that find a message first
        unsigned long next;                   // what the next GetMsg finds; 0: nothing
    } cases[] = {
        {"the end of the channel", {7}, {7}, true, 1, 0},
        {"an unreadable envelope", {7, 8}, {8}, true, 0, 8},
        {"an entry without a path", {7}, {7}, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY", "local"});
        Offer(c.offer);
        for (unsigned long id : c.readable) Envelope(id, {"a@b.org"}, {"c@d.org"});
        mqdouble::script().idPath = c.idPath;
        Envelope(5, {"x@y.org"}, {"z@y.org"});
        cMQ q;
        cMessage* m = q.GetMsgEnv(5);  // the message the caller holds
        ASSERT_NE(m, nullptr);
        for (int i = 0; i < c.before; ++i) ASSERT_EQ(q.GetMsg("RELAY"), m);
        EXPECT_EQ(q.GetMsg("RELAY"), nullptr);
        EXPECT_EQ(m->getFrom(), nullptr);
        EXPECT_EQ(m->getTo(), nullptr);
        EXPECT_EQ(m->getMsgpath(), nullptr);
        EXPECT_EQ(mqdouble::LiveEnvelopes(), 0) << "an envelope kept from the store";
        EXPECT_EQ(q.DelMsg(), MQ_ERR_REMOVE);
        // Nor once the caller looked an envelope up by its identifier.
        ASSERT_EQ(q.GetMsgEnv(5), m);
        EXPECT_EQ(q.DelMsg(), MQ_ERR_REMOVE);
        cMessage* next = q.GetMsg("RELAY");
        ASSERT_EQ(next != nullptr, c.next != 0) << "the next GetMsg";
        if (next != nullptr) {
            EXPECT_STREQ(next->getMsgpath(), mqdouble::IdPath(c.next, ".msg").c_str());
        }
        for (const std::string& call : mqdouble::Calls()) {
            EXPECT_EQ(call.find("RemoveMQChannel"), std::string::npos) << "got " << call;
        }
        // No user of an emptied message lingers in the object's headers: a
        // lookup adds to what the last GetMsg left, and only to that.
        ASSERT_EQ(q.GetMsgEnv(5), m);
        EXPECT_EQ(Addresses(m->getFrom()), c.next != 0 ? "a@b.org x@y.org" : "x@y.org");
        q.CloseMQChannel();
    }
}

TEST_F(ClientTest, GetMsgEnvAppendsToTheCurrentMessage) {
    Offer({7});
    Envelope(7, {"a@b.org"}, {"c@d.org", "e@f.org"});
    mqdouble::script().envelopes[5] = {{{"g@h.org", "RELAY"}}, {{"i@j.org", ""}}};
    cMQ q;
    cMessage* current = q.GetMsg("RELAY");
    ASSERT_NE(current, nullptr);
    ForgetCalls();
    cMessage* got = q.GetMsgEnv(5);
    ASSERT_EQ(got, current);
    EXPECT_READER_CALLS(Calls{"GetMQEnvelope(5)", "FreeMQEnvelope(env7)"});
    EXPECT_EQ(Addresses(got->getFrom()), "a@b.org g@h.org");
    EXPECT_EQ(Addresses(got->getTo()), "c@d.org e@f.org i@j.org");
    EXPECT_STREQ(got->getMsgpath(), mqdouble::IdPath(7, ".msg").c_str()) << "path not touched";

    cUserInfo* sender = got->getFrom()->get("g@h.org");
    ASSERT_NE(sender, nullptr);
    EXPECT_STREQ(sender->getQueueName(), "RELAY");
    cUserInfo* recipient = got->getTo()->get("i@j.org");
    ASSERT_NE(recipient, nullptr);
    ASSERT_NE(recipient->getQueueName(), nullptr) << "an empty queue name, not a missing one";
    EXPECT_STREQ(recipient->getQueueName(), "");

    // DelMsg still acts on the channel's current entry.
    ForgetCalls();
    EXPECT_EQ(q.DelMsg(), MQ_SUCCESS);
    EXPECT_READER_CALLS(Calls{"FreeMQEnvelope(env5)", "RemoveMQChannel(R1)"});
    q.CloseMQChannel();
}

TEST_F(ClientTest, GetMsgEnvOnAFreshObject) {
    Envelope(5, {"a@b.org"}, {"c@d.org"});
    cMQ q;
    cMessage* got = q.GetMsgEnv(5);
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(Addresses(got->getFrom()), "a@b.org");
    EXPECT_EQ(Addresses(got->getTo()), "c@d.org");
    EXPECT_EQ(got->getMsgpath(), nullptr);
    EXPECT_CALLS(Calls{"GetMQEnvelope(5)"});
}

TEST_F(ClientTest, GetMsgEnvOfAnUnreadableEntryChangesNothing) {
    Offer({7});
    Envelope(7, {"a@b.org"}, {"c@d.org"});
    cMQ q;
    cMessage* m = q.GetMsg("RELAY");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(q.GetMsgEnv(99), nullptr);
    EXPECT_EQ(Addresses(m->getFrom()), "a@b.org");
    EXPECT_EQ(Addresses(m->getTo()), "c@d.org");
    EXPECT_STREQ(m->getMsgpath(), mqdouble::IdPath(7, ".msg").c_str());
    // The current envelope stays current: DelMsg releases it and removes 7.
    ForgetCalls();
    EXPECT_EQ(q.DelMsg(), MQ_SUCCESS);
    EXPECT_READER_CALLS(Calls{"FreeMQEnvelope(env7)", "RemoveMQChannel(R1)"});
    q.CloseMQChannel();
}

}  // namespace
}  // namespace clienttest
