// PutMsg and GetMsgDest against the store double: the call sequence of a
// put, the envelope the store is given, each failure's result and clean-up,
// and the rewriting of the put path.
#include <cstdlib>
#include <cstring>

#include "client_fixture.h"

namespace clienttest {
namespace {

using Calls = std::vector<std::string>;

TEST_F(ClientTest, PutMsgSucceeds) {
    CallerMessage m({"alice@example.org", "second@example.org"},
                    {"bob@example.org", "carol@example.org", "dave@example.org"});
    cMQ q;
    ASSERT_EQ(q.PutMsg(m.get(), "relay"), MQ_SUCCESS);
    // The caller's spelling goes to the store, not the registered "RELAY".
    EXPECT_CALLS(Calls{"CreateMQEntry()=E1", "InsertMQChannel(E1,relay,0)", "PutMQEnvelope(E1)",
                       "GetMQPathName(E1,.msg)", "CloseMQEntry(E1)"});

    std::vector<mqdouble::PutRecord> puts = mqdouble::Puts();
    ASSERT_EQ(puts.size(), 1u);
    const mqdouble::PutRecord& p = puts[0];
    ASSERT_EQ(p.from.size(), 1u) << "only the first sender is put";
    EXPECT_EQ(p.from[0].addressPtr, m.user(0)->getLan_addr()) << "want the user's own string";
    EXPECT_EQ(p.from[0].envid, "");
    EXPECT_EQ(p.from[0].lan_address, "");
    EXPECT_EQ(p.from[0].szQueue, "");
    EXPECT_EQ(p.from[0].ret, 0);
    EXPECT_EQ(p.from[0].body, 0);
    ASSERT_EQ(p.to.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(p.to[i].addressPtr, m.user(2 + i)->getLan_addr()) << "got another string or order";
        EXPECT_EQ(p.to[i].orcpt, "");
        EXPECT_EQ(p.to[i].lan_address, "");
        EXPECT_EQ(p.to[i].szQueue, "");
        EXPECT_EQ(p.to[i].notify, 0);
    }
    EXPECT_EQ(p.dwSize, 0u);

    // What the caller then gets of the new entry: its message file's path,
    // the object's own copy of it.
    const char* dest = q.GetMsgDest(".msg");
    ASSERT_NE(dest, nullptr);
    EXPECT_STREQ(dest, mqdouble::EntryPath(1, ".msg").c_str());
    EXPECT_NE(dest, mqdouble::LastPath()) << "want the object's own copy";
}

TEST_F(ClientTest, SecondPutReplacesThePath) {
    CallerMessage m({"alice@example.org"}, {"bob@example.org"});
    cMQ q;
    ASSERT_EQ(q.PutMsg(m.get(), "RELAY"), MQ_SUCCESS);
    ASSERT_EQ(q.PutMsg(m.get(), "local"), MQ_SUCCESS);
    // The first path is freed (the leak check).
    EXPECT_STREQ(q.GetMsgDest(".msg"), mqdouble::EntryPath(2, ".msg").c_str());
}

TEST_F(ClientTest, PutMsgFailures) {
    const char* kLong19 = "ABCDEFGHIJKLMNOPQRS";
    struct Case {
        const char* name;
        std::vector<const char*> senders, recipients;
        bool nullFrom, nullTo;
        const char* channel;
        void (*script)(mqdouble::Script&);
        int want;
        Calls wantCalls;
    } cases[] = {
        {"unregistered channel", {"a@b.org"}, {"c@d.org"}, false, false, "bounce", nullptr,
         MQ_ERR_NO_CHANNEL, {}},
        {"name longer than 19 never matches", {"a@b.org"}, {"c@d.org"}, false, false,
         "ABCDEFGHIJKLMNOPQRST", nullptr, MQ_ERR_NO_CHANNEL, {}},
        {"null channel name", {"a@b.org"}, {"c@d.org"}, false, false, nullptr, nullptr,
         MQ_ERR_NO_CHANNEL, {}},
        {"entry not created", {"a@b.org"}, {"c@d.org"}, false, false, "RELAY",
         [](mqdouble::Script& s) { s.create = false; }, MQ_ERR_CREATE_ENTRY,
         {"CreateMQEntry()=null"}},
        {"sender header null", {"a@b.org"}, {"c@d.org"}, true, false, "RELAY", nullptr,
         MQ_ERR_NO_SENDER, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"sender header empty", {}, {"c@d.org"}, false, false, "RELAY", nullptr,
         MQ_ERR_NO_SENDER, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"first sender without address", {nullptr, "a@b.org"}, {"c@d.org"}, false, false,
         "RELAY", nullptr, MQ_ERR_NO_SENDER, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"recipient header null", {"a@b.org"}, {"c@d.org"}, false, true, "RELAY", nullptr,
         MQ_ERR_NO_RECIPIENT, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"recipient header without users", {"a@b.org"}, {}, false, false, "RELAY", nullptr,
         MQ_ERR_NO_RECIPIENT, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"last recipient without address", {"a@b.org"}, {"c@d.org", "e@f.org", nullptr}, false,
         false, "RELAY", nullptr, MQ_ERR_NO_RECIPIENT,
         {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        // The address check passes these; the put refuses them before the
        // store sees anything (addrchars.h).
        {"sender with a line end", {"a@b.org\r\nRSET"}, {"c@d.org"}, false, false, "RELAY",
         nullptr, MQ_ERR_BAD_ADDRESS, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"second recipient with a tab", {"a@b.org"}, {"c@d.org", "e@f.org\tx"}, false, false,
         "RELAY", nullptr, MQ_ERR_BAD_ADDRESS, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"recipient with DEL", {"a@b.org"}, {"c@d.org\x7f"}, false, false, "RELAY", nullptr,
         MQ_ERR_BAD_ADDRESS, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"recipient with an escape", {"a@b.org"}, {"c@d.org\x1b[2J"}, false, false, "RELAY",
         nullptr, MQ_ERR_BAD_ADDRESS, {"CreateMQEntry()=E1", "DiscardMQEntry(E1)"}},
        {"insert refused", {"a@b.org"}, {"c@d.org"}, false, false, "RELAY",
         [](mqdouble::Script& s) { s.insert = false; }, MQ_ERR_INSERT_CHANNEL,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,RELAY,0)", "DiscardMQEntry(E1)"}},
        {"envelope refused", {"a@b.org"}, {"c@d.org"}, false, false, "RELAY",
         [](mqdouble::Script& s) { s.putEnvelope = false; }, MQ_ERR_PUT_ENVELOPE,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,RELAY,0)", "PutMQEnvelope(E1)",
          "DiscardMQEntry(E1)"}},
        {"no path for the entry", {"a@b.org"}, {"c@d.org"}, false, false, "RELAY",
         [](mqdouble::Script& s) { s.entryPath = false; }, MQ_ERR_CLOSE_ENTRY,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,RELAY,0)", "PutMQEnvelope(E1)",
          "GetMQPathName(E1,.msg)", "DiscardMQEntry(E1)"}},
        {"close refused", {"a@b.org"}, {"c@d.org"}, false, false, "RELAY",
         [](mqdouble::Script& s) { s.closeEntry = false; }, MQ_ERR_CLOSE_ENTRY,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,RELAY,0)", "PutMQEnvelope(E1)",
          "GetMQPathName(E1,.msg)", "CloseMQEntry(E1)", "DiscardMQEntry(E1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY", kLong19});
        if (c.script != nullptr) c.script(mqdouble::script());
        CallerMessage m(c.senders, c.recipients, c.nullFrom, c.nullTo);
        cMQ q;
        EXPECT_EQ(q.PutMsg(m.get(), c.channel), c.want);
        EXPECT_CALLS(c.wantCalls);
        // The records built so far are gone (leak check) and the caller's
        // message still lists its recipients.
        std::string want;
        for (const char* r : c.recipients) {
            if (!want.empty()) want += ' ';
            want += r != nullptr ? r : "(none)";
        }
        EXPECT_EQ(Addresses(m.get()->getTo()), c.nullTo ? "(no header)" : want);
    }
}

