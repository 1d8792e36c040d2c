// The queue store across real processes: readers sharing a channel,
// readers and writers killed with SIGKILL, process identities that no
// longer match, a fork followed by MQInit, and a spool or database the
// store can't use.
#include <gtest/gtest.h>
#include <ftw.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>

#include "mq.h"
#include "mqadmin.h"
#include "mqput.h"
#include "store_fixture.h"

using mqtest::Drain;
using mqtest::FileExists;
using mqtest::Install;
using mqtest::PutEntry;
using mqtest::QueryDb;
using mqtest::RunProgram;
using mqtest::Spawn;
using mqtest::Wait;

namespace {

// A check inside a child: says what failed on standard error.
bool Expect(bool ok, const char* what) {
    if (!ok) std::fprintf(stderr, "child %d: %s failed\n", static_cast<int>(getpid()), what);
    return ok;
}

// A pipe over which one process hands numbers to another.
class Pipe {
public:
    Pipe() {
        if (pipe(fds_) != 0) fds_[0] = fds_[1] = -1;
    }
    ~Pipe() {
        close(fds_[0]);
        close(fds_[1]);
    }
    void Send(unsigned long value) {
        ssize_t n = write(fds_[1], &value, sizeof value);
        (void)n;
    }
    // 0 when the other side is gone without sending.
    unsigned long Receive() {
        unsigned long value = 0;
        return read(fds_[0], &value, sizeof value) == sizeof value ? value : 0;
    }

private:
    int fds_[2];
};

std::vector<unsigned long> ReadIds(const std::string& path) {
    std::vector<unsigned long> ids;
    std::ifstream in(path);
    for (unsigned long id; in >> id;) ids.push_back(id);
    return ids;
}

// Waits until the kernel shows pid as a zombie (killed, not reaped).
bool AwaitZombie(pid_t pid) {
    for (int i = 0; i < 2000; ++i) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
        size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size() && text[close + 2] == 'Z') {
            return true;
        }
        usleep(1000);
    }
    return false;
}

class StoreProcesses : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(install_.Init()); }
    Install install_;
};

