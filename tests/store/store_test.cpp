// The queue store in one process: initialisation and the channel list,
// writers and readers, envelopes, paths, and the operator's calls, against
// the real SQLite store in a private installation directory.
#include <gtest/gtest.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdint>
#include <thread>

#include "mq.h"
#include "mqadmin.h"
#include "store_fixture.h"
#include "totals_check.h"

using mqtest::DieHoldingFirst;
using mqtest::Drain;
using mqtest::FileExists;
using mqtest::Install;
using mqtest::InfoOf;
using mqtest::PutEntry;
using mqtest::PutWithBody;
using mqtest::QueryDb;
using mqtest::Spawn;
using mqtest::TotalsAgainstRecount;
using mqtest::Wait;

namespace {

// The name the store records for an operator: this process's real user.
std::string Operator() {
    struct passwd* pw = getpwuid(getuid());
    return pw != nullptr ? pw->pw_name : "uid " + std::to_string(getuid());
}

std::vector<std::string> ChannelNames() {
    std::vector<std::string> names;
    clLockGuard guard(OneMQ.csQList);
    for (auto* node = OneMQ.myQList.pBase; node != nullptr; node = node->pNext) {
        names.push_back(node->stUser->szQueue);
    }
    return names;
}

TEST(StoreInit, RefusesWhatItCannotUse) {
    Install install;
    std::string noDir = install.Dir() + "/nodir.ini";
    Install::Write(noDir, "[Config]\nOther = 1\n");
    // A FIFO where the channel file belongs: opening it to read would wait
    // for a writer for ever.
    Install fifo;
    unlink((fifo.Dir() + "/queue.cfg").c_str());
    ASSERT_EQ(mkfifo((fifo.Dir() + "/queue.cfg").c_str(), 0600), 0);
    struct Case {
        const char* name;
        const char* ldap;
        const char* app;
        bool want;
    } cases[] = {
        {"no application", install.Ini().c_str(), nullptr, false},
        {"empty application", install.Ini().c_str(), "", false},
        {"configuration missing", "/nonexistent/daduv.ini", "app", false},
        {"no InstallDirectory", noDir.c_str(), "app", false},
        {"a FIFO as the channel file", fifo.Ini().c_str(), "app", false},
        {"usable", install.Ini().c_str(), "app", true},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(MQInit(c.ldap, c.app), c.want) << c.name;
    }
    EXPECT_TRUE(FileExists(install.Db()));
    EXPECT_TRUE(FileExists(install.Spool() + "/msg/00"));
    EXPECT_TRUE(FileExists(install.Spool() + "/msg/ff"));
}

// A database of the earlier layout (schema 2) is upgraded in place when
// opened, its entries kept; the new columns then record what they are for.
// A layout this store does not know is refused, the database untouched.
// Takes a database of this version back to version 5's layout (before the
// kept totals).
#define MQTEST_BACK_TO_5                                                                   \
    "DROP TRIGGER totals_put; DROP TRIGGER totals_removal; DROP TRIGGER totals_change;"    \
    "DROP TABLE totals; DROP INDEX entries_age; DROP INDEX entries_deferred_age;"          \
    "ALTER TABLE entries DROP COLUMN size;"

// Takes a database of this version back to version 4's layout (before the
// retry schedule).
#define MQTEST_BACK_TO_4                                                                   \
    MQTEST_BACK_TO_5 "DROP INDEX entries_due; DROP INDEX entries_deferred;"                                 \
    "ALTER TABLE entries DROP COLUMN due; ALTER TABLE entries DROP COLUMN deferrals;"      \
    "ALTER TABLE entries DROP COLUMN reason_text;"                                         \
    "CREATE INDEX entries_ready ON entries(channel, id)"                                   \
    " WHERE state = 1 AND lease IS NULL AND claim_slot IS NULL;"

TEST(StoreInit, AnEarlierLayoutIsUpgradedAndOthersRefused) {
    struct Case {
        const char* name;
        const char* sql;
        bool want;
        const char* schemaAfter;
        bool bodiesInCommit;  // the layout keeps bodies in the commit (from 4 on)
    } cases[] = {
        {"schema 2",
         MQTEST_BACK_TO_4
         "ALTER TABLE entries DROP COLUMN handed; ALTER TABLE entries DROP COLUMN reason;"
         "ALTER TABLE entries DROP COLUMN reason_at; ALTER TABLE entries DROP COLUMN reason_by;"
         "ALTER TABLE leases DROP COLUMN app; DROP TRIGGER entries_bodies; DROP TABLE bodies;"
         "UPDATE meta SET value = 2 WHERE key = 'schema'",
         true, "6", false},
        {"schema 3",
         MQTEST_BACK_TO_4
         "DROP TRIGGER entries_bodies; DROP TABLE bodies; UPDATE meta SET value = 3 WHERE key = "
         "'schema'",
         true, "6", false},
        {"schema 4", MQTEST_BACK_TO_4 "UPDATE meta SET value = 4 WHERE key = 'schema'", true,
         "6", true},
        {"schema 5", MQTEST_BACK_TO_5 "UPDATE meta SET value = 5 WHERE key = 'schema'", true,
         "6", true},
        {"a later one", "UPDATE meta SET value = 7 WHERE key = 'schema'", false, "7", true},
        {"an older one", "UPDATE meta SET value = 1 WHERE key = 'schema'", false, "1", true},
    };
    for (const Case& c : cases) {
        Install install;
        std::string ini = install.Ini();
        const bool inCommit = c.bodiesInCommit;
        pid_t writer = Spawn([ini, inCommit] {
            // Beside the entry the test follows, bodies of every kind in
            // another channel: a file the store wrote, a file its writer
            // brought, and one kept in the commit.
            return MQInit(ini.c_str(), "writer") &&
                           PutEntry("relay", "a@example.org", {"b@example.org"}, "x") != 0 &&
                           PutWithBody("local", std::string(20000, 'f')) != 0 &&
                           PutEntry("local", "a@example.org", {"b@example.org"}, "yz") != 0 &&
                           (!inCommit || PutWithBody("local", "in the commit") != 0)
                       ? 0
                       : 1;
        });
        ASSERT_EQ(Wait(writer), 0) << c.name;
        QueryDb(install.Db(), c.sql);
        EXPECT_EQ(install.Init(), c.want) << c.name;
        EXPECT_EQ(QueryDb(install.Db(), "SELECT value FROM meta WHERE key = 'schema'"),
                  c.schemaAfter)
            << c.name;
        if (!c.want) continue;
        // The totals were counted once, at the upgrade, from the entries and
        // their files.
        EXPECT_EQ(TotalsAgainstRecount(), "") << c.name;
        EXPECT_EQ(QueryDb(install.Db(), "SELECT sum(bytes) FROM totals WHERE channel = 'local'"),
                  std::to_string(20000 + 2 + (inCommit ? 13 : 0)))
            << c.name;
        std::vector<unsigned long> ids = Drain("relay", false);
        ASSERT_EQ(ids.size(), 1u) << c.name << ": the entry did not survive";
        mqadmin::EntryInfo info = InfoOf(ids[0]);
        EXPECT_EQ(info.sender, "a@example.org");
        EXPECT_EQ(info.reason, mqadmin::EntryReason::Returned);
        EXPECT_GT(info.handed, 0);
        // The upgrade made what the schedule needs: the entry given back is
        // deferred, and a reader finds it only once it is due.
        EXPECT_GT(info.due, 0) << c.name;
        EXPECT_TRUE(Drain("relay", false).empty()) << c.name;
        EXPECT_EQ(QueryDb(install.Db(), "SELECT count(*) FROM sqlite_master"
                                        " WHERE name IN ('entries_due', 'entries_deferred')"),
                  "2")
            << c.name;
        // The upgrade made what a body in the commit needs, removal included.
        EXPECT_EQ(QueryDb(install.Db(), "SELECT count(*) FROM sqlite_master"
                                        " WHERE name IN ('bodies', 'entries_bodies')"),
                  "2")
            << c.name;
    }
}

// A database deleted or replaced under a running process: entries must not
// be acknowledged into a file nobody will open again. Calls fail until
// MQInit opens the database now at the path.
TEST(StoreInit, ADatabaseDeletedOrReplacedUnderUsIsNoticed) {
    for (bool replace : {false, true}) {
        Install install;
        ASSERT_TRUE(install.Init());
        ASSERT_NE(PutEntry("relay", "a@e.org", {"b@e.org"}, "x"), 0u);
        for (const char* suffix : {"", "-wal", "-shm"}) unlink((install.Db() + suffix).c_str());
        if (replace) Install::Write(install.Db(), "");
        EXPECT_EQ(CreateMQEntry(), nullptr) << (replace ? "replaced" : "deleted");
        EXPECT_EQ(OpenMQChannel("relay"), nullptr) << (replace ? "replaced" : "deleted");
        ASSERT_TRUE(install.Init()) << "MQInit opens the new database";
        unsigned long id = PutEntry("relay", "a@e.org", {"b@e.org"}, "y");
        EXPECT_NE(id, 0u);
        EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{id});
    }
}

