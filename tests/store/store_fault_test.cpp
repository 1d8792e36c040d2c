// The queue store's failure paths, made to happen: the body writer's system
// calls through the store's table (a full disk, I/O errors, a short write,
// failed syncs and closes), SQLite's writes and syncs through a failing VFS,
// and allocations that throw. Each time the call fails with its result,
// nothing acknowledged is lost, nothing half made is offered, and the next
// call after the fault clears works.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstdio>
#include <functional>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "faulty_vfs.h"
#include "mq.h"
#include "mqadmin.h"
#include "mqput.h"
#include "store_fixture.h"
#include "failing_syscalls.h"
#include "syscalls.h"

using mqtest::Drain;
using mqtest::FileExists;
using mqtest::Install;
using mqtest::PutEntry;
using mqtest::ReadFile;

// The allocation seam: while armed on this thread, the n-th allocation
// from now throws (or, for the nothrow forms, returns null).
namespace {
thread_local long t_allocsLeft = -1;

bool AllocationFails() {
    if (t_allocsLeft < 0) return false;
    return t_allocsLeft-- == 0;
}
}  // namespace

// The replacements pair malloc with free themselves; the compiler can't
// see that its inlined view of them is one pair.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
void* operator new(size_t size) {
    if (AllocationFails()) throw std::bad_alloc();
    void* p = std::malloc(size == 0 ? 1 : size);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}
void* operator new[](size_t size) { return operator new(size); }
void* operator new(size_t size, const std::nothrow_t&) noexcept {
    if (AllocationFails()) return nullptr;
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](size_t size, const std::nothrow_t& nt) noexcept {
    return operator new(size, nt);
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, size_t) noexcept { std::free(p); }
void operator delete[](void* p, size_t) noexcept { std::free(p); }
#pragma GCC diagnostic pop