TEST_F(StoreProcesses, TwoReaderProcessesGetDisjointSharesOfEverything) {
    std::vector<unsigned long> put;
    for (int i = 0; i < 100; ++i) put.push_back(PutEntry("relay", "a@e.org", {"b@e.org"}, "x"));
    ASSERT_EQ(std::count(put.begin(), put.end(), 0ul), 0);

    Pipe go;
    std::vector<pid_t> readers;
    std::vector<std::string> outputs;
    for (int r = 0; r < 2; ++r) {
        outputs.push_back(install_.Dir() + "/reader" + std::to_string(r));
        std::string out = outputs.back();
        std::string ini = install_.Ini();
        readers.push_back(Spawn([&go, out, ini] {
            if (!Expect(MQInit(ini.c_str(), "reader"), "MQInit")) return 1;
            go.Receive();  // both start together
            std::ofstream ids(out);
            MQContext* reader = OpenMQChannel("relay");
            if (!Expect(reader != nullptr, "OpenMQChannel")) return 1;
            for (unsigned long id = GetFirstMessage(reader, false); id != 0;
                 id = GetNextMessage(reader, false)) {
                ids << id << "\n" << std::flush;
                usleep(1000);  // hold it a moment, so that the two overlap
                if (!Expect(RemoveMQChannel(reader), "RemoveMQChannel")) return 1;
            }
            return Expect(CloseMQChannel(reader), "CloseMQChannel") ? 0 : 1;
        }));
    }
    go.Send(1);
    go.Send(1);
    for (pid_t pid : readers) EXPECT_EQ(Wait(pid), 0);

    std::vector<unsigned long> first = ReadIds(outputs[0]), second = ReadIds(outputs[1]);
    EXPECT_FALSE(first.empty()) << "reader 0 got nothing";
    EXPECT_FALSE(second.empty()) << "reader 1 got nothing";
    std::vector<unsigned long> all = first;
    all.insert(all.end(), second.begin(), second.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ(all, put) << "got " << first.size() << " + " << second.size() << ", want "
                        << put.size() << " entries, each once";
    // Each reader still gets its share in identifier (put) order.
    EXPECT_TRUE(std::is_sorted(first.begin(), first.end())) << "reader 0 out of order";
    EXPECT_TRUE(std::is_sorted(second.begin(), second.end())) << "reader 1 out of order";
    EXPECT_TRUE(Drain("relay", false).empty());
}

TEST_F(StoreProcesses, AnEntryHeldByAKilledReaderIsOfferedAgainAfterAnAttempt) {
    struct Case {
        const char* name;
        bool reaped;        // the killed reader is waited for before the store looks
        bool otherChannel;  // another channel's open looks after the dead first
    } cases[] = {
        {"reaped reader, found by the poller", true, false},
        {"zombie reader, found by the poller", false, false},
        {"reaped reader, found by another channel's open", true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned long id = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
        ASSERT_NE(id, 0u);
        Pipe got;
        std::string ini = install_.Ini();
        pid_t reader = Spawn([&got, ini] {
            if (!MQInit(ini.c_str(), "reader")) return 1;
            MQContext* handle = OpenMQChannel("relay");
            got.Send(handle != nullptr ? GetFirstMessage(handle, false) : 0);
            pause();
            return 0;
        });
        ASSERT_EQ(got.Receive(), id);
        // A reader that keeps its handle and polls, as a delivery agent does.
        MQContext* poller = OpenMQChannel("relay");
        ASSERT_NE(poller, nullptr);
        EXPECT_EQ(GetFirstMessage(poller, false), 0u) << "offered while its reader lives";

        kill(reader, SIGKILL);
        if (c.reaped) {
            EXPECT_EQ(Wait(reader), -SIGKILL);
        } else {
            ASSERT_TRUE(AwaitZombie(reader));
        }
        mqadmin::EntryInfo info;
        if (c.otherChannel) {
            EXPECT_TRUE(Drain("local", false).empty());
            ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
            EXPECT_FALSE(info.leased) << "still leased to the dead reader";
        }
        EXPECT_EQ(GetNextMessage(poller, false), id);
        ASSERT_TRUE(mqadmin::GetEntryInfo(id, &info));
        EXPECT_EQ(info.attempts, 1u) << "the dead reader's hand-out counts";
        EXPECT_EQ(info.reason, mqadmin::EntryReason::ReaderDied);
        EXPECT_EQ(info.reasonBy, "reader[" + std::to_string(reader) + "]");
        EXPECT_TRUE(RemoveMQChannel(poller));
        EXPECT_TRUE(CloseMQChannel(poller));
        if (!c.reaped) Wait(reader);
    }
}

TEST_F(StoreProcesses, AWriterKilledBeforeClosingLeavesNothingOffered) {
    Pipe created;
    std::string ini = install_.Ini();
    pid_t writer = Spawn([&created, ini] {
        if (!MQInit(ini.c_str(), "writer")) return 1;
        MQContext* entry = CreateMQEntry();
        if (entry == nullptr || !InsertMQChannel(entry, "relay", 0)) return 1;
        // The worst a writer can do: a body in place before the close.
        Install::Write(GetMQPathName(entry, ".tmp"), "half");
        Install::Write(GetMQPathName(entry, ".msg"), "whole");
        created.Send(mqadmin::EntryIdFromPath(GetMQPathName(entry, ".msg")));
        pause();
        return 0;
    });
    unsigned long id = created.Receive();
    ASSERT_NE(id, 0u);
    std::string msg = GetMQPathName(id, ".msg"), tmp = GetMQPathName(id, ".tmp");
    EXPECT_TRUE(Drain("relay", false).empty()) << "an entry being written";
    kill(writer, SIGKILL);
    EXPECT_EQ(Wait(writer), -SIGKILL);

    EXPECT_TRUE(Drain("relay", false).empty()) << "the dead writer's entry";
    mqadmin::EntryInfo info;
    EXPECT_FALSE(mqadmin::GetEntryInfo(id, &info)) << "its row was not cleaned up";
    EXPECT_FALSE(FileExists(msg));
    EXPECT_FALSE(FileExists(tmp));
    unsigned long next = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
    EXPECT_GT(next, id) << "an identifier handed out before comes back";
}

TEST_F(StoreProcesses, AReusedSlotDoesNotKeepADeadProcessAlive) {
    // Rows naming this live process's slot (and process id) with a nonce
    // that is not its own: left by an earlier holder of the slot.
    MQContext* reader = OpenMQChannel("local");
    ASSERT_NE(reader, nullptr);
    std::string slot = QueryDb(install_.Db(), "SELECT slot FROM leases");
    ASSERT_FALSE(slot.empty());
    std::string me = std::to_string(getpid());
    unsigned long leased = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
    unsigned long claimed = PutEntry("relay", "a@e.org", {"b@e.org"}, "x", false);
    QueryDb(install_.Db(),
            "INSERT INTO leases(id, slot, nonce, pid, channel, opened) VALUES(9000, " + slot +
                ", 1, " + me +
                ", 'relay', 0);"
                "UPDATE entries SET lease = 9000 WHERE id = " +
                std::to_string(leased) +
                ";"
                "UPDATE entries SET claim_nonce = 1 WHERE id = " +
                std::to_string(claimed));
    EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{leased});
    EXPECT_EQ(QueryDb(install_.Db(), "SELECT count(*) FROM entries"), "0")
        << "the bodiless entry of the slot's dead holder stays";
    EXPECT_EQ(QueryDb(install_.Db(), "SELECT count(*) FROM leases WHERE id = 9000"), "0");
    EXPECT_TRUE(CloseMQChannel(reader));
}

// Runs argv and returns what it printed; "" when it failed. What it said
// on standard error is passed on.
std::string Output(const std::vector<std::string>& argv) {
    mqtest::Child child{mqtest::Program(argv)};
    std::string out, err;
    int status = child.Finish("", &out, &err);
    std::fputs(err.c_str(), stderr);
    return status == 0 ? out : "";
}

int OpenUp(const char* path, const struct stat*, int, struct FTW*) {
    return chmod(path, 0777);
}

// A reader that can't see the other in /proc (another PID namespace, or
// another user under hidepid=2) must still see that it lives, by its slot.
TEST_F(StoreProcesses, AReaderThatCannotSeeAnotherInProcStillSeesItLive) {
    if (RunProgram({"unshare", "-p", "-f", "--mount-proc", "true"}, "", nullptr) != 0) {
        GTEST_SKIP() << "no PID namespaces here (unshare -p needs privilege)";
    }
    // Another user under hidepid=2 needs the spool open to all.
    nftw(install_.Dir().c_str(), OpenUp, 16, FTW_PHYS);
    const std::string agent = MQTEST_STORE_AGENT, ini = install_.Ini();
    struct Case {
        const char* name;
        std::vector<std::string> argv;
    } cases[] = {
        {"another PID namespace", {"unshare", "-p", "-f", "--mount-proc", agent, ini, "relay"}},
        {"another user, /proc hidepid=2",
         {"unshare", "-m", "sh", "-c",
          "mount -t proc -o hidepid=2 proc /proc && exec setpriv --reuid=65534 --regid=65534 "
          "--clear-groups \"$0\" \"$@\"",
          agent, ini, "relay"}},
    };
    // Mounting a proc of the process's own PID namespace takes privilege
    // over it, which a user namespace (the emulated i386 run's) lacks.
    const bool canMountProc = RunProgram({"unshare", "-m", "sh", "-c",
                                          "mount -t proc -o hidepid=2 proc /proc"},
                                         "", nullptr) == 0;
    for (const Case& c : cases) {
        if (c.argv[1] == "-m" && !canMountProc) {
            std::printf("not run here (no proc mount in this namespace): %s\n", c.name);
            continue;
        }
        unsigned long id = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
        ASSERT_NE(id, 0u);
        nftw(install_.Dir().c_str(), OpenUp, 16, FTW_PHYS);
        Pipe got;
        pid_t holder = Spawn([&got, ini] {
            if (!MQInit(ini.c_str(), "holder")) return 1;
            MQContext* handle = OpenMQChannel("relay");
            got.Send(handle != nullptr ? GetFirstMessage(handle, false) : 0);
            pause();
            return 0;
        });
        ASSERT_EQ(got.Receive(), id) << c.name;
        EXPECT_EQ(Output(c.argv), "0\n") << c.name << ": took the entry of a live reader";
        kill(holder, SIGKILL);
        EXPECT_EQ(Wait(holder), -SIGKILL);
        EXPECT_EQ(Output(c.argv), std::to_string(id) + "\n")
            << c.name << ": the dead reader's entry was not offered again";
        // The agent closed its handle without removing it: deferred.
        uint64_t flushed = 0;
        EXPECT_TRUE(mqadmin::FlushChannel("relay", &flushed));
        EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{id}) << c.name;
    }
}