// The first string is the application's setting: only a text with a '/' or
// ending in ".ini" names a configuration file; anything else stands for
// daduv.ini, here found in MQ_CONFIG_DIR.
TEST(StoreInit, SettingStringNamesAFileOnlyWhenItLooksLikeOne) {
    Install install;
    struct Case {
        const char* ldap;
        bool want;
    } cases[] = {
        {nullptr, true},       {"", true},           {"ldap", true},
        {"ldap.example.org", true}, {"other.ini", false}, {"daduv.INI", false},
        {"/nonexistent/ldap", false},
    };
    setenv("MQ_CONFIG_DIR", install.Dir().c_str(), 1);
    for (const Case& c : cases) {
        EXPECT_EQ(MQInit(c.ldap, "app"), c.want) << (c.ldap != nullptr ? c.ldap : "(null)");
    }
    unsetenv("MQ_CONFIG_DIR");
    EXPECT_EQ(mqadmin::SpoolDirectory(), install.Spool());
}

TEST(StoreInit, LoadsChannelRecordsAndSkipsThoseItCannotHold) {
    Install install("relay\t\tsmtp\t\tout\r\n"
                    "\r\n"
                    "averyveryverylongname20\t\tapp\t\tin\r\n"
                    "Local  lmtp  IN  c\r\n"
                    "lonely\r\n");
    ASSERT_TRUE(install.Init());
    std::vector<MQchannelDBStr> got;
    {
        clLockGuard guard(OneMQ.csQList);
        for (auto* n = OneMQ.myQList.pBase; n != nullptr; n = n->pNext) got.push_back(*n->stUser);
    }
    ASSERT_EQ(got.size(), 2u);
    EXPECT_STREQ(got[0].szQueue, "relay");
    EXPECT_STREQ(got[0].szAppName, "smtp");
    EXPECT_EQ(got[0].QueueID, 1u);
    EXPECT_EQ(got[0].bOut, 1);
    EXPECT_EQ(got[0].bCompatibility, 0);
    EXPECT_EQ(got[0].bInstalled, 1);
    EXPECT_STREQ(got[1].szQueue, "Local");
    EXPECT_EQ(got[1].QueueID, 3u) << "the position of the record in the file";
    EXPECT_EQ(got[1].bOut, 0);
    EXPECT_EQ(got[1].bCompatibility, 1);

    // Calling again reloads: the list is the file's as it is now.
    Install::Write(install.Dir() + "/queue.cfg", "other\t\tapp\t\tin\r\n");
    ASSERT_TRUE(install.Init());
    EXPECT_EQ(ChannelNames(), std::vector<std::string>{"other"});
}