namespace {

// The spool's directory calls, recorded: "mkdir PATH" and "sync PATH" for
// a synced directory, PATH relative to g_base.
std::string g_base;
std::vector<std::string> g_dirCalls;
std::map<int, std::string> g_dirFds;

std::string Relative(const char* path) {
    std::string p = path;
    if (p == g_base) return ".";
    return p.compare(0, g_base.size() + 1, g_base + "/") == 0 ? p.substr(g_base.size() + 1) : p;
}
int RecordMkdir(const char* path, mode_t mode) {
    g_dirCalls.push_back("mkdir " + Relative(path));
    return mkdir(path, mode);
}
int RecordOpen(const char* path, int flags, mode_t mode) {
    int fd = open(path, flags, mode);
    if (fd >= 0 && (flags & O_DIRECTORY) != 0) g_dirFds[fd] = Relative(path);
    return fd;
}
int RecordFsync(int fd) {
    auto it = g_dirFds.find(fd);
    if (it != g_dirFds.end()) g_dirCalls.push_back("sync " + it->second);
    return fsync(fd);
}
int RecordClose(int fd) {
    g_dirFds.erase(fd);
    return close(fd);
}

class StoreFaults : public ::testing::Test {
  protected:
    static void SetUpTestSuite() { faultyvfs::Install(); }
    void SetUp() override { ASSERT_TRUE(install_.Init()); }
    void TearDown() override {
        MQResetSysCalls();
        faultyvfs::Clear();
    }
    // Bodies up to kLimit ride in the entry's commit; larger ones are
    // synced files of their own.
    static constexpr size_t kLimit = 65536;
    Install install_{"relay\t\tsmtp\t\tout\r\n", "BodyInCommitLimit = 65536\n"};
};

// The one-call put, begun: entry, channel and envelope, no body yet.
MQContext* BeginPut(mqtest::WriterEnvelope* envelope) {
    MQContext* entry = CreateMQEntry();
    if (entry == nullptr) return nullptr;
    if (!InsertMQChannel(entry, "relay", 0) || !PutMQEnvelope(entry, envelope->Get())) {
        DiscardMQEntry(entry);
        return nullptr;
    }
    return entry;
}

unsigned long OneCallPut(const std::string& body) {
    mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
    MQContext* entry = BeginPut(&envelope);
    if (entry == nullptr) return 0;
    unsigned long id = mqadmin::EntryIdFromPath(GetMQPathName(entry, ".msg"));
    if (!WriteMQBody(entry, body.data(), body.size()) || !CloseMQEntry(entry)) {
        DiscardMQEntry(entry);
        return 0;
    }
    return id;
}

// A new spool's every directory is made once and synced into its parent
// before the next one, msg/ff last, so that a power cut can't lose the spool
// or a body's directory behind its entry; a spool that exists costs no mkdir.
// A mkdir or a sync that fails fails the start, with its cause.
TEST_F(StoreFaults, NewSpoolDirectoriesAreSyncedIntoTheirParentsOnce) {
    Install fresh;
    g_base = fresh.Dir();
    g_dirCalls.clear();
    MQSysCalls* sys = MQSysCallTable();
    sys->mkdir = RecordMkdir;
    sys->open = RecordOpen;
    sys->fsync = RecordFsync;
    sys->close = RecordClose;
    ASSERT_TRUE(fresh.Init());
    std::vector<std::string> want = {"mkdir spool", "sync .", "mkdir spool/msg", "sync spool"};
    for (int low = 0; low < 256; ++low) {
        char dir[32];
        std::snprintf(dir, sizeof dir, "spool/msg/%02x", low);
        want.push_back(std::string("mkdir ") + dir);
        want.push_back("sync spool/msg");
    }
    ASSERT_GE(g_dirCalls.size(), want.size());
    EXPECT_EQ(std::vector<std::string>(g_dirCalls.begin(), g_dirCalls.begin() + want.size()), want);

    g_dirCalls.clear();
    ASSERT_TRUE(fresh.Init());
    for (const std::string& call : g_dirCalls) EXPECT_NE(call.rfind("mkdir", 0), 0u) << call;

    for (const char* call : {"mkdir", "directory sync"}) {
        Install another;
        MQResetSysCalls();
        mqtest::FailSysCall(call, EIO);
        EXPECT_FALSE(another.Init()) << call;
        MQResetSysCalls();
        // Mended, the next start completes the spool.
        EXPECT_TRUE(another.Init()) << call;
        EXPECT_TRUE(FileExists(another.Spool() + "/msg/ff")) << call;
    }
}

TEST_F(StoreFaults, TheBodyWriterFailsAtEachStepAndLeavesNothing) {
    const size_t kInFile = kLimit + 1;
    struct Case {
        const char* name;
        const char* call;  // made to fail
        int error;
        size_t size;  // of the body
    } cases[] = {
        {"create on a full disk", "open", ENOSPC, kInFile},
        {"write on a full disk", "write", ENOSPC, kInFile},
        {"write I/O error", "write", EIO, kInFile},
        {"short write, then full", "short write", ENOSPC, kInFile},
        {"file sync fails", "sync", EIO, kInFile},
        {"close fails", "close", EIO, kInFile},
        {"directory sync fails", "directory sync", EIO, kInFile},
    };
    unsigned long kept = OneCallPut("kept");
    ASSERT_NE(kept, 0u);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
        MQContext* entry = BeginPut(&envelope);
        ASSERT_NE(entry, nullptr);
        std::string msg = GetMQPathName(entry, ".msg");
        mqtest::FailSysCall(c.call, c.error);
        const std::string body(c.size, 'x');
        EXPECT_FALSE(WriteMQBody(entry, body.data(), body.size()));
        MQResetSysCalls();
        EXPECT_FALSE(FileExists(msg)) << "a half-written body stays";
        DiscardMQEntry(entry);
        unsigned long next = OneCallPut("after");
        EXPECT_NE(next, 0u) << "the next put after the fault";
        std::vector<mqadmin::EntryInfo> all;
        ASSERT_TRUE(mqadmin::ListEntries("relay", &all));
        std::vector<unsigned long> ids;
        for (const mqadmin::EntryInfo& e : all) ids.push_back(e.id);
        EXPECT_EQ(ids, (std::vector<unsigned long>{kept, next})) << "entries after the fault";
        mqadmin::RemoveEntry(next);
    }
}