TEST_F(ClientTest, PutMsgWithoutMessageIsRefusedAsWithoutSender) {
    cMQ q;
    EXPECT_EQ(q.PutMsg(nullptr, "RELAY"), MQ_ERR_NO_SENDER);
    EXPECT_CALLS(Calls{"CreateMQEntry()=E1", "DiscardMQEntry(E1)"});
}

// What a failed put leaves in path: the earlier put's path while the new
// entry has none yet, the new path once the store gave it, and never a
// path of an earlier entry when the new one has none.
TEST_F(ClientTest, PathAfterAFailedPut) {
    struct Case {
        const char* name;
        void (*script)(mqdouble::Script&);
        int want;
        const char* wantPath;  // null: no path
    } cases[] = {
        {"envelope refused", [](mqdouble::Script& s) { s.putEnvelope = false; },
         MQ_ERR_PUT_ENVELOPE, "/var/spool/mq/msg/entry1.msg"},
        {"no path", [](mqdouble::Script& s) { s.entryPath = false; }, MQ_ERR_CLOSE_ENTRY,
         nullptr},
        {"close refused", [](mqdouble::Script& s) { s.closeEntry = false; }, MQ_ERR_CLOSE_ENTRY,
         "/var/spool/mq/msg/entry2.msg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        CallerMessage m({"a@b.org"}, {"c@d.org"});
        cMQ q;
        ASSERT_EQ(q.PutMsg(m.get(), "RELAY"), MQ_SUCCESS);
        c.script(mqdouble::script());
        EXPECT_EQ(q.PutMsg(m.get(), "RELAY"), c.want);
        if (c.wantPath == nullptr) {
            EXPECT_EQ(q.GetMsgDest(".msg"), nullptr);
        } else {
            ASSERT_NE(q.GetMsgDest(".msg"), nullptr);
            EXPECT_STREQ(q.GetMsgDest(".msg"), c.wantPath);
        }
    }
}

TEST_F(ClientTest, GetMsgDestBeforeAnyPut) {
    cMQ q;
    for (const char* ext : {".msg", ".tmp", ""}) EXPECT_EQ(q.GetMsgDest(ext), nullptr) << ext;
    EXPECT_EQ(q.GetMsgDest(nullptr), nullptr);
}

TEST_F(ClientTest, GetMsgDestRewritesTheExtension) {
    const std::string base = "/var/spool/mq/msg/entry1";
    struct Case {
        std::vector<const char*> exts;  // asked in this order; the last one is checked
        const char* wantTail;           // after base; null: null result
    } cases[] = {
        {{".tmp"}, ".tmp"},
        {{".msg"}, ".msg"},
        {{".MSG"}, ".msg"},
        {{".abcd"}, ".abc"},
        {{"xtmp"}, ".tmp"},
        {{".ab"}, ".ab"},
        {{".a"}, ".a"},
        {{"."}, "."},
        {{""}, nullptr},
        {{".a/b"}, nullptr},
        {{"./x", ".msg"}, ".msg"},
        {{".tmp", ".msg"}, ".msg"},
        {{".tmp", ".Msg"}, ".msg"},
        {{".ab", ".tmp"}, ".tmp"},
        {{".", ".msg"}, ".msg"},
    };
    CallerMessage m({"a@b.org"}, {"c@d.org"});
    cMQ q;
    ASSERT_EQ(q.PutMsg(m.get(), "RELAY"), MQ_SUCCESS);
    char* own = q.GetMsgDest(".msg");
    ASSERT_NE(own, nullptr);
    for (const Case& c : cases) {
        std::string trace;
        char* got = nullptr;
        for (const char* e : c.exts) {
            trace += std::string(" \"") + e + "\"";
            // Heap copies, so that a read past a short extension is caught.
            char* ext = strdup(e);
            got = q.GetMsgDest(ext);
            std::free(ext);
        }
        SCOPED_TRACE("extensions" + trace);
        if (c.wantTail == nullptr) {
            EXPECT_EQ(got, nullptr);
            continue;
        }
        ASSERT_EQ(got, own) << "want the object's own path";
        EXPECT_EQ(std::string(got), base + c.wantTail);
    }
}

TEST_F(ClientTest, GetMsgDestNeverWritesBeforeAShortPath) {
    mqdouble::script().entryPathText = "ab";
    CallerMessage m({"a@b.org"}, {"c@d.org"});
    cMQ q;
    ASSERT_EQ(q.PutMsg(m.get(), "RELAY"), MQ_SUCCESS);
    EXPECT_EQ(q.GetMsgDest(".tmp"), nullptr);
    ASSERT_NE(q.GetMsgDest(".msg"), nullptr);
    EXPECT_STREQ(q.GetMsgDest(".msg"), "ab");
}

// A store whose path has a shorter extension than ".msg": the rewrite must
// stay inside the cMQ's copy (the sanitizer checks the bytes).
TEST_F(ClientTest, GetMsgDestStaysInsideAPathWithAShortExtension) {
    mqdouble::script().entryPathText = "/q/1.m";
    CallerMessage m({"a@b.org"}, {"c@d.org"});
    cMQ q;
    ASSERT_EQ(q.PutMsg(m.get(), "RELAY"), MQ_SUCCESS);
    EXPECT_STREQ(q.GetMsgDest(".tmp"), "/q/1.tmp");
    EXPECT_STREQ(q.GetMsgDest(".msg"), "/q/1.msg");
}

}  // namespace
}  // namespace clienttest

