// store_schedule_test.cpp - when entries that come back are offered again:
// the backoff's doubling, spread and cap, the three ways back, the lifetime,
// flushing and the settings. The store's clock is moved on through
// MQ_TEST_CLOCK_OFFSET, never waited for.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <set>

#include "mqadmin.h"
#include "store_fixture.h"

namespace {

using namespace mqtest;

class Schedule : public ::testing::Test {
  protected:
    void SetUp() override { SetClock(0); }
    void TearDown() override { unsetenv("MQ_TEST_CLOCK_OFFSET"); }
};

// A reader takes the first due entry of relay and gives it back as kind
// says; the entry as it stands after (id 0 when nothing was due).
mqadmin::EntryInfo TakeAndGiveBack(mqadmin::GiveBackKind kind, const char* why = "try later") {
    mqadmin::EntryInfo after;
    MQContext* reader = OpenMQChannel("relay");
    if (reader == nullptr) return after;
    unsigned long id = GetFirstMessage(reader, false);
    if (id != 0) {
        EXPECT_EQ(mqadmin::GiveBackEntry(id, kind, why, &after), mqadmin::AdminResult::Done);
    }
    CloseMQChannel(reader);
    return after;
}

// The n-th deferral waits min(maximal, minimal * 2^(n-1)), and up to a
// tenth more; not before it is due does any reader see the entry.
TEST_F(Schedule, DeferralsDoubleUpToTheCapWithASpreadAndNeverCountAttempts) {
    Install install("relay\t\tsmtp\t\tout\r\n",
                    "MinimalBackoff = 1m\nMaximalBackoff = 5m\nMaxAttempts = 2\n");
    ASSERT_TRUE(install.Init());
    unsigned long id = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
    ASSERT_NE(id, 0u);
    const int64_t want[] = {60, 120, 240, 300, 300, 300};
    int64_t clock = 0;
    for (size_t n = 0; n < sizeof want / sizeof want[0]; ++n) {
        SCOPED_TRACE("deferral " + std::to_string(n + 1));
        int64_t before = mqadmin::ClockMs();
        mqadmin::EntryInfo after = TakeAndGiveBack(mqadmin::GiveBackKind::Deferred);
        ASSERT_EQ(after.id, id);
        EXPECT_EQ(after.state, mqadmin::EntryState::Queued);
        EXPECT_EQ(after.reason, mqadmin::EntryReason::Deferred);
        EXPECT_EQ(after.reasonText, "try later");
        EXPECT_EQ(after.deferrals, n + 1);
        EXPECT_EQ(after.attempts, 0u) << "a deferral is no attempt";
        int64_t wait = after.due - before;
        EXPECT_GE(wait, want[n] * 1000);
        EXPECT_LE(wait, want[n] * 1100 + 1000);
        // Just before it is due: nobody is offered it.
        SetClock(clock += want[n] - 2);
        EXPECT_TRUE(Drain("relay", false).empty()) << "offered before it was due";
        SetClock(clock += want[n] / 10 + 3);
    }
}

// A backlog deferred at one instant does not come due at one instant.
TEST_F(Schedule, ABacklogDeferredTogetherIsSpread) {
    Install install("relay\t\tsmtp\t\tout\r\n", "MinimalBackoff = 1h\n");
    ASSERT_TRUE(install.Init());
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(PutEntry("relay", "a@example.org", {"b@example.org"}, "x"), 0u);
    }
    std::set<int64_t> dues;
    int64_t start = mqadmin::ClockMs();
    for (int i = 0; i < 20; ++i) {
        mqadmin::EntryInfo after = TakeAndGiveBack(mqadmin::GiveBackKind::Deferred);
        ASSERT_NE(after.id, 0u);
        EXPECT_GE(after.due - start, 3600 * 1000);
        EXPECT_LE(after.due - start, 3960 * 1000 + 1000);
        dues.insert(after.due / 1000);
    }
    EXPECT_GE(dues.size(), 10u) << "the due times bunch together";
    std::vector<mqadmin::ChannelCount> counts;
    ASSERT_TRUE(mqadmin::CountEntries(&counts));
    ASSERT_EQ(counts.size(), 1u);
    EXPECT_EQ(counts[0].deferred, 20u);
    EXPECT_GT(counts[0].oldestDeferred, 0);
    int64_t next = 0;
    ASSERT_TRUE(mqadmin::NextDue("relay", &next));
    EXPECT_EQ(next / 1000, *dues.begin());
}