// A body kept in the commit is written to its file when its path is first
// named or its entry first handed out; a write that fails then names no
// path and hands out nothing, leaves no file (nor the one written beside),
// loses no entry, and the next naming, once mended, writes it whole.
TEST_F(StoreFaults, NamingABodyKeptInTheCommitFailsCleanly) {
    struct Case {
        const char* name;
        const char* call;  // made to fail
        int error;
    } cases[] = {
        {"create on a full disk", "open", ENOSPC},
        {"write on a full disk", "write", ENOSPC},
        {"write I/O error", "write", EIO},
        {"short write, then full", "short write", ENOSPC},
        {"close fails", "close", EIO},
        {"rename fails", "rename", EIO},
    };
    const std::string body(kLimit, 'k');
    for (bool handOut : {false, true}) {
        for (const Case& c : cases) {
            SCOPED_TRACE(std::string(c.name) + (handOut ? ", handed out" : ", path named"));
            unsigned long id = OneCallPut(body);
            ASSERT_NE(id, 0u) << "the put writes no file, so no file call can fail it";
            std::string msg = GetMQPathName(id, ".tmp");
            msg.replace(msg.size() - 4, 4, ".msg");
            ASSERT_FALSE(FileExists(msg)) << "the put wrote the file";
            MQContext* reader = handOut ? OpenMQChannel("relay") : nullptr;
            mqtest::FailSysCall(c.call, c.error);
            if (handOut) {
                EXPECT_EQ(GetFirstMessage(reader, false), 0u) << "an entry without its file";
                EXPECT_TRUE(MQLastCallFailed()) << "the failure passes for an empty channel";
            } else {
                EXPECT_EQ(GetMQPathName(id, ".msg"), nullptr) << "a path to no whole file";
            }
            MQResetSysCalls();
            if (reader != nullptr) {
                EXPECT_TRUE(CloseMQChannel(reader));
            }
            EXPECT_FALSE(FileExists(msg)) << "a half-written body stays";
            std::string dir = msg.substr(0, msg.rfind('/'));
            std::string prefix = std::to_string(id) + ".";
            std::vector<std::string> left;
            if (DIR* d = opendir(dir.c_str())) {
                while (struct dirent* e = readdir(d)) {
                    if (std::string(e->d_name).rfind(prefix, 0) == 0) left.push_back(e->d_name);
                }
                closedir(d);
            }
            EXPECT_TRUE(left.empty()) << "left beside: " << (left.empty() ? "" : left[0]);
            const char* path = GetMQPathName(id, ".msg");
            ASSERT_NE(path, nullptr) << "mended, the path is still refused";
            EXPECT_EQ(ReadFile(path), body);
            EXPECT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done) << "the entry is lost";
        }
    }
}

// The file of an entry just handed out is written after the hand-out's
// commit, outside the writers' lock; an operator's removal that lands in
// between (here: just before the rename) must not leave it an orphan.
std::string g_dbToSpoil;
int RenameAfterRemoval(const char* from, const char* to) {
    mqtest::QueryDb(g_dbToSpoil, "DELETE FROM entries");
    return rename(from, to);
}

TEST_F(StoreFaults, AFileWrittenAfterItsEntryWasRemovedDoesNotStay) {
    unsigned long id = OneCallPut("body");
    ASSERT_NE(id, 0u);
    std::string msg = GetMQPathName(id, ".tmp");
    msg.replace(msg.size() - 4, 4, ".msg");
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    g_dbToSpoil = install_.Db();
    MQSysCallTable()->rename = RenameAfterRemoval;
    GetFirstMessage(reader, false);
    MQResetSysCalls();
    EXPECT_EQ(mqtest::QueryDb(install_.Db(), "SELECT count(*) FROM entries"), "0");
    EXPECT_FALSE(FileExists(msg)) << "the removed entry's file stays";
    EXPECT_TRUE(CloseMQChannel(reader));
}