namespace clienttest {
namespace {

// The one-call put: the body goes to the store between the envelope and the
// commit, and a body the store can't write discards the entry.
TEST_F(ClientTest, PutMsgBodyWritesTheBodyBeforeTheCommit) {
    CallerMessage m({"alice@example.org"}, {"bob@example.org"});
    struct Case {
        const char* name;
        void (*script)(mqdouble::Script&);
        bool fd;
        int want;
        Calls wantCalls;
    } cases[] = {
        {"from memory", nullptr, false, MQ_SUCCESS,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,relay,0)", "PutMQEnvelope(E1)",
          "WriteMQBody(E1,hello)", "GetMQPathName(E1,.msg)", "CloseMQEntry(E1)"}},
        {"from a descriptor", nullptr, true, MQ_SUCCESS,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,relay,0)", "PutMQEnvelope(E1)",
          "WriteMQBodyFd(E1,0)", "GetMQPathName(E1,.msg)", "CloseMQEntry(E1)"}},
        {"the body can't be written", [](mqdouble::Script& s) { s.writeBody = false; }, false,
         MQ_ERR_FILE,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,relay,0)", "PutMQEnvelope(E1)",
          "WriteMQBody(E1,hello)", "DiscardMQEntry(E1)"}},
        {"the commit fails", [](mqdouble::Script& s) { s.closeEntry = false; }, false,
         MQ_ERR_CLOSE_ENTRY,
         {"CreateMQEntry()=E1", "InsertMQChannel(E1,relay,0)", "PutMQEnvelope(E1)",
          "WriteMQBody(E1,hello)", "GetMQPathName(E1,.msg)", "CloseMQEntry(E1)",
          "DiscardMQEntry(E1)"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqdouble::Reset();
        mqdouble::SetChannels({"RELAY"});
        if (c.script != nullptr) c.script(mqdouble::script());
        cMQ q;
        int got = c.fd ? q.PutMsgBodyFd(m.get(), "relay", 0)
                       : q.PutMsgBody(m.get(), "relay", "hello", 5);
        EXPECT_EQ(got, c.want);
        EXPECT_CALLS(c.wantCalls);
        // The new entry's file is named after a put, never an earlier one's.
        if (c.want == MQ_SUCCESS) {
            EXPECT_NE(q.GetMsgDest(".msg"), nullptr) << "no path for the new entry";
        } else {
            EXPECT_EQ(q.GetMsgDest(".msg"), nullptr) << "a path after a failed put";
        }
    }
}

}  // namespace
}  // namespace clienttest
