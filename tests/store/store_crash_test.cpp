// The queue store under random SIGKILLs: producers (both put protocols) and
// readers of one channel killed at random, several hundred times, while the
// others go on. Afterwards every acknowledged message has been delivered, no
// message went to two readers while both lived, and no entry without its
// body is left once the dead writers have been noticed.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <sstream>

#include "mq.h"
#include "mqadmin.h"
#include "mqput.h"
#include "store_fixture.h"

using mqtest::Install;
using mqtest::ReadFile;
using mqtest::Spawn;
using mqtest::Wait;

namespace {

int64_t Now() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// One line appended in one write, so that a kill never leaves half a record.
void Record(int fd, const std::string& line) {
    std::string text = line + "\n";
    ssize_t n = write(fd, text.data(), text.size());
    (void)n;
}

enum class Role { OneCallProducer, RenameProducer, Reader };

// A producer: puts messages whose bodies are unique tokens, recording each
// token once its put is acknowledged (for the rename protocol: once the body
// is renamed in).
int Produce(const std::string& ini, const std::string& log, int spawn, bool oneCall) {
    if (!MQInit(ini.c_str(), "producer")) return 1;
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    mqtest::WriterEnvelope envelope({"a@example.org"}, {"b@example.org"});
    for (int seq = 0;; ++seq) {
        std::string token = "s" + std::to_string(spawn) + "-" + std::to_string(seq);
        if (!oneCall) {
            if (mqtest::PutEntry("relay", "a@example.org", {"b@example.org"}, token) != 0) {
                Record(fd, "ack " + token);
            }
            continue;
        }
        MQContext* entry = CreateMQEntry();
        if (entry == nullptr) continue;
        if (InsertMQChannel(entry, "relay", 0) && PutMQEnvelope(entry, envelope.Get()) &&
            WriteMQBody(entry, token.data(), token.size()) && CloseMQEntry(entry)) {
            Record(fd, "ack " + token);
        } else {
            DiscardMQEntry(entry);
        }
    }
}

// True for a whole token as a producer makes it ("s<spawn>-<seq>"): a
// short, empty or missing file is none.
bool IsToken(const std::string& text) {
    size_t dash = text.find('-');
    return text.size() >= 4 && text[0] == 's' && dash != std::string::npos && dash > 1 &&
           dash + 1 < text.size() &&
           text.find_first_not_of("0123456789", 1) == dash &&
           text.find_first_not_of("0123456789", dash + 1) == std::string::npos;
}

// A reader: takes messages, recording "got TOKEN TIME" when it has one and
// "del TOKEN" once it is removed, and "torn ID" when the path it was given
// names no whole body (a one-call put's body has no file until a path to
// it is named, which must write it first). The path is asked for through
// the read handle and by identifier in turns. It never gives one back
// while it lives.
int Read(const std::string& ini, const std::string& log) {
    if (!MQInit(ini.c_str(), "reader")) return 1;
    int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    MQContext* reader = OpenMQChannel("relay");
    if (reader == nullptr) return 1;
    for (bool first = true;; first = false) {
        unsigned long id = first ? GetFirstMessage(reader, false) : GetNextMessage(reader, false);
        if (id == 0) {
            usleep(2000);
            continue;
        }
        const char* path = id % 2 == 0 ? GetMQPathName(reader, ".msg") : GetMQPathName(id, ".msg");
        std::string token = path != nullptr ? ReadFile(path) : "";
        if (!IsToken(token)) {
            Record(fd, "torn " + std::to_string(id));
            continue;  // left leased: given back when this reader dies
        }
        Record(fd, "got " + token + " " + std::to_string(Now()));
        if (RemoveMQChannel(reader)) Record(fd, "del " + token);
    }
}

struct Child {
    pid_t pid;
    Role role;
    std::string log;
};

TEST(StoreCrash, RandomKillsLoseNoAcknowledgedMessageAndNeverDoubleDeliver) {
    Install install("relay\t\tsmtp\t\tout\r\n");
    ASSERT_TRUE(install.Init());
    const std::string ini = install.Ini();
    std::mt19937 random(12345);
    int spawns = 0;
    auto start = [&](Role role) {
        Child c{0, role, install.Dir() + "/log" + std::to_string(spawns)};
        int spawn = spawns++;
        std::string log = c.log;
        c.pid = Spawn([=] {
            return role == Role::Reader ? Read(ini, log)
                                        : Produce(ini, log, spawn, role == Role::OneCallProducer);
        });
        return c;
    };
    std::vector<Child> live;
    std::vector<Child> dead;
    std::map<pid_t, int64_t> killedAt;
    for (Role role : {Role::OneCallProducer, Role::OneCallProducer, Role::RenameProducer,
                      Role::RenameProducer, Role::Reader, Role::Reader, Role::Reader}) {
        live.push_back(start(role));
    }

    const int kKills = 300;
    auto began = std::chrono::steady_clock::now();
    int kills = 0;
    while (kills < kKills && std::chrono::steady_clock::now() - began < std::chrono::seconds(50)) {
        usleep(std::uniform_int_distribution<int>(10000, 60000)(random));
        size_t victim = std::uniform_int_distribution<size_t>(0, live.size() - 1)(random);
        Child c = live[victim];
        killedAt[c.pid] = Now();
        kill(c.pid, SIGKILL);
        ASSERT_EQ(Wait(c.pid), -SIGKILL) << "a child ended on its own";
        ++kills;
        dead.push_back(c);
        live[victim] = start(c.role);
    }
    EXPECT_GE(kills, 200) << "too few kills in the time";
    for (Child& c : live) {
        killedAt[c.pid] = Now();
        kill(c.pid, SIGKILL);
        Wait(c.pid);
        dead.push_back(c);
    }

    // What is left is delivered by this process (it notices the dead). An
    // entry whose reader died twice waits out a backoff: flushed, and the
    // channel read again, until nothing was waiting.
    std::set<std::string> delivered;
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    for (uint64_t flushed = 1; flushed != 0;) {
        for (unsigned long id = GetNextMessage(reader, false); id != 0;
             id = GetNextMessage(reader, false)) {
            std::string token = ReadFile(GetMQPathName(id, ".msg"));
            EXPECT_TRUE(IsToken(token)) << "entry " << id << " handed out with \"" << token << "\"";
            delivered.insert(token);
            ASSERT_TRUE(RemoveMQChannel(reader));
        }
        ASSERT_TRUE(mqadmin::FlushChannel("relay", &flushed));
    }
    ASSERT_TRUE(CloseMQChannel(reader));

    std::set<std::string> acked;
    std::map<std::string, std::vector<std::pair<int64_t, pid_t>>> gets;
    std::map<std::string, int> deletes;
    for (const Child& c : dead) {
        std::istringstream lines(ReadFile(c.log));
        for (std::string what, token; lines >> what >> token;) {
            if (what == "torn") {
                ADD_FAILURE() << "entry " << token << " was handed out without its whole body";
            } else if (what == "ack") {
                acked.insert(token);
            } else if (what == "got") {
                int64_t at = 0;
                lines >> at;
                gets[token].push_back({at, c.pid});
            } else if (what == "del") {
                delivered.insert(token);
                ++deletes[token];
            }
        }
    }
    int lost = 0;
    for (const std::string& token : acked) {
        if (delivered.count(token) == 0 && gets.count(token) == 0 && ++lost <= 5) {
            ADD_FAILURE() << "acknowledged message " << token << " was never delivered";
        }
    }
    EXPECT_EQ(lost, 0);
    int doubled = 0;
    for (auto& [token, list] : gets) {
        std::sort(list.begin(), list.end());
        for (size_t i = 1; i < list.size(); ++i) {
            // Handed out again only after the earlier reader was killed.
            pid_t earlier = list[i - 1].second;
            if (killedAt.count(earlier) == 0 || killedAt[earlier] > list[i].first) {
                if (++doubled <= 5) {
                    ADD_FAILURE() << token << " went to " << earlier << " and " << list[i].second
                                  << " while both lived";
                }
            }
        }
        EXPECT_LE(deletes[token], 1) << token << " removed twice";
    }
    EXPECT_EQ(doubled, 0);
    EXPECT_GT(acked.size(), 100u) << "the producers got too little done to tell";

    std::vector<mqadmin::EntryInfo> left;
    ASSERT_TRUE(mqadmin::ListEntries(nullptr, &left));
    EXPECT_TRUE(left.empty()) << left.size() << " entries left, the first " << left[0].id
                              << " in state " << mqadmin::StateName(left[0].state);
    mqadmin::HealthReport report;
    ASSERT_TRUE(mqadmin::CheckStore(&report));
    EXPECT_TRUE(report.missingBodies.empty());
}

}  // namespace