// A mail system starts a process for each message it puts. Such processes
// checkpoint early, so the log the next one reads stays short however many
// came before; a process that puts on checkpoints seldom (two syncs each
// time), so its log grows longer than theirs ever does.
TEST_F(StoreProcesses, TheLogStaysShortForOnePutProcessesAndLongerForOthers) {
    const std::string ini = install_.Ini(), db = install_.Db();
    const std::string body(3000, 'b');  // kept in its commit
    auto put = [&body] {
        MQContext* entry = CreateMQEntry();
        if (entry == nullptr) return false;
        mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
        if (!InsertMQChannel(entry, "relay", 0) || !PutMQEnvelope(entry, envelope.Get()) ||
            !WriteMQBody(entry, body.data(), body.size()) || !CloseMQEntry(entry)) {
            DiscardMQEntry(entry);
            return false;
        }
        return true;
    };
    // The most frames a lone opener found after each of the first 20 one-put
    // processes (several checkpoints' worth of puts), then after the next 20;
    // and the most one put added, since where a checkpoint's mark falls
    // within a put moves from one round to the next.
    int most[2] = {0, 0}, step = 0, before = 0;
    for (int i = 0; i < 40; ++i) {
        pid_t child = Spawn([&] { return MQInit(ini.c_str(), "put") && put() ? 0 : 1; });
        ASSERT_EQ(Wait(child), 0);
        int frames = mqtest::LogFrames(db);
        ASSERT_GE(frames, 0) << "the log's frames could not be read";
        most[i / 20] = std::max(most[i / 20], frames);
        if (i > 0) step = std::max(step, frames - before);
        before = frames;
    }
    EXPECT_GT(most[0], 0) << "no frame in the log: nothing measured";
    EXPECT_LE(most[1], most[0] + step)
        << "the log a lone opener reads grew with the one-put processes: at most " << most[0]
        << " frames after the first 20, " << most[1] << " after the next 20";

    // The longest its log got: where its own (seldom) checkpoint falls
    // among the puts depends on the pages each put writes.
    int longest = 0;
    for (int i = 0; i < 60; ++i) {
        ASSERT_TRUE(put());
        longest = std::max(longest, mqtest::LogFrames(db));
    }
    EXPECT_GT(longest, most[0]) << "a process putting on checkpoints as often as one-put ones";
}

