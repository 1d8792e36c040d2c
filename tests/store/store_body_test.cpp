// Bodies that ride in their entry's commit (the one-call put up to the body
// limit): what survives a killed writer, a stale or missing file made whole
// before any reader sees it, removal of every copy, and the limit's two
// sides, against the real SQLite store in a private installation directory.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "mq.h"
#include "mqadmin.h"
#include "mqput.h"
#include "store_fixture.h"

using mqtest::FileExists;
using mqtest::Install;
using mqtest::QueryDb;
using mqtest::ReadFile;
using mqtest::Spawn;
using mqtest::Wait;

namespace {

const size_t kLimit = 4096;

// An installation whose bodies up to kLimit bytes ride in the commit.
class Bodies : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(install_.Init()); }
    Install install_{"relay\t\tsmtp\t\tout\r\n",
                     "BodyInCommitLimit = " + std::to_string(kLimit) + "\n"};

    // Rows of table bodies for entry id.
    std::string BodyRows(unsigned long id) const {
        return QueryDb(install_.Db(),
                       "SELECT count(*) FROM bodies WHERE id = " + std::to_string(id));
    }
    std::string MsgPath(unsigned long id) const {
        char dir[8];
        std::snprintf(dir, sizeof dir, "%02lx", id & 0xFF);
        return install_.Spool() + "/msg/" + dir + "/" + std::to_string(id) + ".msg";
    }
};

// A distinct body of size bytes (not one repeated byte, so that a short or
// shifted copy can't pass).
std::string BodyOf(size_t size) {
    std::string body(size, '\0');
    for (size_t i = 0; i < size; ++i) body[i] = static_cast<char>('a' + (i * 7 + i / 26) % 26);
    return body;
}

// The one-call put of body, from a buffer or (fromPipe) through a pipe a
// thread fills. Returns the identifier, 0 on failure.
unsigned long OneCallPut(const std::string& body, bool fromPipe = false) {
    mqtest::WriterEnvelope envelope({"a@e.org"}, {"b@e.org"});
    MQContext* entry = CreateMQEntry();
    if (entry == nullptr) return 0;
    unsigned long id = mqadmin::EntryIdFromPath(GetMQPathName(entry, ".msg"));
    bool ok = InsertMQChannel(entry, "relay", 0) && PutMQEnvelope(entry, envelope.Get());
    if (ok && fromPipe) {
        int fds[2];
        if (pipe(fds) != 0) return 0;
        std::thread feeder([&] {
            size_t at = 0;
            while (at < body.size()) {
                ssize_t n = write(fds[1], body.data() + at, body.size() - at);
                if (n <= 0) break;
                at += static_cast<size_t>(n);
            }
            close(fds[1]);
        });
        ok = WriteMQBodyFd(entry, fds[0]);
        feeder.join();
        close(fds[0]);
    } else if (ok) {
        ok = WriteMQBody(entry, body.data(), body.size());
    }
    if (!ok || !CloseMQEntry(entry)) {
        DiscardMQEntry(entry);
        return 0;
    }
    return id;
}

// The body a reader finds at the path GetMQPathName gives after the
// hand-out of entry want; empty when it is not handed out.
std::string TakeAndRead(unsigned long want) {
    MQContext* reader = OpenMQChannel("relay");
    if (reader == nullptr) return "";
    std::string body;
    if (GetFirstMessage(reader, false) == want) {
        const char* path = GetMQPathName(reader, ".msg");
        if (path != nullptr) body = ReadFile(path);
    }
    CloseMQChannel(reader);
    return body;
}