class Store : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(install_.Init()); }
    Install install_;
};

TEST_F(Store, ReadersGetEntriesInIdentifierOrderWithTheirEnvelopes) {
    std::vector<unsigned long> put;
    for (int i = 0; i < 5; ++i) {
        put.push_back(PutEntry("relay", "a" + std::to_string(i) + "@example.org",
                               {"b@example.org", "c@example.org"}, "body " + std::to_string(i)));
        ASSERT_NE(put.back(), 0u);
    }
    EXPECT_TRUE(std::is_sorted(put.begin(), put.end()));

    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    std::vector<unsigned long> got;
    for (unsigned long id = GetFirstMessage(reader, false); id != 0;
         id = GetNextMessage(reader, false)) {
        got.push_back(id);
        stEnvelope* envelope = GetMQEnvelope(id);
        ASSERT_NE(envelope, nullptr);
        EXPECT_TRUE(envelope->OwnsRecords());
        size_t n = got.size() - 1;
        EXPECT_STREQ(envelope->caFrom.Reset()->address,
                     ("a" + std::to_string(n) + "@example.org").c_str());
        ASSERT_EQ(envelope->caTo.Count(), 2u);
        EXPECT_STREQ(envelope->caTo.pBase->pNext->stUser->address, "c@example.org");
        EXPECT_EQ(envelope->dwSize, ("body " + std::to_string(n)).size());
        FreeMQEnvelope(envelope);
        EXPECT_EQ(mqtest::ReadFile(GetMQPathName(reader, ".msg")), "body " + std::to_string(n));
        EXPECT_TRUE(RemoveMQChannel(reader));
    }
    EXPECT_TRUE(CloseMQChannel(reader));
    EXPECT_EQ(got, put);
    EXPECT_TRUE(Drain("relay", false).empty()) << "removed entries stay removed";
}

// Every process that opens the store alone reads its whole write-ahead log
// to rebuild the log's index, and a mail system starts one put process a
// message: the log must be checkpointed and restarted often, not left to
// grow with the puts (or towards SQLite's default of 1,000 pages, 4 MiB
// read per process). A log that restarts is written over from its start,
// so its file, once a few checkpoints have passed, grows no more however
// many puts follow; 150 puts write about 500 pages, 600 about 2,000.
TEST_F(Store, TheWriteAheadLogStopsGrowingUnderManyPuts) {
    auto put = [this](int n) {
        for (int i = 0; i < n; ++i) {
            if (PutEntry("relay", "a@example.org", {"b@example.org"}, std::string(3000, 'x')) ==
                0) {
                return false;
            }
        }
        return true;
    };
    auto logSize = [this] {
        struct stat st;
        return stat((install_.Db() + "-wal").c_str(), &st) == 0 ? st.st_size : off_t{-1};
    };
    ASSERT_TRUE(put(150));
    const off_t early = logSize();
    ASSERT_GT(early, 0);
    ASSERT_TRUE(put(450));
    const off_t late = logSize();
    // Slack for the commit that crosses a checkpoint's mark, which may fall
    // elsewhere in it from one round to the next: more pages than a put
    // writes (about eight), each a page and its frame header.
    const off_t kSlack = 16 * (4096 + 24);
    EXPECT_LE(late, early + kSlack)
        << "the log grew from " << early << " bytes after 150 puts to " << late << " after 600";
}