// Writers and readers of several processes committing without a pause:
// the log must still be checkpointed to its end and start over from its
// beginning again and again (only a log copied to its end starts over, and
// a checkpoint that copies while others commit never gets there). They
// write several times the size at which a log is cut back (8 MiB); the
// log's file stays a few checkpoint intervals long: four at most before it
// is copied to its end under the writers' lock, plus what was committed
// during the last copy outside it, about 5 MiB.
TEST_F(StoreProcesses, TheLogStartsOverWhileOthersKeepCommitting) {
    const int kWriters = 4, kReaders = 2, kPuts = 300;
    const std::string ini = install_.Ini();
    const std::string body(3000, 'b');  // kept in its commit: a few pages a put
    Pipe go;
    std::vector<pid_t> writers, readers;
    for (int w = 0; w < kWriters; ++w) {
        writers.push_back(Spawn([&go, &body, ini] {
            if (!Expect(MQInit(ini.c_str(), "writer"), "MQInit")) return 1;
            go.Receive();
            for (int i = 0; i < kPuts; ++i) {
                MQContext* entry = CreateMQEntry();
                mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
                if (!Expect(entry != nullptr && InsertMQChannel(entry, "relay", 0) &&
                                PutMQEnvelope(entry, envelope.Get()) &&
                                WriteMQBody(entry, body.data(), body.size()) &&
                                CloseMQEntry(entry),
                            "put")) {
                    return 1;
                }
            }
            return 0;
        }));
    }
    // Readers take what is there, and stop once the channel has stayed
    // empty for a while after the writers are done (told by a file).
    const std::string done = install_.Dir() + "/writers-done";
    for (int r = 0; r < kReaders; ++r) {
        readers.push_back(Spawn([&go, ini, done] {
            if (!Expect(MQInit(ini.c_str(), "reader"), "MQInit")) return 1;
            go.Receive();
            MQContext* reader = OpenMQChannel("relay");
            if (!Expect(reader != nullptr, "OpenMQChannel")) return 1;
            for (int idle = 0; idle < 20;) {
                if (GetFirstMessage(reader, false) == 0) {
                    if (!Expect(!MQLastCallFailed(), "GetFirstMessage")) return 1;
                    if (FileExists(done)) ++idle;
                    usleep(5000);
                    continue;
                }
                if (!Expect(RemoveMQChannel(reader), "RemoveMQChannel")) return 1;
            }
            return Expect(CloseMQChannel(reader), "CloseMQChannel") ? 0 : 1;
        }));
    }
    for (int i = 0; i < kWriters + kReaders; ++i) go.Send(1);
    for (pid_t pid : writers) EXPECT_EQ(Wait(pid), 0);
    Install::Write(done, "");
    for (pid_t pid : readers) EXPECT_EQ(Wait(pid), 0);
    EXPECT_TRUE(Drain("relay", false).empty()) << "the readers left entries behind";

    struct stat st;
    ASSERT_EQ(stat((install_.Db() + "-wal").c_str(), &st), 0);
    EXPECT_LT(st.st_size, 6 << 20) << "the log grew to " << st.st_size
                                   << " bytes: it did not start over while others committed";
}