ino_t InodeOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// A writer killed right after its put was acknowledged: the body is in the
// commit, and a reader gets all of it even with the file gone (as a power
// cut could leave it: the file was never synced).
TEST_F(Bodies, ABodyInTheCommitOutlivesItsKilledWriterAndItsFile) {
    std::string ini = install_.Ini();
    const std::string body = BodyOf(kLimit);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t writer = Spawn([&] {
        if (!MQInit(ini.c_str(), "writer")) return 1;
        unsigned long id = OneCallPut(body);
        if (write(fds[1], &id, sizeof id) != sizeof id) return 2;
        raise(SIGKILL);
        return 3;
    });
    unsigned long id = 0;
    ASSERT_EQ(read(fds[0], &id, sizeof id), static_cast<ssize_t>(sizeof id));
    close(fds[0]);
    close(fds[1]);
    ASSERT_EQ(Wait(writer), -SIGKILL);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(BodyRows(id), "1") << "the body is not in the commit";
    EXPECT_FALSE(FileExists(MsgPath(id))) << "the put wrote a file the commit keeps already";
    EXPECT_EQ(TakeAndRead(id), body);
}

// The put leaves a body kept in the commit without a file; every way of
// naming its path writes it first. A file that may be stale is written
// again from the commit's copy before any way of reading it names it; one
// that can't be stale is left alone.
TEST_F(Bodies, AStaleFileIsMadeWholeBeforeAReaderSeesIt) {
    const std::string body = BodyOf(kLimit - 100);
    struct Damage {
        const char* name;
        std::function<void(const std::string& db, unsigned long id, const std::string& path)> make;
        bool rewritten;
        bool namedBefore = true;  // the path was named (the file written) before the damage
    } damages[] = {
        {"never named: no file since the put",
         [](const std::string&, unsigned long, const std::string& path) {
             ASSERT_FALSE(FileExists(path)) << "the put wrote a file";
         }, true, false},
        {"short", [](const std::string&, unsigned long, const std::string& path) {
             ASSERT_EQ(truncate(path.c_str(), 100), 0);
         }, true},
        {"empty", [](const std::string&, unsigned long, const std::string& path) {
             ASSERT_EQ(truncate(path.c_str(), 0), 0);
         }, true},
        {"missing", [](const std::string&, unsigned long, const std::string& path) {
             ASSERT_EQ(unlink(path.c_str()), 0);
         }, true},
        {"written on another boot, size right, bytes wrong",
         [&body](const std::string& db, unsigned long id, const std::string& path) {
             Install::Write(path, std::string(body.size(), 'Z'));
             QueryDb(db, "UPDATE bodies SET boot = 'another boot' WHERE id = " +
                             std::to_string(id));
         }, true},
        {"untouched", [](const std::string&, unsigned long, const std::string&) {}, false},
    };
    struct Way {
        const char* name;
        std::function<std::string(unsigned long id)> read;
    } ways[] = {
        {"hand-out", [](unsigned long id) { return TakeAndRead(id); }},
        {"GetMQPathName by identifier",
         [](unsigned long id) {
             const char* path = GetMQPathName(id, ".msg");
             return path != nullptr ? ReadFile(path) : std::string();
         }},
        {"GetMQEnvelope's size, then the path",
         [&body](unsigned long id) {
             stEnvelope* envelope = GetMQEnvelope(id);
             if (envelope == nullptr) return std::string();
             std::string size = std::to_string(envelope->dwSize);
             FreeMQEnvelope(envelope);
             if (size != std::to_string(body.size())) return "size " + size;
             return ReadFile(GetMQPathName(id, ".msg"));
         }},
        {"operator's show",
         [](unsigned long id) {
             mqadmin::EntryInfo info;
             if (!mqadmin::GetEntryInfo(id, &info)) return std::string();
             return ReadFile(info.path);
         }},
    };
    for (const Damage& d : damages) {
        for (const Way& w : ways) {
            SCOPED_TRACE(std::string(d.name) + ", read by " + w.name);
            unsigned long id = OneCallPut(body);
            ASSERT_NE(id, 0u);
            std::string path = MsgPath(id);
            if (d.namedBefore) {
                ASSERT_EQ(ReadFile(GetMQPathName(id, ".msg")), body);
            }
            d.make(install_.Db(), id, path);
            ino_t before = InodeOf(path);
            EXPECT_EQ(w.read(id), body) << "got a stale body";
            EXPECT_EQ(InodeOf(path) != before, d.rewritten) << "rewritten when it needn't be, "
                                                              "or the reverse";
            EXPECT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
        }
    }
}