TEST_F(StoreFaults, TheDatabaseFailsUnderPutGetAndDelete) {
    struct Case {
        const char* name;
        int write;  // SQLite result of every write, 0 for none
        bool sync;  // syncs fail
    } cases[] = {
        {"a full disk", SQLITE_FULL, false},
        {"write I/O error", SQLITE_IOERR_WRITE, false},
        {"failed sync", 0, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        unsigned long kept = OneCallPut("kept");
        ASSERT_NE(kept, 0u);
        auto arm = [&c] {
            faultyvfs::FailWrites(c.write);
            faultyvfs::FailSyncs(c.sync);
        };

        // Put: the close fails, and nothing of the entry is offered.
        mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
        MQContext* entry = BeginPut(&envelope);
        ASSERT_NE(entry, nullptr);
        std::string msg = GetMQPathName(entry, ".msg");
        ASSERT_TRUE(WriteMQBody(entry, "body", 4));
        arm();
        EXPECT_FALSE(CloseMQEntry(entry)) << "a put acknowledged without its commit on disk";
        faultyvfs::Clear();
        // The body rode in the commit: neither its file nor its row stays.
        EXPECT_FALSE(FileExists(msg)) << "a failed commit left its body's file";
        EXPECT_EQ(mqtest::QueryDb(install_.Db(), "SELECT count(*) FROM bodies"), "1")
            << "only the kept entry's body stays";
        DiscardMQEntry(entry);
        EXPECT_EQ(Drain("relay", false), std::vector<unsigned long>{kept});
        // Given back by the drain: deferred, made due again.
        EXPECT_EQ(mqadmin::FlushEntry(kept), mqadmin::AdminResult::Done);

        // Get: a hand-out that can't be written is a failure, not an empty
        // channel.
        MQContext* reader = OpenMQChannel("relay");
        ASSERT_NE(reader, nullptr);
        if (c.write == SQLITE_IOERR_WRITE) {
            arm();
            EXPECT_EQ(GetFirstMessage(reader, false), 0u);
            EXPECT_TRUE(MQLastCallFailed()) << "a failed hand-out passes for an empty channel";
            faultyvfs::Clear();
        }
        ASSERT_EQ(GetFirstMessage(reader, false), kept);
        EXPECT_FALSE(MQLastCallFailed());
        arm();
        bool removed = RemoveMQChannel(reader);
        faultyvfs::Clear();
        EXPECT_FALSE(removed) << "a removal acknowledged without its commit on disk";
        if (c.write != 0) {
            // Nothing was committed: the entry is still this reader's.
            EXPECT_TRUE(RemoveMQChannel(reader)) << "the removal after the fault cleared";
        }
        EXPECT_TRUE(CloseMQChannel(reader));
        EXPECT_TRUE(Drain("relay", true).empty());

        unsigned long next = OneCallPut("after");
        EXPECT_EQ(Drain("relay", true), std::vector<unsigned long>{next}) << "after the fault";
        MQContext* empty = OpenMQChannel("relay");
        ASSERT_NE(empty, nullptr);
        EXPECT_EQ(GetFirstMessage(empty, false), 0u);
        EXPECT_FALSE(MQLastCallFailed()) << "an empty channel passes for a failure";
        EXPECT_TRUE(CloseMQChannel(empty));
    }
}

// The boot the table reports: a power cut in between is another boot.
const char* g_boot = "boot-a";
int BootOf(char* out, size_t size) {
    return std::snprintf(out, size, "%s", g_boot);
}

// A file written on another boot may hold anything of the right size (a
// cut can leave blocks never written); it is written again from the commit
// before a reader gets it, once: on the same boot it is trusted again.
TEST_F(StoreFaults, AFileFromAnotherBootIsWrittenAgainOnce) {
    MQSysCallTable()->bootid = BootOf;
    g_boot = "boot-a";
    const std::string body(1000, 'b');
    unsigned long id = OneCallPut(body);
    ASSERT_NE(id, 0u);
    std::string path = GetMQPathName(id, ".msg");
    Install::Write(path, std::string(body.size(), 'Z'));  // what the cut left
    g_boot = "boot-b";
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr);
    ASSERT_EQ(GetFirstMessage(reader, false), id);
    EXPECT_EQ(mqtest::ReadFile(GetMQPathName(reader, ".msg")), body) << "a stale body handed out";
    // Rewritten on this boot: a change of the same size now is not looked
    // for again (nothing but a cut can make one), which shows it was
    // recorded.
    Install::Write(path, std::string(body.size(), 'Y'));
    EXPECT_EQ(mqtest::ReadFile(GetMQPathName(reader, ".msg")), std::string(body.size(), 'Y'))
        << "the rewrite's boot was not recorded: every hand-out would write it again";
    EXPECT_TRUE(RemoveMQChannel(reader));
    EXPECT_TRUE(CloseMQChannel(reader));
}