TEST_F(Store, AnEntryRemovedRightAfterItsHandOutHasNoEnvelope) {
    struct Case {
        const char* name;
        bool (*remove)(MQContext* reader, unsigned long id);
    } cases[] = {
        {"by its reader", [](MQContext* reader, unsigned long) { return RemoveMQChannel(reader); }},
        {"by an operator",
         [](MQContext*, unsigned long id) {
             return mqadmin::RemoveEntry(id) == mqadmin::AdminResult::Done;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_NE(PutEntry("relay", "a@example.org", {"b@example.org"}, "body"), 0u);
        MQContext* reader = OpenMQChannel("relay");
        ASSERT_NE(reader, nullptr);
        unsigned long id = GetFirstMessage(reader, false);
        ASSERT_NE(id, 0u);
        ASSERT_TRUE(c.remove(reader, id));
        EXPECT_EQ(GetMQEnvelope(id), nullptr);
        EXPECT_TRUE(CloseMQChannel(reader));
    }
}

TEST_F(Store, ChannelNamesMatchWithoutLetterCase) {
    unsigned long id = PutEntry("RELAY", "a@example.org", {"b@example.org"}, "x");
    ASSERT_NE(id, 0u);
    EXPECT_EQ(Drain("relay", false), std::vector<unsigned long>{id});
    EXPECT_EQ(mqadmin::FlushEntry(id), mqadmin::AdminResult::Done);
    EXPECT_EQ(Drain("Relay", true), std::vector<unsigned long>{id});
    EXPECT_EQ(OpenMQChannel("nosuch"), nullptr);
    MQContext* entry = CreateMQEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_FALSE(InsertMQChannel(entry, "nosuch", 0)) << "an unregistered channel";
    EXPECT_FALSE(InsertMQChannel(entry, "relay", 1)) << "flags other than 0";
    EXPECT_FALSE(CloseMQEntry(entry)) << "an entry in no channel";
    DiscardMQEntry(entry);
}

TEST_F(Store, AnEntryIsOfferedOnlyOnceItsBodyIsRenamedIn) {
    unsigned long waiting = PutEntry("relay", "a@example.org", {"b@example.org"}, "x", false);
    unsigned long ready = PutEntry("relay", "a@example.org", {"b@example.org"}, "y");
    ASSERT_NE(waiting, 0u);
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    EXPECT_EQ(GetFirstMessage(reader, false), ready);
    EXPECT_EQ(GetNextMessage(reader, false), 0u);

    // Asking again later: the body arrived, so the lower identifier comes now.
    std::string tmp = GetMQPathName(waiting, ".tmp");
    std::string msg = GetMQPathName(waiting, ".msg");
    ASSERT_EQ(rename(tmp.c_str(), msg.c_str()), 0);
    EXPECT_EQ(GetNextMessage(reader, false), waiting);
    EXPECT_EQ(GetNextMessage(reader, false), 0u) << "entries it holds are not handed out twice";
    EXPECT_TRUE(CloseMQChannel(reader));
}

TEST_F(Store, DiscardLeavesNoRowAndNoFile) {
    MQContext* entry = CreateMQEntry();
    ASSERT_NE(entry, nullptr);
    std::string tmp = GetMQPathName(entry, ".tmp");
    std::string msg = GetMQPathName(entry, ".msg");
    unsigned long id = mqadmin::EntryIdFromPath(msg.c_str());
    ASSERT_NE(id, 0u);
    Install::Write(tmp, "half");
    Install::Write(msg, "whole");
    mqadmin::EntryInfo info;
    EXPECT_FALSE(mqadmin::GetEntryInfo(id, &info)) << "a row before the commit";
    DiscardMQEntry(entry);
    EXPECT_FALSE(mqadmin::GetEntryInfo(id, &info));
    EXPECT_FALSE(FileExists(tmp));
    EXPECT_FALSE(FileExists(msg));
    DiscardMQEntry(nullptr);
}

TEST_F(Store, PathsAreAbsoluteAndAlikeForHandleAndIdentifier) {
    MQContext* entry = CreateMQEntry();
    ASSERT_NE(entry, nullptr);
    std::string byHandle = GetMQPathName(entry, ".msg");
    unsigned long id = mqadmin::EntryIdFromPath(byHandle.c_str());
    EXPECT_EQ(byHandle[0], '/');
    EXPECT_EQ(byHandle, GetMQPathName(id, ".msg"));
    char dir[8];
    snprintf(dir, sizeof dir, "%02lx", id & 0xFF);
    EXPECT_EQ(byHandle, install_.Spool() + "/msg/" + dir + "/" + std::to_string(id) + ".msg");

    struct Case {
        const char* ext;
        bool valid;
    } cases[] = {{".msg", true}, {".tmp", true}, {".a", true}, {".abcdefg", true},
                 {".abcdefgh", false}, {"msg", false}, {".", false}, {"", false},
                 {nullptr, false}, {"./..", false}, {".m/g", false}, {".m g", false}};
    for (const Case& c : cases) {
        char* path = GetMQPathName(entry, c.ext);
        EXPECT_EQ(path != nullptr, c.valid) << (c.ext ? c.ext : "(null)");
        EXPECT_EQ(GetMQPathName(id, c.ext) != nullptr, c.valid) << (c.ext ? c.ext : "(null)");
    }
    EXPECT_EQ(GetMQPathName(0ul, ".msg"), nullptr);
#if ULONG_MAX > 0xFFFFFFFFul
    // Only a 64-bit unsigned long can name an identifier past 32 bits.
    EXPECT_EQ(GetMQPathName(0x100000000ul, ".msg"), nullptr);
#endif
    DiscardMQEntry(entry);
}

TEST_F(Store, EnvelopesKeepEveryRecordAndField) {
    MQContext* entry = CreateMQEntry();
    ASSERT_NE(entry, nullptr);
    char a1[] = "<>", a2[] = "second@example.org", r1[] = "r1@example.org";
    char envid[] = "ENV1", orcpt[] = "rfc822;r1@example.org", lan[] = "lan", queue[] = "q";
    _envFrom f1{a1, envid, 1, 2, lan, queue};
    _envFrom f2{a2, nullptr, 0, 0, nullptr, nullptr};
    _envRecip t1{r1, orcpt, 14, lan, queue};
    stEnvelope envelope;
    envelope.caFrom.Add(&f1);
    envelope.caFrom.Add(&f2);
    envelope.caTo.Add(&t1);
    envelope.iPri = 3;
    envelope.caTo.Reset();
    ASSERT_TRUE(InsertMQChannel(entry, "local", 0));
    ASSERT_TRUE(PutMQEnvelope(entry, &envelope));
    EXPECT_EQ(envelope.caTo.pCurrent, nullptr) << "the writer's cursor moved";
    std::string msg = GetMQPathName(entry, ".msg");
    ASSERT_TRUE(CloseMQEntry(entry));
    unsigned long id = mqadmin::EntryIdFromPath(msg.c_str());

    stEnvelope* got = GetMQEnvelope(id);
    ASSERT_NE(got, nullptr);
    ASSERT_EQ(got->caFrom.Count(), 2u);
    _envFrom* g1 = got->caFrom.pBase->stUser;
    _envFrom* g2 = got->caFrom.pBase->pNext->stUser;
    EXPECT_STREQ(g1->address, "<>");
    EXPECT_STREQ(g1->envid, "ENV1");
    EXPECT_EQ(g1->ret, 1);
    EXPECT_EQ(g1->body, 2);
    EXPECT_STREQ(g1->lan_address, "lan");
    EXPECT_STREQ(g1->szQueue, "q");
    EXPECT_STREQ(g2->envid, "") << "a null string comes back empty";
    ASSERT_EQ(got->caTo.Count(), 1u);
    EXPECT_STREQ(got->caTo.pBase->stUser->orcpt, "rfc822;r1@example.org");
    EXPECT_EQ(got->caTo.pBase->stUser->notify, 14);
    EXPECT_EQ(got->iPri, 3);
    EXPECT_EQ(got->dwSize, 0u) << "no body yet";
    FreeMQEnvelope(got);
    FreeMQEnvelope(&envelope);  // a writer's envelope: left alone
    EXPECT_EQ(GetMQEnvelope(id + 1000), nullptr);
}

TEST_F(Store, HeldEntriesWaitUntilReleased) {
    unsigned long first = PutEntry("relay", "a@example.org", {"b@example.org"}, "1");
    unsigned long second = PutEntry("relay", "a@example.org", {"b@example.org"}, "2");
    EXPECT_EQ(mqadmin::HoldEntry(first), mqadmin::AdminResult::Done);
    EXPECT_EQ(mqadmin::HoldEntry(first), mqadmin::AdminResult::Done) << "already held";
    EXPECT_EQ(Drain("relay", false), std::vector<unsigned long>{second});
    mqadmin::EntryInfo held = InfoOf(first);
    EXPECT_EQ(held.reason, mqadmin::EntryReason::Held);
    EXPECT_EQ(held.reasonBy, Operator());
    EXPECT_GT(held.reasonTime, 0);
    EXPECT_EQ(held.handed, 0) << "never handed out";
    EXPECT_EQ(mqadmin::ReleaseEntry(first), mqadmin::AdminResult::Done);
    EXPECT_EQ(InfoOf(first).reason, mqadmin::EntryReason::Released);
    // The second was put off by its reader: not due yet.
    EXPECT_EQ(Drain("relay", false), (std::vector<unsigned long>{first}));
    EXPECT_EQ(mqadmin::HoldEntry(999999), mqadmin::AdminResult::NotFound);
    EXPECT_EQ(mqadmin::RequeueEntry(first), mqadmin::AdminResult::Done) << "queued already";
}

// Readers that die holding an entry count attempts; after MaxAttempts it is
// set aside as failed, offered again only once an operator requeues it.
TEST(StoreAttempts, EntriesWhoseReadersKeepDyingFailUntilRequeued) {
    Install install("relay\t\tsmtp\t\tout\r\n", "MaxAttempts = 2\n");
    ASSERT_TRUE(install.Init());
    EXPECT_EQ(mqadmin::MaxAttempts(), 2u);
    unsigned long id = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
    ASSERT_NE(id, 0u);
    ASSERT_EQ(DieHoldingFirst(install.Ini(), "relay"), -SIGKILL) << "attempt 1";
    ASSERT_TRUE(install.Init());  // the clean-up after the dead reader
    mqadmin::EntryInfo info;
    ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
    EXPECT_EQ(info.attempts, 1u);
    EXPECT_EQ(info.state, mqadmin::EntryState::Queued);
    EXPECT_EQ(info.reason, mqadmin::EntryReason::ReaderDied);
    EXPECT_EQ(info.due, 0) << "the first death: offered again at once";
    EXPECT_GT(info.handed, 0);
    EXPECT_GE(info.reasonTime, info.handed);
    ASSERT_EQ(DieHoldingFirst(install.Ini(), "relay"), -SIGKILL) << "attempt 2";
    ASSERT_TRUE(install.Init());
    EXPECT_TRUE(Drain("relay", false).empty()) << "failed entries are not offered";
    ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
    EXPECT_EQ(info.state, mqadmin::EntryState::Failed);
    EXPECT_EQ(info.reason, mqadmin::EntryReason::Failed);
    EXPECT_NE(info.reasonText.find("died 2 times"), std::string::npos) << info.reasonText;
    EXPECT_EQ(mqadmin::HoldEntry(id), mqadmin::AdminResult::WrongState);
    EXPECT_EQ(mqadmin::ReleaseEntry(id), mqadmin::AdminResult::WrongState);

    EXPECT_EQ(mqadmin::RequeueEntry(id), mqadmin::AdminResult::Done);
    ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
    EXPECT_EQ(info.attempts, 0u) << "a fresh count";
    EXPECT_EQ(info.reason, mqadmin::EntryReason::Requeued);
    EXPECT_EQ(info.reasonBy, Operator());
    EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{id});
}

TEST(StoreAttempts, MaxAttemptsSettingIsReadOrDefaulted) {
    struct Case {
        const char* setting;
        uint32_t want;
    } cases[] = {{"", 5}, {"MaxAttempts = 9\n", 9}, {"MaxAttempts = 0\n", 0},
                 {"MaxAttempts = many\n", 5}, {"MaxAttempts = -3\n", 5}};
    for (const Case& c : cases) {
        Install install("relay\t\tsmtp\t\tout\r\n", c.setting);
        ASSERT_TRUE(install.Init());
        EXPECT_EQ(mqadmin::MaxAttempts(), c.want) << "setting \"" << c.setting << "\"";
    }
}

TEST_F(Store, IdentifiersGoRoundThe32BitRangeSkippingThoseInUse) {
    unsigned long kept = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
    ASSERT_EQ(kept, 1u);
    // A process's reservations start at one identifier and double up to 64,
    // so a process that puts once passes over none: after each put, the
    // last identifier reserved.
    std::vector<std::string> reserved{mqtest::QueryDb(install_.Db(),
                                                      "SELECT value FROM meta WHERE key = 'last_id'")};
    // Use up the rest of this process's blocks: 1, 2, 4, ... 64 identifiers.
    for (unsigned long id = 2; id <= 127; ++id) {
        ASSERT_EQ(PutEntry("relay", "a@e.org", {"b@e.org"}, "y"), id);
        ASSERT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
        if (id <= 9) {
            reserved.push_back(
                mqtest::QueryDb(install_.Db(), "SELECT value FROM meta WHERE key = 'last_id'"));
        }
    }
    EXPECT_EQ(reserved, (std::vector<std::string>{"1", "3", "3", "7", "7", "7", "7", "15", "15"}));
    // Pretend 4,294,967,293 identifiers have been handed out since.
    mqtest::QueryDb(install_.Db(), "UPDATE meta SET value = 4294967294 WHERE key = 'last_id'");
    std::vector<unsigned long> got;
    for (int i = 0; i < 3; ++i) got.push_back(PutEntry("relay", "a@e.org", {"b@e.org"}, "y"));
    EXPECT_EQ(got, (std::vector<unsigned long>{4294967295ul, 2ul, 3ul}))
        << "never 0, never one in use";
}

TEST_F(Store, OperatorsListCountAndRemove) {
    unsigned long a = PutEntry("relay", "a@example.org", {"b@example.org", "c@e.org"}, "abc");
    unsigned long b = PutEntry("local", "d@example.org", {"e@example.org"}, "de", false);
    EXPECT_EQ(mqadmin::HoldEntry(b), mqadmin::AdminResult::Done);

    std::vector<mqadmin::EntryInfo> all;
    ASSERT_TRUE(mqadmin::ListEntries(nullptr, &all));
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].id, a);
    EXPECT_EQ(all[0].channel, "relay");
    EXPECT_EQ(all[0].sender, "a@example.org");
    EXPECT_EQ(all[0].recipients, (std::vector<std::string>{"b@example.org", "c@e.org"}));
    EXPECT_EQ(all[0].bodySize, 3);
    EXPECT_EQ(all[0].application, "storetest");
    EXPECT_GT(all[0].created, 0);
    EXPECT_EQ(all[1].bodySize, -1);
    EXPECT_STREQ(mqadmin::StateName(all[1].state), "held");

    std::vector<mqadmin::EntryInfo> local;
    ASSERT_TRUE(mqadmin::ListEntries("LOCAL", &local));
    ASSERT_EQ(local.size(), 1u);
    EXPECT_EQ(local[0].id, b);

    std::vector<mqadmin::ChannelCount> counts;
    ASSERT_TRUE(mqadmin::CountEntries(&counts));
    ASSERT_EQ(counts.size(), 2u);
    EXPECT_EQ(counts[0].channel, "local");
    EXPECT_EQ(counts[0].held, 1u);
    EXPECT_EQ(counts[1].queued, 1u);

    EXPECT_EQ(mqadmin::RemoveEntry(a), mqadmin::AdminResult::Done);
    EXPECT_EQ(mqadmin::RemoveEntry(a), mqadmin::AdminResult::NotFound);
    EXPECT_FALSE(FileExists(all[0].path));
    // Committed, its body not renamed in yet by its live writer (this process).
    unsigned long w = PutEntry("relay", "a@example.org", {"b@example.org"}, "x", false);
    ASSERT_TRUE(mqadmin::GetEntryInfo(w, &all[0]));
    EXPECT_EQ(all[0].state, mqadmin::EntryState::Writing);
    EXPECT_EQ(mqadmin::RemoveEntry(w), mqadmin::AdminResult::WrongState);
}