// Removing an entry, whoever does it, removes its body's row and its file.
TEST_F(Bodies, RemovalRemovesEveryCopy) {
    struct Removal {
        const char* name;
        std::function<bool(unsigned long id)> remove;
    } removals[] = {
        {"reader",
         [](unsigned long id) {
             MQContext* reader = OpenMQChannel("relay");
             bool ok = reader != nullptr && GetFirstMessage(reader, false) == id &&
                       RemoveMQChannel(reader);
             if (reader != nullptr) CloseMQChannel(reader);
             return ok;
         }},
        {"operator",
         [](unsigned long id) { return mqadmin::RemoveEntry(id) == mqadmin::AdminResult::Done; }},
    };
    for (const Removal& r : removals) {
        SCOPED_TRACE(r.name);
        unsigned long id = OneCallPut(BodyOf(100));
        ASSERT_NE(id, 0u);
        ASSERT_EQ(BodyRows(id), "1");
        ASSERT_TRUE(r.remove(id));
        EXPECT_EQ(BodyRows(id), "0") << "the body's row stays";
        EXPECT_FALSE(FileExists(MsgPath(id))) << "the body's file stays";
    }
}

// Up to the limit a body rides in the commit; past it, it is a file of its
// own and nothing of it is in the database. Either way a reader gets it
// whole, from a buffer or from a descriptor read to its end.
TEST_F(Bodies, TheLimitSplitsBodiesIntoCommitAndFile) {
    struct Case {
        size_t size;
        bool fromPipe;
        const char* wantRows;  // "1": kept in the commit, no file until named
    } cases[] = {
        {0, false, "1"},           {kLimit, false, "1"},      {kLimit + 1, false, "0"},
        {kLimit, true, "1"},       {kLimit + 1, true, "0"},   {200000, true, "0"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.fromPipe ? " bytes from a pipe" : " bytes"));
        const std::string body = BodyOf(c.size);
        unsigned long id = OneCallPut(body, c.fromPipe);
        ASSERT_NE(id, 0u);
        EXPECT_EQ(BodyRows(id), c.wantRows);
        if (std::string(c.wantRows) == "1") {
            EXPECT_FALSE(FileExists(MsgPath(id))) << "a file after the put";
        } else {
            EXPECT_EQ(ReadFile(MsgPath(id)), body) << "the file after the put";
        }
        EXPECT_EQ(TakeAndRead(id), body);
        EXPECT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
    }
}

