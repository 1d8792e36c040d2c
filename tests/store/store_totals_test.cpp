// store_totals_test.cpp - the figures the store keeps for the monitoring
// views (per channel and state: entries, bytes, leases, attempts,
// deferrals; the deferred, the oldest, counts by age) equal a recount of
// the entries after every kind of change an entry goes through, and the
// totals of an upgraded spool are counted once from its entries.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <string>

#include "mqadmin.h"
#include "store_fixture.h"
#include "totals_check.h"

namespace {

using namespace mqtest;

// The bounds the check divides ages by: an hour and a minute ago.
std::vector<int64_t> Bounds() {
    const int64_t now = mqadmin::ClockMs() / 1000;
    return {now - 3600, now - 60};
}

class Totals : public ::testing::Test {
  protected:
    void TearDown() override { unsetenv("MQ_TEST_CLOCK_OFFSET"); }
};

// One installation goes through every change in turn; after each the kept
// figures must equal the recount. Each step checks that it did change
// something, so that a step that failed can't pass for one that kept the
// totals right.
TEST_F(Totals, EqualARecountAfterEveryChange) {
    Install install("relay\t\tsmtp\t\tout\r\nlocal\t\tlmtp\t\tin\r\n",
                    "MaxAttempts = 2\nQueueLifetime = 1d\nMinimalBackoff = 1m\n");
    ASSERT_TRUE(install.Init());
    const std::string ini = install.Ini();
    const std::string large(3 * 4096, 'L');
    unsigned long small = 0, big = 0, writing = 0, old = 0;
    std::string writingTmp, writingMsg;
    MQContext* reader = nullptr;
    auto take = [&](const char* channel) -> unsigned long {
        reader = OpenMQChannel(channel);
        return reader != nullptr ? GetFirstMessage(reader, false) : 0;
    };
    auto close = [&] {
        if (reader != nullptr) CloseMQChannel(reader);
        reader = nullptr;
    };
    struct Step {
        const char* name;
        std::function<void()> run;
    } steps[] = {
        {"put, body in the commit", [&] { ASSERT_NE(small = PutWithBody("relay", "small"), 0u); }},
        {"put, body as its own file", [&] { ASSERT_NE(big = PutWithBody("relay", large), 0u); }},
        {"put two hours ago, another channel in other letters",
         [&] {
             SetClock(-7200);
             old = PutWithBody("LOCAL", "from long ago");
             SetClock(0);
             ASSERT_NE(old, 0u);
         }},
        {"put, its writer still writing the body",
         [&] {
             MQContext* entry = CreateMQEntry();
             ASSERT_NE(entry, nullptr);
             WriterEnvelope envelope({"a@example.org"}, {"b@example.org"});
             writingMsg = GetMQPathName(entry, ".msg");
             writingTmp = GetMQPathName(entry, ".tmp");
             ASSERT_TRUE(InsertMQChannel(entry, "relay", 0));
             ASSERT_TRUE(PutMQEnvelope(entry, envelope.Get()));
             ASSERT_TRUE(CloseMQEntry(entry));
             writing = std::strtoul(writingMsg.substr(writingMsg.rfind('/') + 1).c_str(),
                                    nullptr, 10);
             ASSERT_EQ(InfoOf(writing).state, mqadmin::EntryState::Writing);
         }},
        {"its body renamed in",
         [&] {
             Install::Write(writingTmp, "brought by its writer");
             ASSERT_EQ(rename(writingTmp.c_str(), writingMsg.c_str()), 0);
         }},
        {"hand-out", [&] { ASSERT_EQ(take("relay"), small); }},
        {"removal by its reader", [&] { ASSERT_TRUE(RemoveMQChannel(reader)); }},
        {"hand-outs of the rest, the one its writer brought included",
         [&] {
             ASSERT_EQ(GetNextMessage(reader, false), big);
             ASSERT_EQ(GetNextMessage(reader, false), writing);
         }},
        {"read handle closed holding them (deferred)", [&] { close(); }},
        {"flush", [&] {
             uint64_t n = 0;
             ASSERT_TRUE(mqadmin::FlushChannel("relay", &n));
             ASSERT_EQ(n, 2u);
         }},
        {"given back deferred",
         [&] {
             ASSERT_EQ(take("relay"), big);
             ASSERT_EQ(mqadmin::GiveBackEntry(big, mqadmin::GiveBackKind::Deferred, "later",
                                              nullptr),
                       mqadmin::AdminResult::Done);
         }},
        {"given back untried",
         [&] {
             ASSERT_EQ(GetNextMessage(reader, false), writing);
             ASSERT_EQ(mqadmin::GiveBackEntry(writing, mqadmin::GiveBackKind::Untried, nullptr,
                                              nullptr),
                       mqadmin::AdminResult::Done);
             close();
         }},
        {"deferred again once due",
         [&] {
             SetClock(3600);
             ASSERT_EQ(take("relay"), big);
             ASSERT_EQ(mqadmin::GiveBackEntry(big, mqadmin::GiveBackKind::Deferred, "again",
                                              nullptr),
                       mqadmin::AdminResult::Done);
             close();
             SetClock(0);
             ASSERT_EQ(InfoOf(big).deferrals, 3u);
         }},
        {"hold", [&] { ASSERT_EQ(mqadmin::HoldEntry(big), mqadmin::AdminResult::Done); }},
        {"release", [&] { ASSERT_EQ(mqadmin::ReleaseEntry(big), mqadmin::AdminResult::Done); }},
        {"fail", [&] { ASSERT_EQ(mqadmin::FailEntry(old, "refused"), mqadmin::AdminResult::Done); }},
        {"requeue", [&] { ASSERT_EQ(mqadmin::RequeueEntry(old), mqadmin::AdminResult::Done); }},
        {"a reader dies holding one", [&] { ASSERT_EQ(DieHoldingFirst(ini, "relay"), -SIGKILL); }},
        {"its lease reclaimed (an attempt)",
         [&] {
             ASSERT_TRUE(install.Init());
             ASSERT_EQ(InfoOf(big).attempts, 1u);
         }},
        {"a second death sets it aside (MaxAttempts)",
         [&] {
             ASSERT_EQ(DieHoldingFirst(ini, "relay"), -SIGKILL);
             ASSERT_TRUE(install.Init());
             ASSERT_EQ(InfoOf(big).state, mqadmin::EntryState::Failed);
         }},
        {"expired at its hand-out",
         [&] {
             SetClock(2 * 86400);
             ASSERT_EQ(take("local"), 0u);
             close();
             ASSERT_EQ(InfoOf(old).state, mqadmin::EntryState::Failed);
             SetClock(0);
         }},
        {"a writer that dies before its body", [&] {
             pid_t writer = Spawn([ini] {
                 return MQInit(ini.c_str(), "writer") &&
                                PutEntry("relay", "a@e.org", {"b@e.org"}, "x", false) != 0
                            ? 0
                            : 1;
             });
             ASSERT_EQ(Wait(writer), 0);
         }},
        {"a writer that dies after its body, before any hand-out", [&] {
             pid_t writer = Spawn([ini] {
                 return MQInit(ini.c_str(), "writer") &&
                                PutEntry("local", "a@e.org", {"b@e.org"}, "brought") != 0
                            ? 0
                            : 1;
             });
             ASSERT_EQ(Wait(writer), 0);
         }},
        {"both reclaimed: the bodiless one goes, the other's claim settles",
         [&] { ASSERT_TRUE(install.Init()); }},
        {"removal by the operator",
         [&] { ASSERT_EQ(mqadmin::RemoveEntry(big), mqadmin::AdminResult::Done); }},
        {"every entry removed", [&] {
             std::vector<mqadmin::EntryInfo> all;
             ASSERT_TRUE(mqadmin::ListEntries(nullptr, &all));
             for (const mqadmin::EntryInfo& e : all) {
                 ASSERT_EQ(mqadmin::RemoveEntry(e.id), mqadmin::AdminResult::Done);
             }
         }},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.name);
        step.run();
        if (HasFatalFailure()) return;
        EXPECT_EQ(TotalsAgainstRecount(Bounds()), "");
    }
    close();
    std::vector<mqadmin::ChannelTotals> left;
    ASSERT_TRUE(mqadmin::ReadTotals(&left));
    EXPECT_TRUE(left.empty()) << left.size() << " channels hold entries after every removal";
}

// What the views show is what the store keeps: a figure tampered with in
// the totals shows, so the views can't be recounting behind them.
TEST_F(Totals, TheViewsReadTheKeptFigures) {
    Install install;
    ASSERT_TRUE(install.Init());
    ASSERT_NE(PutWithBody("relay", "one"), 0u);
    ASSERT_EQ(TotalsAgainstRecount(), "");
    QueryDb(install.Db(), "UPDATE totals SET entries = entries + 41, bytes = bytes + 1000");
    std::vector<mqadmin::ChannelTotals> got;
    ASSERT_TRUE(mqadmin::ReadTotals(&got));
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].queued, 42u);
    EXPECT_EQ(got[0].queuedBytes, 1003);
    EXPECT_NE(TotalsAgainstRecount(), "");
}

}  // namespace
