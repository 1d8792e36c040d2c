// The queue client object against the store double: the seam itself, a new
// object, opening and closing, DelMsg, GetPathName, the destructor, and the
// channel list's lock.
#include <dlfcn.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "client_fixture.h"
#include "mq.h"

namespace clienttest {
namespace {

using Calls = std::vector<std::string>;

TEST_F(ClientTest, ToolkitCallsTheDoubleThroughTheDynamicLink) {
    cMQ q;
    EXPECT_EQ(q.OpenMQChannel("smtpd", "daduv.ini"), MQ_SUCCESS);
    // The toolkit's call arrived in the double, arguments swapped as the
    // store takes them.
    EXPECT_CALLS(Calls{"MQInit(daduv.ini,smtpd)"});

    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<void*>(&MQInit), &info), 0);
    std::string lib = info.dli_fname != nullptr ? info.dli_fname : "";
    EXPECT_NE(lib.find("/tests/client/double/"), std::string::npos)
        << "got MQInit from " << lib << ", want the double's directory";
}

// The object keeps its own copy of the name: the caller's is freed right
// after each open, so a kept pointer is a use after free or a double free,
// and a copy not freed when replaced is a leak (ASan catches all three).
TEST_F(ClientTest, OpenMQChannel) {
    struct Case {
        const char* name;
        std::vector<bool> init;  // the store's answer to each open
        std::vector<int> want;
    } cases[] = {
        {"store ready", {true}, {MQ_SUCCESS}},
        {"store fails", {false}, {MQ_ERR_INIT}},
        {"opened again, then refused", {true, true, false},
         {MQ_SUCCESS, MQ_SUCCESS, MQ_ERR_INIT}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        cMQ q;
        Calls want;
        for (size_t i = 0; i < c.init.size(); ++i) {
            mqdouble::script().init = c.init[i];
            char* app = strdup(("app" + std::to_string(i)).c_str());
            EXPECT_EQ(q.OpenMQChannel(app, "cfg"), c.want[i]) << "open " << i + 1;
            free(app);
            want.push_back("MQInit(cfg,app" + std::to_string(i) + ")");
        }
        EXPECT_CALLS(want);
    }
}

// Opens channel RELAY on q and takes entry 7 from it.
void FetchOne(cMQ& q) {
    mqdouble::script().ids.push_back(7);
    mqdouble::script().envelopes[7] = Env({"a@b.org"}, {"c@d.org"});
    ASSERT_NE(q.GetMsg("RELAY"), nullptr);
}

TEST_F(ClientTest, CloseMQChannel) {
    struct Case {
        const char* name;
        bool read;                        // a message was got and deleted first
        std::vector<bool> closeChannel;   // the store's answers, in turn
        int wantFirst;                    // the first close's result
        Calls wantCalls;                  // of both closes: the store keeps a
                                          // handle it refused to close, and only that one
    } cases[] = {
        {"never read", false, {}, MQ_SUCCESS, {}},
        {"open channel, closed twice", true, {}, MQ_SUCCESS, {"CloseMQChannel(R1)"}},
        {"store refuses, then agrees", true, {false}, MQ_ERR_CLOSE_CHANNEL,
         {"CloseMQChannel(R1)", "CloseMQChannel(R1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        cMQ q;
        if (c.read) {
            FetchOne(q);
            ASSERT_EQ(q.DelMsg(), MQ_SUCCESS);
        }
        for (bool answer : c.closeChannel) mqdouble::script().closeChannel.push_back(answer);
        ForgetCalls();
        EXPECT_EQ(q.CloseMQChannel(), c.wantFirst);
        EXPECT_EQ(q.CloseMQChannel(), MQ_SUCCESS);
        EXPECT_CALLS(c.wantCalls);
    }
}

TEST_F(ClientTest, GetMsgAfterCloseOpensTheChannelAgain) {
    cMQ q;
    FetchOne(q);
    ASSERT_EQ(q.DelMsg(), MQ_SUCCESS);
    ASSERT_EQ(q.CloseMQChannel(), MQ_SUCCESS);
    ForgetCalls();
    EXPECT_EQ(q.GetMsg("RELAY"), nullptr);
    EXPECT_CALLS(Calls{"OpenMQChannel(RELAY)=R2", "GetFirstMessage(R2,false)=0"});
}

TEST_F(ClientTest, DelMsg) {
    struct Case {
        const char* name;
        void (*arrange)(cMQ& q);  // what the object did before DelMsg
        bool remove;              // the store's answer
        int want;
        Calls wantCalls;
    } cases[] = {
        {"nothing fetched", [](cMQ&) {}, true, MQ_ERR_REMOVE, {}},
        {"store removes", FetchOne, true, MQ_SUCCESS,
         {"FreeMQEnvelope(env7)", "RemoveMQChannel(R1)"}},
        {"store refuses", FetchOne, false, MQ_ERR_REMOVE,
         {"FreeMQEnvelope(env7)", "RemoveMQChannel(R1)"}},
        {"at the end of the channel",
         [](cMQ& q) {
             FetchOne(q);
             EXPECT_EQ(q.GetMsg("RELAY"), nullptr);  // nothing further
         },
         true, MQ_ERR_REMOVE, {}},
        // No channel is read, so no entry is current: only the envelope goes.
        {"a looked-up envelope",
         [](cMQ& q) {
             mqdouble::script().envelopes[5] = Env({"a@b.org"}, {"c@d.org"});
             ASSERT_NE(q.GetMsgEnv(5), nullptr);
         },
         true, MQ_ERR_REMOVE, {"FreeMQEnvelope(env5)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        cMQ q;
        c.arrange(q);
        mqdouble::script().remove = c.remove;
        ForgetCalls();
        EXPECT_EQ(q.DelMsg(), c.want);
        EXPECT_CALLS(c.wantCalls);

        // However the first went, a second DelMsg has no current message
        // and no envelope left to release.
        ForgetCalls();
        EXPECT_EQ(q.DelMsg(), MQ_ERR_REMOVE);
        EXPECT_CALLS(Calls{});
        q.CloseMQChannel();
    }
}

TEST_F(ClientTest, AfterDelMsgTheNextGetMsgGivesTheNextEntry) {
    Offer({7, 8});
    Envelope(7, {"a@b.org"}, {"c@d.org"});
    Envelope(8, {"e@f.org"}, {"g@h.org"});
    cMQ q;
    ASSERT_NE(q.GetMsg("RELAY"), nullptr);
    ASSERT_EQ(q.DelMsg(), MQ_SUCCESS);
    cMessage* next = q.GetMsg("RELAY");
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(Addresses(next->getFrom()), "e@f.org");
    EXPECT_STREQ(next->getMsgpath(), mqdouble::IdPath(8, ".msg").c_str());
    q.CloseMQChannel();
}

TEST_F(ClientTest, GetPathName) {
    cMQ q;
    char* got = q.GetPathName(9, ".tmp");
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got, mqdouble::LastPath()) << "want the store's very pointer";
    EXPECT_STREQ(got, mqdouble::IdPath(9, ".msg").c_str());
    EXPECT_CALLS(Calls{"GetMQPathName(9,.msg)"});

    mqdouble::script().idPath = false;
    EXPECT_EQ(q.GetPathName(9, ".msg"), nullptr);
}

TEST_F(ClientTest, DestructorGivesBackWhatTheStoreLent) {
    {
        cMQ q;
        FetchOne(q);
        ForgetCalls();
    }
    EXPECT_CALLS(Calls{"FreeMQEnvelope(env7)", "CloseMQChannel(R1)"});

    mqdouble::Reset();
    mqdouble::SetChannels({"RELAY"});
    {
        cMQ q;
        FetchOne(q);
        ASSERT_EQ(q.DelMsg(), MQ_SUCCESS);
        ASSERT_EQ(q.CloseMQChannel(), MQ_SUCCESS);
        ForgetCalls();
    }
    EXPECT_CALLS(Calls{});
}

// Every walk of the channel list holds OneMQ.csQList: while the test holds
// it, neither operation gets past its channel check to the store.
TEST_F(ClientTest, ChannelWalkWaitsForTheChannelListLock) {
    struct Case {
        const char* name;
        void (*run)(cMQ&);
        std::string firstCall;
    } cases[] = {
        {"PutMsg",
         [](cMQ& q) {
             CallerMessage m({"a@b.org"}, {"c@d.org"});
             q.PutMsg(m.get(), "RELAY");
         },
         "CreateMQEntry()=E1"},
        {"GetMsg", [](cMQ& q) { q.GetMsg("RELAY"); }, "OpenMQChannel(RELAY)=R1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        cMQ q;
        std::atomic<bool> done{false};
        OneMQ.csQList.Lock(0);
        std::thread worker([&] {
            c.run(q);
            done = true;
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_FALSE(done.load());
        EXPECT_CALLS(Calls{});
        OneMQ.csQList.Unlock();
        worker.join();
        std::vector<std::string> calls = mqdouble::Calls();
        ASSERT_FALSE(calls.empty());
        EXPECT_EQ(calls.front(), c.firstCall);
        q.CloseMQChannel();
    }
}

}  // namespace
}  // namespace clienttest