TEST_F(StoreProcesses, AChildInitialisesAgainAfterAFork) {
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(GetFirstMessage(reader, false), 0u);
    std::string ini = install_.Ini();
    pid_t child = Spawn([reader, ini] {
        bool ok = Expect(CreateMQEntry() == nullptr, "using the parent's store");
        ok = Expect(GetNextMessage(reader, false) == 0, "using the parent's handle") && ok;
        ok = Expect(MQInit(ini.c_str(), "child"), "MQInit") && ok;
        ok = Expect(PutEntry("relay", "c@e.org", {"p@e.org"}, "from the child") != 0, "put") && ok;
        ok = Expect(!CloseMQChannel(reader), "closing the parent's handle") && ok;
        return ok ? 0 : 1;
    });
    EXPECT_EQ(Wait(child), 0);
    // The parent's connection and handle go on as before.
    unsigned long id = GetNextMessage(reader, false);
    ASSERT_NE(id, 0u) << "the child's entry";
    EXPECT_EQ(mqtest::ReadFile(GetMQPathName(reader, ".msg")), "from the child");
    EXPECT_TRUE(RemoveMQChannel(reader));
    EXPECT_TRUE(CloseMQChannel(reader));
}

TEST_F(StoreProcesses, AChildThatExitsNormallyAfterAForkLeaksNothing) {
    std::string ini = install_.Ini();
    unsigned long id = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
    pid_t child = Spawn([ini, id] {
        bool ok = MQInit(ini.c_str(), "child") && Drain("relay", true).size() == 1;
        std::fflush(nullptr);
        // exit, not _exit: LeakSanitizer checks the child at its end.
        std::exit(ok ? 0 : 1);
        return id != 0 ? 1 : 1;
    });
    EXPECT_EQ(Wait(child), 0);
    EXPECT_TRUE(Drain("relay", false).empty());
}