// The health check counts a body in the commit as there, file or not,
// and writes nothing; a body of its own that is gone is missing, and a
// file of no entry is an orphan. The quick check looks for neither.
TEST_F(Bodies, TheHealthCheckMissesOnlyBodiesWithNoCopy) {
    unsigned long neverNamed = OneCallPut(BodyOf(10));
    unsigned long named = OneCallPut(BodyOf(20));
    unsigned long inFile = OneCallPut(BodyOf(kLimit + 1));
    ASSERT_NE(neverNamed, 0u);
    ASSERT_NE(named, 0u);
    ASSERT_NE(inFile, 0u);
    ASSERT_EQ(unlink(GetMQPathName(named, ".msg")), 0);  // written, then lost
    ASSERT_EQ(unlink(MsgPath(inFile).c_str()), 0);
    const std::string stray = MsgPath(inFile + 1000);
    Install::Write(stray, "nobody's");
    struct Case {
        bool quick;
        size_t wantMissing;  // inFile's, when looked for
        size_t wantOrphans;  // the stray file, when looked for
    } cases[] = {{false, 1, 1}, {true, 0, 0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.quick ? "quick" : "full");
        mqadmin::CheckOptions options;
        options.quick = c.quick;
        std::vector<std::string> parts;
        options.progress = [&](const char* part, uint64_t, uint64_t) { parts.push_back(part); };
        mqadmin::HealthReport report;
        ASSERT_TRUE(mqadmin::CheckStore(&report, options));
        EXPECT_EQ(report.integrity, "ok");
        EXPECT_EQ(report.complete, !c.quick);
        ASSERT_EQ(report.missingBodies.size(), c.wantMissing);
        if (c.wantMissing > 0) {
            EXPECT_EQ(report.missingBodies[0].id, inFile);
        }
        ASSERT_EQ(report.orphanFiles.size(), c.wantOrphans);
        if (c.wantOrphans > 0) {
            EXPECT_EQ(report.orphanFiles[0], stray);
        }
        EXPECT_FALSE(FileExists(MsgPath(neverNamed))) << "the check wrote a file";
        EXPECT_FALSE(FileExists(MsgPath(named))) << "the check wrote a file";
        // The full check walks the entries (and says how far it got); the
        // quick one walks nothing.
        bool walked = std::find(parts.begin(), parts.end(), "entries") != parts.end();
        EXPECT_EQ(walked, !c.quick);
    }
    EXPECT_EQ(ReadFile(GetMQPathName(named, ".msg")), BodyOf(20));
}

// The quick check finds a database file that lost its end, as the full one
// does, in the few pages it reads.
TEST_F(Bodies, TheQuickCheckFindsATruncatedDatabase) {
    for (int i = 0; i < 40; ++i) ASSERT_NE(OneCallPut(BodyOf(kLimit)), 0u);
    // Everything into the database file, then its last pages cut off.
    ASSERT_EQ(QueryDb(install_.Db(), "PRAGMA wal_checkpoint(TRUNCATE)").substr(0, 1), "0");
    struct stat st;
    ASSERT_EQ(stat(install_.Db().c_str(), &st), 0);
    ASSERT_EQ(truncate(install_.Db().c_str(), st.st_size / 2), 0);
    mqadmin::CheckOptions quick;
    quick.quick = true;
    mqadmin::HealthReport report;
    ASSERT_TRUE(mqadmin::CheckStore(&report, quick));
    EXPECT_NE(report.integrity.find("bytes long, its header says"), std::string::npos)
        << report.integrity;
    EXPECT_FALSE(report.Healthy());
}

// The health check reports the database's and the log's size, and the
// pages removed bodies leave are counted free for reuse.
TEST_F(Bodies, RemovedBodiesFreeTheirSpace) {
    std::vector<unsigned long> ids;
    for (int i = 0; i < 20; ++i) {
        ids.push_back(OneCallPut(BodyOf(kLimit)));
        ASSERT_NE(ids.back(), 0u);
    }
    mqadmin::HealthReport before;
    ASSERT_TRUE(mqadmin::CheckStore(&before));
    EXPECT_GE(before.databaseBytes + before.walBytes, static_cast<int64_t>(20 * kLimit))
        << "20 bodies of " << kLimit << " bytes take less than that";
    EXPECT_GT(before.walBytes, 0) << "the log is not counted";
    for (unsigned long id : ids) ASSERT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
    mqadmin::HealthReport after;
    ASSERT_TRUE(mqadmin::CheckStore(&after));
    EXPECT_GE(after.databaseFree - before.databaseFree, static_cast<int64_t>(20 * kLimit))
        << "the removed bodies' pages are not free for reuse";
}

// The write-ahead log's size; -1 when it is not there.
int64_t WalSize(const Install& install) {
    struct stat st;
    return stat((install.Db() + "-wal").c_str(), &st) == 0 ? int64_t{st.st_size} : -1;
}