// A walk stopped by its callback reads no further: an entry whose envelope
// is damaged past the stopping point fails only a walk that reaches it.
// Counts follow the same filters as walks, without reading the entries.
TEST_F(Store, WalksStopWhenToldAndCountsFollowTheirFilter) {
    std::vector<unsigned long> ids;
    for (const char* channel : {"relay", "local", "relay", "relay"}) {
        ids.push_back(PutEntry(channel, "a@example.org", {"b@example.org"}, "x"));
    }
    ASSERT_EQ(mqadmin::HoldEntry(ids[2]), mqadmin::AdminResult::Done);
    QueryDb(install_.Db(), "UPDATE entries SET created = 1000 WHERE id = " + std::to_string(ids[0]));
    QueryDb(install_.Db(), "UPDATE entries SET envelope = x'ff' WHERE id = " + std::to_string(ids[3]));

    auto walk = [](const mqadmin::EntryFilter& f, size_t stopAfter,
                   std::vector<unsigned long>* seen) {
        seen->clear();
        return mqadmin::WalkEntries(f, [&](const mqadmin::EntryInfo& e) {
            seen->push_back(e.id);
            return seen->size() < stopAfter;
        });
    };
    mqadmin::EntryFilter all, relay, held, old, young, heldOrFailed;
    relay.channel = "RELAY";
    held.held = true;
    old.createdBefore = 2000;
    young.createdAfter = 2000;
    heldOrFailed.held = heldOrFailed.failed = true;
    struct Case {
        const char* name;
        const mqadmin::EntryFilter& filter;
        size_t stopAfter;
        bool want;
        std::vector<unsigned long> seen;
    } cases[] = {
        {"stopped at the first", all, 1, true, {ids[0]}},
        {"stopped before the damaged one", all, 3, true, {ids[0], ids[1], ids[2]}},
        {"reaching the damaged one", all, 99, false, {ids[0], ids[1], ids[2]}},
        {"one channel, letter case ignored", relay, 2, true, {ids[0], ids[2]}},
        {"held only", held, 99, true, {ids[2]}},
        {"held or failed", heldOrFailed, 99, true, {ids[2]}},
        {"created before", old, 99, true, {ids[0]}},
    };
    for (const Case& c : cases) {
        std::vector<unsigned long> seen;
        EXPECT_EQ(walk(c.filter, c.stopAfter, &seen), c.want) << c.name;
        EXPECT_EQ(seen, c.seen) << c.name;
    }
    struct CountCase {
        const char* name;
        const mqadmin::EntryFilter& filter;
        uint64_t want;
    } counts[] = {{"all, the damaged one too", all, 4},
                  {"one channel", relay, 3},
                  {"held only", held, 1},
                  {"created before", old, 1},
                  {"created after", young, 3}};
    for (const CountCase& c : counts) {
        uint64_t n = 99;
        EXPECT_TRUE(mqadmin::CountMatching(c.filter, &n)) << c.name;
        EXPECT_EQ(n, c.want) << c.name;
    }
    QueryDb(install_.Db(), "DELETE FROM entries WHERE id = " + std::to_string(ids[3]));
}