// A writer waiting for the writers' lock, or for another process's sync of
// the log, sleeps between its looks, and goes on once the holder lets go
// without waking it (as a dead holder, or a process of an earlier release,
// does): a wait that spun would burn a core for as long as the holder holds
// on, and one that waited only for a wake would never end.
struct HeldByte {
    const char* what;
    off_t byte;
};
class StoreHeldByte : public StoreProcesses, public ::testing::WithParamInterface<HeldByte> {};

TEST_P(StoreHeldByte, AWriterWaitsAsleepForAHolderThatNeverWakesIt) {
    ASSERT_NE(PutEntry("relay", "a@e.org", {"b@e.org"}, "first"), 0ul);
    const std::string lockPath = install_.Spool() + "/queue.lck";
    const off_t byte = GetParam().byte;
    Pipe held;
    pid_t holder = Spawn([&held, lockPath, byte] {
        int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
        struct flock lock {};
        lock.l_type = F_WRLCK;
        lock.l_whence = SEEK_SET;
        lock.l_start = byte;
        lock.l_len = 1;
        if (!Expect(fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0, "taking the byte")) return 1;
        held.Send(1);
        for (;;) pause();
    });
    ASSERT_EQ(held.Receive(), 1ul);
    // The writer reports the processor time its put took, in microseconds
    // (the put alone: an emulated run's slow start is not counted).
    std::string ini = install_.Ini();
    Pipe ready, spent;
    pid_t writer = Spawn([ini, &ready, &spent] {
        const bool up = Expect(MQInit(ini.c_str(), "writer"), "MQInit");
        ready.Send(up ? 1 : 2);
        if (!up) return 1;
        struct rusage before {}, after {};
        getrusage(RUSAGE_SELF, &before);
        bool put = PutEntry("relay", "a@e.org", {"b@e.org"}, "second") != 0;
        getrusage(RUSAGE_SELF, &after);
        auto micros = [](const struct rusage& u) {
            return (u.ru_utime.tv_sec + u.ru_stime.tv_sec) * 1000000L + u.ru_utime.tv_usec +
                   u.ru_stime.tv_usec;
        };
        spent.Send(static_cast<unsigned long>(micros(after) - micros(before)) + 1);
        return Expect(put, "PutEntry") ? 0 : 1;
    });
    const bool up = ready.Receive() == 1;
    if (up) sleep(2);  // the writer waits on the lock meanwhile
    kill(holder, SIGKILL);
    EXPECT_EQ(Wait(holder), -SIGKILL);
    ASSERT_TRUE(up) << "the writer could not open the store";
    unsigned long micros = spent.Receive();
    EXPECT_EQ(Wait(writer), 0) << "the writer failed";
    ASSERT_NE(micros, 0ul) << "the writer reported nothing";
    // A sleeping waiter's put takes about 0.02 s here; one whose sleeps
    // end at once (a timeout the kernel read as zero) about 0.4 s.
    EXPECT_LT((micros - 1) / 1e6, 0.2)
        << "seconds of processor time spent by a writer waiting 2 s";
    EXPECT_EQ(Drain("relay", false).size(), 2u);
}

