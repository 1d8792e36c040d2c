// store_fixture.h - a private installation directory for the queue store's
// tests (configuration file, channel file, spool), writers and readers of
// entries through the store's own calls, and child processes.
#ifndef MQTEST_STORE_FIXTURE_H
#define MQTEST_STORE_FIXTURE_H

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"  // Spawn, Wait
#include "mqadmin.h"
#include "mq.h"
#include "mqput.h"
#include "temp_dir.h"

namespace mqtest {

// A fresh installation directory with "daduv.ini" and "queue.cfg"; removed
// with everything in it when the object goes.
class Install {
public:
    explicit Install(const std::string& channels = "relay\t\tsmtp\t\tout\r\n"
                                                   "local\t\tlmtp\t\tin\t\tC\r\n",
                     const std::string& extraConfig = "") {
        dir_ = mqtest::MakeTempDir("mqstore-test");
        ini_ = dir_ + "/daduv.ini";
        Write(ini_, "[Config]\nInstallDirectory = " + dir_ + "\n" + extraConfig);
        Write(dir_ + "/queue.cfg", channels);
    }
    ~Install() { mqtest::RemoveTree(dir_); }
    Install(const Install&) = delete;
    Install& operator=(const Install&) = delete;

    const std::string& Dir() const { return dir_; }
    const std::string& Ini() const { return ini_; }
    std::string Spool() const { return dir_ + "/spool"; }
    std::string Db() const { return Spool() + "/queue.db"; }
    bool Init(const char* app = "storetest") const { return MQInit(ini_.c_str(), app); }

    static void Write(const std::string& path, const std::string& text) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
    }

private:
    std::string dir_;
    std::string ini_;
};

// Moves the store's clock seconds past the real one (MQ_TEST_CLOCK_OFFSET,
// which the store reads at each call); 0 puts it back.
inline void SetClock(int64_t seconds) {
    setenv("MQ_TEST_CLOCK_OFFSET", std::to_string(seconds).c_str(), 1);
}

inline bool FileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// A writer's envelope over the given addresses; the records are the
// writer's, as the toolkit builds them.
class WriterEnvelope {
public:
    WriterEnvelope(const std::vector<std::string>& from, const std::vector<std::string>& to)
        : from_(from), to_(to) {
        for (std::string& a : from_) {
            senders_.push_back(_envFrom{&a[0], empty_, 0, 0, empty_, empty_});
        }
        for (std::string& a : to_) {
            recipients_.push_back(_envRecip{&a[0], empty_, 0, empty_, empty_});
        }
        for (_envFrom& r : senders_) envelope_.caFrom.Add(&r);
        for (_envRecip& r : recipients_) envelope_.caTo.Add(&r);
    }
    stEnvelope* Get() { return &envelope_; }

private:
    char empty_[1] = {0};
    std::vector<std::string> from_, to_;
    std::vector<_envFrom> senders_;
    std::vector<_envRecip> recipients_;
    stEnvelope envelope_;
};

// Puts an entry through the store's calls and writes its body through the
// rename pattern (".tmp", then ".msg"); with rename false the body stays at
// ".tmp". Returns the entry's identifier, 0 on any failure.
inline unsigned long PutEntry(const char* channel, const std::string& from,
                              const std::vector<std::string>& to, const std::string& body,
                              bool rename = true) {
    MQContext* entry = CreateMQEntry();
    if (entry == nullptr) return 0;
    WriterEnvelope envelope({from}, to);
    char* path = GetMQPathName(entry, ".msg");
    std::string msg = path != nullptr ? path : "";
    if (!InsertMQChannel(entry, channel, 0) || !PutMQEnvelope(entry, envelope.Get()) ||
        msg.empty()) {
        DiscardMQEntry(entry);
        return 0;
    }
    std::string tmp = GetMQPathName(entry, ".tmp");
    if (!CloseMQEntry(entry)) {
        DiscardMQEntry(entry);
        return 0;
    }
    // The handle is gone; the identifier is in the file name.
    unsigned long id = std::strtoul(msg.substr(msg.rfind('/') + 1).c_str(), nullptr, 10);
    Install::Write(tmp, body);
    if (rename && ::rename(tmp.c_str(), msg.c_str()) != 0) return 0;
    return id;
}