// An address holding a control character never reaches the database, from
// whichever caller of the store it comes: the envelope is refused, and the
// entry discarded leaves nothing behind.
TEST_F(Store, EnvelopesWithControlCharactersAreRefused) {
    struct Case {
        const char* name;
        std::string from, to;
    } cases[] = {
        {"line feed in a recipient", "a@example.org", "b@example.org\nRCPT TO:<c@evil.org>"},
        {"carriage return in the sender", "a@example.org\r", "b@example.org"},
        {"tab", "a@example.org", "b\t@example.org"},
        {"escape", "a@example.org", "b@example.org\x1b[2J"},
        {"DEL", "a\x7f@example.org", "b@example.org"},
        {"other C0", "a@example.org", std::string("b@example.org") + '\x01'},
    };
    for (const Case& c : cases) {
        MQContext* entry = CreateMQEntry();
        ASSERT_NE(entry, nullptr);
        mqtest::WriterEnvelope envelope({c.from}, {"ok@example.org", c.to});
        EXPECT_TRUE(InsertMQChannel(entry, "relay", 0)) << c.name;
        EXPECT_FALSE(PutMQEnvelope(entry, envelope.Get())) << c.name;
        DiscardMQEntry(entry);
    }
    std::vector<mqadmin::EntryInfo> all;
    ASSERT_TRUE(mqadmin::ListEntries(nullptr, &all));
    EXPECT_TRUE(all.empty()) << all.size() << " entries written";
}