// The lock file's bytes: 0 is the writers' lock, the one just below the
// first MiB the syncing process's.
INSTANTIATE_TEST_SUITE_P(Bytes, StoreHeldByte,
                         ::testing::Values(HeldByte{"WritersLock", 0},
                                           HeldByte{"SyncInProgress", (1 << 20) - 1}),
                         [](const ::testing::TestParamInfo<HeldByte>& info) {
                             return std::string(info.param.what);
                         });

// Writers and readers started together on a spool not yet made: each waits
// for the others' opening (the spool, the database, its log) as it waits
// for the writers' lock, and none is refused.
TEST(StoreFirstUse, ProcessesStartedTogetherOnANewSpoolAreAllServed) {
    const int kWriters = 12, kReaders = 4;
    for (int trial = 0; trial < 5; ++trial) {
        Install install;  // no spool yet
        Pipe go;
        std::vector<pid_t> children;
        for (int i = 0; i < kWriters + kReaders; ++i) {
            const bool writer = i < kWriters;
            std::string ini = install.Ini();
            children.push_back(Spawn([&go, ini, writer] {
                go.Receive();
                if (!Expect(MQInit(ini.c_str(), writer ? "writer" : "reader"), "MQInit")) return 1;
                if (writer) return Expect(PutEntry("relay", "a@e.org", {"b@e.org"}, "x") != 0,
                                          "PutEntry") ? 0 : 1;
                MQContext* reader = OpenMQChannel("relay");
                if (!Expect(reader != nullptr, "OpenMQChannel")) return 1;
                GetFirstMessage(reader, false);
                return Expect(!MQLastCallFailed(), "GetFirstMessage") &&
                               Expect(CloseMQChannel(reader), "CloseMQChannel")
                           ? 0
                           : 1;
            }));
        }
        for (size_t i = 0; i < children.size(); ++i) go.Send(1);
        int refused = 0;
        for (pid_t pid : children) refused += Wait(pid) != 0;
        EXPECT_EQ(refused, 0) << "trial " << trial;
        ASSERT_TRUE(install.Init());
        std::vector<mqadmin::EntryInfo> entries;
        ASSERT_TRUE(mqadmin::ListEntries(nullptr, &entries));
        EXPECT_EQ(entries.size(), static_cast<size_t>(kWriters)) << "trial " << trial;
    }
}

// Each case spoils the installation in its own way; MQInit in a child must
// then fail, and so must the calls after it, each with its result.
TEST(StoreUnusable, CallsFailWithTheirResults) {
    struct Case {
        const char* name;
        std::function<void(const Install&)> spoil;
    } cases[] = {
        {"spool is a file", [](const Install& i) { Install::Write(i.Spool(), "x"); }},
        {"message tree is a file",
         [](const Install& i) {
             mkdir(i.Spool().c_str(), 0750);
             Install::Write(i.Spool() + "/msg", "x");
         }},
        {"queue.db is a directory",
         [](const Install& i) {
             mkdir(i.Spool().c_str(), 0750);
             mkdir(i.Db().c_str(), 0750);
         }},
        {"queue.db is garbage",
         [](const Install& i) {
             mkdir(i.Spool().c_str(), 0750);
             Install::Write(i.Db(), std::string(8192, 'z'));
         }},
        {"spool not writable by the user", [](const Install& i) {
             mkdir(i.Spool().c_str(), 0755);
             chmod(i.Dir().c_str(), 0755);
         }},
    };
    for (const Case& c : cases) {
        Install install;
        c.spoil(install);
        bool asNobody = std::strcmp(c.name, "spool not writable by the user") == 0;
        std::string ini = install.Ini();
        pid_t child = Spawn([ini, asNobody] {
            if (asNobody && (setgid(65534) != 0 || setuid(65534) != 0)) return 2;
            bool ok = Expect(!MQInit(ini.c_str(), "spoiled"), "MQInit refusing");
            ok = Expect(CreateMQEntry() == nullptr, "CreateMQEntry") && ok;
            ok = Expect(OpenMQChannel("relay") == nullptr, "OpenMQChannel") && ok;
            ok = Expect(GetMQEnvelope(1) == nullptr, "GetMQEnvelope") && ok;
            ok = Expect(GetMQPathName(1ul, ".msg") == nullptr, "GetMQPathName") && ok;
            std::vector<mqadmin::EntryInfo> list;
            ok = Expect(!mqadmin::ListEntries(nullptr, &list), "ListEntries") && ok;
            return ok ? 0 : 1;
        });
        EXPECT_EQ(Wait(child), 0) << c.name;
    }
}