// A reader of its own holding a snapshot of the database, which keeps the
// log from being checkpointed past it or restarted; null if it can't. LetGo
// ends it.
sqlite3* HoldSnapshot(const Install& install) {
    sqlite3* reader = nullptr;
    if (sqlite3_open_v2(install.Db().c_str(), &reader, SQLITE_OPEN_READONLY, nullptr) !=
            SQLITE_OK ||
        sqlite3_exec(reader, "BEGIN; SELECT count(*) FROM entries", nullptr, nullptr, nullptr) !=
            SQLITE_OK) {
        sqlite3_close(reader);
        return nullptr;
    }
    return reader;
}

void LetGo(sqlite3* reader) {
    sqlite3_exec(reader, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(reader);
}

// A reader that holds a snapshot keeps checkpoints from catching up, and the
// log grows past the size it is kept at; once the reader lets go, the next
// commits checkpoint it and the log is cut back instead of staying at its
// largest size for ever.
TEST_F(Bodies, TheLogIsCutBackOnceCheckpointsCatchUp) {
    const int64_t keep = 8 << 20;
    auto walSize = [&] { return WalSize(install_); };
    sqlite3* reader = HoldSnapshot(install_);
    ASSERT_NE(reader, nullptr);
    std::vector<unsigned long> ids;
    for (int i = 0; i < 3000 && walSize() <= keep + (1 << 20); ++i) {
        ids.push_back(OneCallPut(BodyOf(kLimit)));
        ASSERT_NE(ids.back(), 0u);
    }
    ASSERT_GT(walSize(), keep) << "the log never outgrew what it is kept at";
    LetGo(reader);
    for (unsigned long id : ids) ASSERT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
    for (int i = 0; i < 3; ++i) ASSERT_NE(OneCallPut(BodyOf(10)), 0u);
    EXPECT_LE(walSize(), keep) << "got a log of " << walSize() << " bytes, want it cut back";
    // The removed bodies' pages are reused: as many bodies again leave the
    // database no larger than it was.
    mqadmin::HealthReport before;
    ASSERT_TRUE(mqadmin::CheckStore(&before));
    for (size_t i = 0; i < ids.size() / 2; ++i) ASSERT_NE(OneCallPut(BodyOf(kLimit)), 0u);
    mqadmin::HealthReport after;
    ASSERT_TRUE(mqadmin::CheckStore(&after));
    EXPECT_LE(after.databaseBytes, before.databaseBytes)
        << "the database grew from " << before.databaseBytes << " to " << after.databaseBytes
        << " bytes with " << before.databaseFree << " free";
}

// An installation that keeps bodies up to 1 MiB in the commit.
class BigBodies : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(install_.Init()); }
    Install install_{"relay\t\tsmtp\t\tout\r\n", "BodyInCommitLimit = 1048576\n"};
};

// Removing an entry writes what the removal changes, not the body's size
// again: the pages a removed body freed are not written back zeroed.
TEST_F(BigBodies, ARemovalDoesNotWriteItsBodyAgain) {
    const size_t size = 1 << 20;
    unsigned long id = OneCallPut(BodyOf(size));
    ASSERT_NE(id, 0u);
    // The frames the removal adds to the log: all of the log's when the
    // removal restarted it (a new salt), else those past the ones before.
    uint32_t saltBefore = 0, saltAfter = 0;
    const int before = mqtest::LogFrames(install_.Db(), &saltBefore);
    ASSERT_GE(before, 0);
    ASSERT_EQ(mqadmin::RemoveEntry(id), mqadmin::AdminResult::Done);
    const int after = mqtest::LogFrames(install_.Db(), &saltAfter);
    const int written = saltAfter == saltBefore ? after - before : after;
    const int64_t grown = int64_t{written} * 4096;
    EXPECT_LT(grown, static_cast<int64_t>(size / 4))
        << "removing a body of " << size << " bytes wrote " << written << " pages to the log";
}

}  // namespace