// The three ways back, each with its rule.
TEST_F(Schedule, EachWayBackHasItsOwnRule) {
    struct Case {
        const char* name;
        int deaths;                        // readers that die holding it first
        bool giveBack;                     // then a reader gives it back as kind
        mqadmin::GiveBackKind kind;
        uint32_t attempts, deferrals;
        bool dueNow;
        mqadmin::EntryReason reason;
    } cases[] = {
        {"closed without removing", 0, false, mqadmin::GiveBackKind::Deferred, 0, 1, false,
         mqadmin::EntryReason::Returned},
        {"deferred", 0, true, mqadmin::GiveBackKind::Deferred, 0, 1, false,
         mqadmin::EntryReason::Deferred},
        {"given back untried", 0, true, mqadmin::GiveBackKind::Untried, 0, 0, true,
         mqadmin::EntryReason::None},
        {"its reader died", 1, false, mqadmin::GiveBackKind::Untried, 1, 0, true,
         mqadmin::EntryReason::ReaderDied},
        {"its reader died twice", 2, false, mqadmin::GiveBackKind::Untried, 2, 0, false,
         mqadmin::EntryReason::ReaderDied},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install install("relay\t\tsmtp\t\tout\r\n", "MaxAttempts = 3\n");
        ASSERT_TRUE(install.Init());
        SetClock(0);
        unsigned long id = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
        ASSERT_NE(id, 0u);
        for (int d = 0; d < c.deaths; ++d) {
            // A later death must find it due: the clock moves past any backoff.
            SetClock(d * 7200);
            ASSERT_EQ(DieHoldingFirst(install.Ini(), "relay"), -SIGKILL);
            ASSERT_TRUE(install.Init());  // cleans up after it
        }
        if (c.deaths == 0) {
            MQContext* reader = OpenMQChannel("relay");
            ASSERT_NE(reader, nullptr);
            ASSERT_EQ(GetFirstMessage(reader, false), id);
            if (c.giveBack) {
                EXPECT_EQ(mqadmin::GiveBackEntry(id, c.kind, "why", nullptr),
                          mqadmin::AdminResult::Done);
                EXPECT_EQ(mqadmin::GiveBackEntry(id, c.kind, "why", nullptr),
                          mqadmin::AdminResult::NotFound)
                    << "given back twice";
            }
            CloseMQChannel(reader);
        }
        mqadmin::EntryInfo info = InfoOf(id);
        EXPECT_EQ(info.state, mqadmin::EntryState::Queued);
        EXPECT_EQ(info.attempts, c.attempts);
        EXPECT_EQ(info.deferrals, c.deferrals);
        EXPECT_EQ(info.reason, c.reason);
        EXPECT_EQ(info.due <= mqadmin::ClockMs(), c.dueNow) << "due " << info.due;
        EXPECT_EQ(Drain("relay", false).size(), c.dueNow ? 1u : 0u);
    }
}