TEST(StoreUnusable, ADamagedDatabaseFailsCallsWithoutACrash) {
    // Damage from the second page on spoils the store's own settings, so
    // MQInit fails; damage further in leaves MQInit working and spoils the
    // entries the calls after it read.
    struct Case {
        int firstPage;
        bool initWorks;
    } cases[] = {{2, false}, {16, true}};
    for (const Case& c : cases) {
        Install install;
        std::string ini = install.Ini();
        // Enough entries for the tables to spread over many pages.
        pid_t writer = Spawn([ini] {
            if (!MQInit(ini.c_str(), "writer")) return 1;
            for (int i = 0; i < 300; ++i) {
                if (PutEntry("relay", std::string(200, 'a') + "@e.org", {"b@e.org"}, "x") == 0) {
                    return 1;
                }
            }
            return 0;
        });
        ASSERT_EQ(Wait(writer), 0);
        // Fold the WAL in first, so that the damage is what a reader sees.
        QueryDb(install.Db(), "PRAGMA wal_checkpoint(TRUNCATE)");
        {
            std::fstream db(install.Db(), std::ios::in | std::ios::out | std::ios::binary);
            db.seekp((c.firstPage - 1) * 4096);
            std::string junk(64 * 4096, '\x5a');
            db.write(junk.data(), static_cast<std::streamsize>(junk.size()));
        }
        pid_t reader = Spawn([ini, c] {
            bool init = MQInit(ini.c_str(), "reader");
            bool ok = Expect(init == c.initWorks, "MQInit as expected");
            MQContext* handle = init ? OpenMQChannel("relay") : nullptr;
            if (handle != nullptr) {
                ok = Expect(GetFirstMessage(handle, false) == 0, "GetFirstMessage") && ok;
                CloseMQChannel(handle);
            }
            ok = Expect(CreateMQEntry() == nullptr, "CreateMQEntry") && ok;
            ok = Expect(GetMQEnvelope(150) == nullptr, "GetMQEnvelope") && ok;
            mqadmin::HealthReport report;
            ok = Expect(!mqadmin::CheckStore(&report) || !report.Healthy(), "CheckStore") && ok;
            return ok ? 0 : 1;
        });
        EXPECT_EQ(Wait(reader), 0) << "damage from page " << c.firstPage;
    }
}

// A statement the database can't prepare (its table gone from under the
// store) fails the call that needs it; it must not pass for a query that
// found nothing.
TEST(StoreUnusable, AMissingTableFailsTheCallsThatNeedIt) {
    struct Case {
        const char* table;
        std::function<bool()> call;  // true when it succeeded
    } cases[] = {
        {"leases", [] { return OpenMQChannel("relay") != nullptr; }},
        {"blocks", [] { return CreateMQEntry() != nullptr; }},
    };
    for (const Case& c : cases) {
        Install install;
        std::string ini = install.Ini();
        ASSERT_EQ(Wait(Spawn([ini] { return MQInit(ini.c_str(), "maker") ? 0 : 1; })), 0);
        QueryDb(install.Db(), std::string("DROP TABLE ") + c.table);
        std::function<bool()> call = c.call;
        pid_t child = Spawn([ini, call]() -> int {
            bool ok = Expect(MQInit(ini.c_str(), "user"), "MQInit");
            ok = Expect(!call(), "the call without its table") && ok;
            return Expect(MQLastCallFailed(), "the failure noted") && ok ? 0 : 1;
        });
        EXPECT_EQ(Wait(child), 0) << "without table " << c.table;
    }
}

}  // namespace