// A checkpoint runs after its writer's commit and sync: one that fails
// (here every write into the database file is refused, as on a full disk)
// fails no put, each of which is already durable in the log, and the puts
// go on; once writes work again, the log is copied and nothing is lost.
TEST_F(StoreFaults, AFailingCheckpointFailsNoPut) {
    const std::string body(3000, 'b');  // a few pages a put: checkpoints come often
    const int kPuts = 120;
    faultyvfs::FailDatabaseWrites(SQLITE_FULL);
    int refusedPuts = 0;
    for (int i = 0; i < kPuts; ++i) refusedPuts += OneCallPut(body) == 0 ? 1 : 0;
    const int refused = faultyvfs::Refused();
    faultyvfs::Clear();
    EXPECT_EQ(refusedPuts, 0) << "puts failed for a checkpoint that failed after their commits";
    EXPECT_GT(refused, 0) << "no checkpoint ran: the case tests nothing";
    // Twice as many again: a log never copied after the failures would
    // pass 8 MiB; copied, it starts over at about 5 MiB.
    for (int i = 0; i < 2 * kPuts; ++i) ASSERT_NE(OneCallPut(body), 0u);
    struct stat st;
    ASSERT_EQ(stat((install_.Db() + "-wal").c_str(), &st), 0);
    EXPECT_LT(st.st_size, 6 << 20) << "the log was not copied once writes worked again";
    EXPECT_EQ(Drain("relay", false).size(), static_cast<size_t>(3 * kPuts));
}

// The reserve's removal frees room, as it would on a real disk.
int UnlinkFreeingRoom(const char* path) {
    std::string name = path;
    if (name.size() >= 14 && name.compare(name.size() - 14, 14, "/queue.reserve") == 0) {
        faultyvfs::Clear();
    }
    return unlink(path);
}

// A full disk must not freeze the queue: puts fail, but readers still take
// and remove what is waiting, on the room the spool kept back.
TEST_F(StoreFaults, ReadersDrainAFullDisk) {
    unsigned long kept = OneCallPut("kept");
    ASSERT_NE(kept, 0u);
    ASSERT_TRUE(FileExists(install_.Spool() + "/queue.reserve"));
    MQSysCallTable()->unlink = UnlinkFreeingRoom;
    faultyvfs::FailWrites(SQLITE_FULL);
    EXPECT_EQ(OneCallPut("refused"), 0u) << "a put on a full disk";
    MQContext* reader = OpenMQChannel("relay");
    ASSERT_NE(reader, nullptr) << "a reader can't open on a full disk";
    EXPECT_EQ(GetFirstMessage(reader, false), kept);
    EXPECT_TRUE(RemoveMQChannel(reader));
    EXPECT_TRUE(CloseMQChannel(reader));
    EXPECT_FALSE(FileExists(install_.Spool() + "/queue.reserve"));
    EXPECT_TRUE(Drain("relay", false).empty());
    EXPECT_TRUE(FileExists(install_.Spool() + "/queue.reserve"))
        << "the reserve is not made again once there is room";
}