// A body past 2 GiB, beyond a 32-bit off_t, is sized and offered like any
// other (made sparse, so it costs no disk).
TEST_F(Store, BodiesPast2GiBAreSizedAndOffered) {
    unsigned long id = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
    ASSERT_NE(id, 0u);
    const int64_t kSize = INT64_C(3) << 30;
    ASSERT_EQ(truncate(GetMQPathName(id, ".msg"), static_cast<off_t>(kSize)), 0);
    mqadmin::EntryInfo info;
    ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
    EXPECT_EQ(info.bodySize, kSize);
    EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{id});
}

TEST_F(Store, EntryIdFromPathTakesOnlyThisSpoolsEntryFiles) {
    std::string good = GetMQPathName(258ul, ".msg");
    struct Case {
        std::string path;
        unsigned long want;
    } cases[] = {
        {good, 258},
        {std::string(GetMQPathName(258ul, ".tmp")), 258},
        {install_.Spool() + "/msg/03/258.msg", 0},  // wrong directory
        {install_.Spool() + "/msg/02/0258.msg", 0},
        {install_.Spool() + "/msg/02/258", 0},
        {install_.Spool() + "/msg/02/x/258.msg", 0},
        {"/elsewhere/msg/02/258.msg", 0},
        {install_.Spool() + "/msg/ff/4294967295.msg", 4294967295ul},  // the highest
        {install_.Spool() + "/msg/00/4294967296.msg", 0},             // past 32 bits
        {install_.Spool() + "/msg/ff/4294967551.msg", 0},             // 2^32 + 255
        {install_.Spool() + "/msg/ff/18446744073709551871.msg", 0},   // 2^64 + 255
    };
    for (const Case& c : cases) EXPECT_EQ(mqadmin::EntryIdFromPath(c.path.c_str()), c.want) << c.path;
}