// Puts an entry whose body the store writes (WriteMQBody): kept in the
// commit up to the body limit, else a synced file of its own. Returns the
// entry's identifier, 0 on any failure.
inline unsigned long PutWithBody(const char* channel, const std::string& body) {
    MQContext* entry = CreateMQEntry();
    if (entry == nullptr) return 0;
    WriterEnvelope envelope({"a@example.org"}, {"b@example.org"});
    char* path = GetMQPathName(entry, ".msg");
    std::string msg = path != nullptr ? path : "";
    if (msg.empty() || !InsertMQChannel(entry, channel, 0) ||
        !PutMQEnvelope(entry, envelope.Get()) || !WriteMQBody(entry, body.data(), body.size()) ||
        !CloseMQEntry(entry)) {
        DiscardMQEntry(entry);
        return 0;
    }
    return std::strtoul(msg.substr(msg.rfind('/') + 1).c_str(), nullptr, 10);
}

// Every identifier a new handle on channel is handed, each removed when
// remove is true; the handle is closed.
inline std::vector<unsigned long> Drain(const char* channel, bool remove) {
    std::vector<unsigned long> ids;
    MQContext* reader = OpenMQChannel(channel);
    if (reader == nullptr) return ids;
    for (unsigned long id = GetFirstMessage(reader, false); id != 0;
         id = GetNextMessage(reader, false)) {
        ids.push_back(id);
        if (remove) RemoveMQChannel(reader);
    }
    CloseMQChannel(reader);
    return ids;
}

// Entry id as the administration interface shows it (a failure if none).
inline mqadmin::EntryInfo InfoOf(unsigned long id) {
    mqadmin::EntryInfo info;
    EXPECT_TRUE(mqadmin::GetEntryInfo(id, &info)) << "entry " << id;
    return info;
}

// A reader process on the store of ini that takes channel's first entry
// and dies holding it (SIGKILL); what Wait says of it (-SIGKILL when it
// held one). The caller's next Init cleans up after it.
inline int DieHoldingFirst(const std::string& ini, const char* channel) {
    pid_t reader = Spawn([ini, channel] {
        if (!MQInit(ini.c_str(), "dying")) return 1;
        MQContext* handle = OpenMQChannel(channel);
        if (handle == nullptr || GetFirstMessage(handle, false) == 0) return 2;
        kill(getpid(), SIGKILL);
        return 3;
    });
    return Wait(reader);
}

// The frames the write-ahead log holds since it last restarted: what a
// process that opens the store alone reads to rebuild its index. Read from
// the file, so that looking checkpoints nothing: the frames that carry the
// header's salt, from the first on (a restarted log changes its salt and
// writes over the old frames from the start). -1 when unreadable. *salt,
// when given, gets the salt, which tells one run of the log from the next.
inline int LogFrames(const std::string& db, uint32_t* salt = nullptr) {
    std::string wal = ReadFile(db + "-wal");
    auto word = [&wal](size_t at) {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(wal.data()) + at;
        return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 | b[3];
    };
    if (wal.size() < 32) return -1;
    if (salt != nullptr) *salt = word(16);
    const size_t frame = 24 + word(8);  // a frame's header and one page
    int frames = 0;
    for (size_t at = 32; at + frame <= wal.size(); at += frame, ++frames) {
        if (word(at + 8) != word(16) || word(at + 12) != word(20)) break;
    }
    return frames;
}

// Runs sql on the store's database through a connection of its own (for
// looking at and tampering with what the store keeps).
inline std::string QueryDb(const std::string& db, const std::string& sql) {
    sqlite3* handle = nullptr;
    std::string result;
    if (sqlite3_open(db.c_str(), &handle) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 5000);
        sqlite3_exec(
            handle, sql.c_str(),
            [](void* out, int n, char** values, char**) {
                auto* text = static_cast<std::string*>(out);
                for (int i = 0; i < n; ++i) {
                    if (!text->empty()) *text += ",";
                    *text += values[i] != nullptr ? values[i] : "NULL";
                }
                return 0;
            },
            &result, nullptr);
    }
    sqlite3_close(handle);
    return result;
}

}  // namespace mqtest

#endif