// The reserve's allocation is never synced, so a power cut may leave its
// name with fewer blocks behind it; the next start allocates it whole again.
TEST_F(StoreFaults, AReserveACutLeftShortIsAllocatedAgain) {
    const off_t kReserve = 4 << 20;
    std::string path = install_.Spool() + "/queue.reserve";
    struct Case {
        const char* name;
        std::function<int(int fd)> leave;  // what the cut left, on the emptied file
    } cases[] = {
        {"empty", [](int) { return 0; }},
        {"its size without its blocks", [&](int fd) { return ftruncate(fd, kReserve); }},
        {"half its blocks", [&](int fd) { return posix_fallocate(fd, 0, kReserve / 2); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        int fd = open(path.c_str(), O_WRONLY | O_TRUNC);
        ASSERT_GE(fd, 0) << "no reserve at " << path;
        ASSERT_EQ(c.leave(fd), 0);
        close(fd);
        ASSERT_TRUE(install_.Init());
        struct stat st;
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_size, kReserve);
        EXPECT_GE(st.st_blocks * 512, kReserve) << "got " << st.st_blocks * 512
                                                << " bytes allocated, want the whole reserve";
    }
}

// No exception leaves an exported call, whichever allocation fails: each
// call either succeeds or returns its failure result.
TEST_F(StoreFaults, NoExceptionLeavesTheStoreWhenMemoryRunsOut) {
    std::string ini = install_.Ini();
    unsigned long id = PutEntry("relay", "a@e.org", {"b@e.org"}, "x");
    ASSERT_NE(id, 0u);
    mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
    struct Case {
        const char* name;
        std::function<bool()> call;  // true when it succeeded
    } cases[] = {
        {"MQInit", [&] { return MQInit(ini.c_str(), "storetest"); }},
        {"put",
         [&envelope] {
             MQContext* entry = CreateMQEntry();
             if (entry == nullptr) return false;
             bool ok = InsertMQChannel(entry, "relay", 0) && PutMQEnvelope(entry, envelope.Get()) &&
                       WriteMQBody(entry, "b", 1) && CloseMQEntry(entry);
             if (!ok) DiscardMQEntry(entry);
             return ok;
         }},
        {"get and give back",
         [] {
             // The last round's give-back deferred the entry: made due
             // again, with no allocation failing.
             long left = t_allocsLeft;
             t_allocsLeft = -1;
             uint64_t flushed = 0;
             mqadmin::FlushChannel("relay", &flushed);
             t_allocsLeft = left;
             MQContext* reader = OpenMQChannel("relay");
             if (reader == nullptr) return false;
             unsigned long got = GetFirstMessage(reader, false);
             stEnvelope* envelope = got != 0 ? GetMQEnvelope(got) : nullptr;
             bool ok = envelope != nullptr;
             FreeMQEnvelope(envelope);
             while (!CloseMQChannel(reader)) {
             }
             return ok;
         }},
        {"list",
         [] {
             std::vector<mqadmin::EntryInfo> all;
             return mqadmin::ListEntries(nullptr, &all);
         }},
        {"check",
         [] {
             mqadmin::HealthReport report;
             return mqadmin::CheckStore(&report);
         }},
    };
    for (const Case& c : cases) {
        bool done = false;
        for (long n = 0; n < 10000 && !done; ++n) {
            t_allocsLeft = n;
            try {
                done = c.call();
            } catch (...) {
                t_allocsLeft = -1;
                ADD_FAILURE() << c.name << ": an exception left the store at allocation " << n;
                break;
            }
            bool failedAllocation = t_allocsLeft < 0;
            t_allocsLeft = -1;
            if (!failedAllocation) {
                EXPECT_TRUE(done) << c.name << " failed without a failed allocation";
                break;
            }
        }
        EXPECT_TRUE(done) << c.name << " never succeeded";
    }
}

}  // namespace