TEST_F(Store, HealthCheckFindsOrphanFilesAndMissingBodies) {
    unsigned long fine = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
    unsigned long bodiless = PutEntry("relay", "a@example.org", {"b@example.org"}, "x", false);
    mqadmin::HealthReport report;
    ASSERT_TRUE(mqadmin::CheckStore(&report));
    EXPECT_EQ(report.integrity, "ok");
    ASSERT_EQ(report.missingBodies.size(), 1u);
    EXPECT_EQ(report.missingBodies[0].id, bodiless);
    EXPECT_FALSE(report.Healthy());

    std::string stray = GetMQPathName(fine + 100, ".msg");
    Install::Write(stray, "nobody's");
    Install::Write(install_.Spool() + "/msg/00/notes.txt", "?");
    ASSERT_TRUE(mqadmin::CheckStore(&report));
    std::vector<std::string> orphans = report.orphanFiles;
    std::sort(orphans.begin(), orphans.end());
    // The bodiless entry's ".tmp" belongs to it: no orphan.
    EXPECT_EQ(orphans, (std::vector<std::string>{install_.Spool() + "/msg/00/notes.txt", stray}));
}

TEST_F(Store, HandlesAreCheckedBeforeUse) {
    MQContext* entry = CreateMQEntry();
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(GetFirstMessage(entry, false), 0u) << "a write handle is no read handle";
    EXPECT_FALSE(RemoveMQChannel(entry));
    EXPECT_FALSE(CloseMQChannel(entry));
    EXPECT_FALSE(CloseMQChannel(nullptr));
    EXPECT_EQ(GetFirstMessage(nullptr, false), 0u);
    EXPECT_FALSE(PutMQEnvelope(entry, nullptr));
    DiscardMQEntry(entry);

    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    EXPECT_FALSE(RemoveMQChannel(reader)) << "nothing returned yet";
    EXPECT_EQ(GetMQPathName(reader, ".msg"), nullptr);
    EXPECT_FALSE(CloseMQEntry(reader));
    EXPECT_TRUE(CloseMQChannel(reader));
}

TEST_F(Store, ThreadsShareTheStoreWithoutLosingOrDoublingEntries) {
    const int kThreads = 4, kEach = 25;
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
        writers.emplace_back([] {
            for (int i = 0; i < kEach; ++i) PutEntry("relay", "a@example.org", {"b@e.org"}, "x");
        });
    }
    for (auto& w : writers) w.join();
    std::vector<std::vector<unsigned long>> got(kThreads);
    std::vector<std::thread> readers;
    for (int t = 0; t < kThreads; ++t) {
        readers.emplace_back([&got, t] { got[t] = Drain("relay", true); });
    }
    for (auto& r : readers) r.join();
    std::vector<unsigned long> all;
    for (auto& g : got) all.insert(all.end(), g.begin(), g.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all.size(), static_cast<size_t>(kThreads * kEach));
    EXPECT_EQ(std::adjacent_find(all.begin(), all.end()), all.end()) << "an entry twice";
}

}  // namespace