// Set-asides with their reasons: the lifetime over, whatever the counts,
// both when a reader would be offered it and when one gives it back; the
// readers' deaths past MaxAttempts (StoreAttempts in store_test).
TEST_F(Schedule, EntriesPastTheirLifetimeAreSetAsideAsExpired) {
    struct Case {
        const char* name;
        const char* lifetime;
        int64_t later;    // seconds the clock moves on after the put
        bool takeFirst;   // a reader holds it while the clock moves, then defers it
        bool expired;
    } cases[] = {
        {"offered after its lifetime", "QueueLifetime = 1h\n", 3601, false, true},
        {"deferred after its lifetime", "QueueLifetime = 1h\n", 3601, true, true},
        {"within its lifetime", "QueueLifetime = 1h\n", 3500, false, false},
        {"a lifetime of 0 never ends", "QueueLifetime = 0\n", 400 * 86400, false, false},
        {"the default: five days", "", 5 * 86400 + 1, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install install("relay\t\tsmtp\t\tout\r\n", c.lifetime);
        SetClock(0);
        ASSERT_TRUE(install.Init());
        unsigned long id = PutEntry("relay", "a@example.org", {"b@example.org"}, "x");
        ASSERT_NE(id, 0u);
        mqadmin::EntryInfo after;
        if (c.takeFirst) {
            MQContext* reader = OpenMQChannel("relay");
            ASSERT_EQ(GetFirstMessage(reader, false), id);
            SetClock(c.later);
            EXPECT_EQ(mqadmin::GiveBackEntry(id, mqadmin::GiveBackKind::Deferred, "x", &after),
                      mqadmin::AdminResult::Done);
            CloseMQChannel(reader);
        } else {
            SetClock(c.later);
        }
        std::vector<unsigned long> offered = Drain("relay", true);
        EXPECT_EQ(offered.size(), c.expired ? 0u : 1u);
        if (!c.expired) continue;
        mqadmin::EntryInfo info = InfoOf(id);
        EXPECT_EQ(info.state, mqadmin::EntryState::Failed);
        EXPECT_EQ(info.reason, mqadmin::EntryReason::Expired);
        EXPECT_STREQ(mqadmin::ReasonName(info.reason), "expired");
        EXPECT_NE(info.reasonText.find("still queued"), std::string::npos) << info.reasonText;
        if (c.takeFirst) {
            EXPECT_EQ(after.reason, mqadmin::EntryReason::Expired);
        }
    }
}

// Flushing makes deferred entries due now: one, a channel's, or all.
TEST_F(Schedule, FlushMakesDeferredEntriesDue) {
    struct Case {
        const char* name;
        bool byId;
        const char* channel;
        size_t wantRelay, wantLocal;
    } cases[] = {
        {"one entry", true, nullptr, 1, 0},
        {"a channel", false, "RELAY", 2, 0},
        {"every channel", false, "", 2, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Install install;
        ASSERT_TRUE(install.Init());
        unsigned long first = PutEntry("relay", "a@example.org", {"b@example.org"}, "1");
        ASSERT_NE(PutEntry("relay", "a@example.org", {"b@example.org"}, "2"), 0u);
        ASSERT_NE(PutEntry("local", "a@example.org", {"b@example.org"}, "3"), 0u);
        ASSERT_EQ(Drain("relay", false).size(), 2u);
        ASSERT_EQ(Drain("local", false).size(), 1u);
        EXPECT_TRUE(Drain("relay", false).empty());
        if (c.byId) {
            EXPECT_EQ(mqadmin::FlushEntry(first), mqadmin::AdminResult::Done);
            EXPECT_EQ(mqadmin::FlushEntry(first + 100), mqadmin::AdminResult::NotFound);
        } else {
            uint64_t count = 0;
            ASSERT_TRUE(mqadmin::FlushChannel(c.channel, &count));
            EXPECT_EQ(count, c.wantRelay + c.wantLocal);
        }
        EXPECT_EQ(Drain("relay", false).size(), c.wantRelay);
        EXPECT_EQ(Drain("local", false).size(), c.wantLocal);
    }
}

// The settings: seconds or a number with a unit; anything else, the default.
TEST_F(Schedule, SettingsAreReadOrDefaulted) {
    struct Case {
        const char* setting;
        int64_t minimal, maximal, lifetime;
    } cases[] = {
        {"", 300, 3600, 432000},
        {"MinimalBackoff = 90\nMaximalBackoff = 2h\nQueueLifetime = 1d\n", 90, 7200, 86400},
        {"MinimalBackoff = 30s\nMaximalBackoff = 10m\nQueueLifetime = 0\n", 30, 600, 0},
        {"MinimalBackoff = 0\n", 300, 3600, 432000},
        {"MinimalBackoff = -5\nMaximalBackoff = soon\nQueueLifetime = 1.5h\n", 300, 3600,
         432000},
        {"MinimalBackoff = 5x\nQueueLifetime = 5 d\n", 300, 3600, 432000},
        {"MinimalBackoff = 2h\nMaximalBackoff = 1h\n", 7200, 7200, 432000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.setting);
        Install install("relay\t\tsmtp\t\tout\r\n", c.setting);
        ASSERT_TRUE(install.Init());
        mqadmin::Schedule s = mqadmin::RetrySchedule();
        EXPECT_EQ(s.minimalBackoff, c.minimal);
        EXPECT_EQ(s.maximalBackoff, c.maximal);
        EXPECT_EQ(s.queueLifetime, c.lifetime);
    }
}

}  // namespace
