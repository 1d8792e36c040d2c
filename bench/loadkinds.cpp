// loadkinds.cpp - the operations of the loads' processes.
#include "loadkinds.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "mqfile.h"

namespace mqbench {
namespace {

const char kChannel[] = "BENCH";

}  // namespace

std::string SizeChannel(size_t size) { return "B" + std::to_string(size); }

std::string SizeMaildir(size_t size) { return "maildir-" + std::to_string(size); }

LoadOp::LoadOp(const std::string& kind, const std::string& dir, int index, int procs)
    : dir_(dir), index_(index), procs_(procs > 0 ? procs : 1) {
    size_t colon = kind.find(':');
    base_ = kind.substr(0, colon);
    channel_ = kChannel;
    maildir_ = dir + "/maildir";
    if (colon != std::string::npos) {
        size_ = std::strtoul(kind.c_str() + colon + 1, nullptr, 10);
        channel_ = SizeChannel(size_);
        maildir_ = dir + "/" + SizeMaildir(size_);
    }
    body_.assign(size_, 'b');
    buffer_.resize(size_ + 1);
}

LoadOp::~LoadOp() {
    sqlite3_finalize(oldest_);
    sqlite3_finalize(remove_);
    sqlite3_close(db_);
    if (newDir_ >= 0) close(newDir_);
}

std::string LoadOp::Open() {
    if (base_ == "maildir" || base_ == "mdtake") {
        newDir_ = open((maildir_ + "/new").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (newDir_ < 0) return "open " + maildir_ + "/new";
        if (base_ == "maildir") return "";
        // The share of this process: the files whose name hashes to it.
        DIR* d = opendir((maildir_ + "/new").c_str());
        if (d == nullptr) return "opendir " + maildir_ + "/new";
        for (dirent* e; (e = readdir(d)) != nullptr;) {
            std::string name = e->d_name;
            if (name[0] == '.') continue;
            if (std::hash<std::string>()(name) % static_cast<size_t>(procs_) ==
                static_cast<size_t>(index_)) {
                files_.push_back(maildir_ + "/new/" + name);
            }
        }
        closedir(d);
        return "";
    }
    if (base_ == "insert" || base_ == "take") {
        if (sqlite3_open((dir_ + "/yard.db").c_str(), &db_) != SQLITE_OK) return "open yard.db";
        sqlite3_busy_timeout(db_, 10000);
        if (sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr,
                         nullptr, nullptr) != SQLITE_OK) {
            return std::string("yard.db: ") + sqlite3_errmsg(db_);
        }
        if (base_ == "take" &&
            (sqlite3_prepare_v2(db_, "SELECT id FROM entries ORDER BY id LIMIT 1", -1, &oldest_,
                                nullptr) != SQLITE_OK ||
             sqlite3_prepare_v2(db_, "DELETE FROM entries WHERE id = ?", -1, &remove_,
                                nullptr) != SQLITE_OK)) {
            return std::string("yard.db: ") + sqlite3_errmsg(db_);
        }
        return "";
    }
    setenv("MQ_CONFIG_DIR", (dir_ + "/store").c_str(), 1);
    return mq_.OpenMQChannel("mqbench", "daduv.ini") == MQ_SUCCESS ? "" : "OpenMQChannel";
}

bool LoadOp::Op(long n) {
    if (base_ == "put" || base_ == "put1") return PutOne();
    if (base_ == "get") return GetOne(false);
    if (base_ == "getread") return GetOne(true);
    if (base_ == "mdtake") return TakeFile();
    if (base_ == "take") return TakeRow();
    if (base_ == "maildir") {
        std::string name = std::to_string(getpid()) + "." + std::to_string(n);
        return MQReplaceFile((maildir_ + "/tmp/" + name).c_str(),
                             (maildir_ + "/new/" + name).c_str(), body_.data(),
                             body_.size()) == 0;
    }
    return sqlite3_exec(db_,
                        "INSERT INTO entries(channel, sender, recipients, created)"
                        " VALUES('BENCH', 'sender@bench.example.org',"
                        " 'first@example.org,second@example.org', strftime('%s'))",
                        nullptr, nullptr, nullptr) == SQLITE_OK;
}

bool LoadOp::PutOne() {
    if (base_ == "put1") {
        return mq_.PutMsgBody(msg_.get(), channel_.c_str(), body_.data(), body_.size()) ==
               MQ_SUCCESS;
    }
    if (mq_.PutMsg(msg_.get(), channel_.c_str()) != MQ_SUCCESS) return false;
    std::string tmp = mq_.GetMsgDest(".tmp");
    std::string fin = mq_.GetMsgDest(".msg");
    return MQReplaceFile(tmp.c_str(), fin.c_str(), body_.data(), body_.size()) == 0;
}

// A reader reads the whole body from the path it was given: a short or
// missing file is a failed operation (the entry is then given back).
bool LoadOp::GetOne(bool read) {
    cMessage* m = mq_.GetMsg(channel_.c_str());
    if (m == nullptr) {
        empty_ = true;
        return true;
    }
    if (read) {
        const char* path = m->getMsgpath();
        int fd = path != nullptr ? open(path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            mq_.CloseMQChannel();
            return false;
        }
        size_t got = 0;
        for (ssize_t r; (r = ::read(fd, buffer_.data() + got, buffer_.size() - got)) > 0;) {
            got += static_cast<size_t>(r);
            if (got == buffer_.size()) break;
        }
        close(fd);
        if (got != size_) {
            mq_.CloseMQChannel();
            return false;
        }
    }
    return mq_.DelMsg() == MQ_SUCCESS;
}

bool LoadOp::TakeFile() {
    if (files_.empty()) {
        empty_ = true;
        return true;
    }
    std::string path = files_.back();
    files_.pop_back();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    size_t got = 0;
    for (ssize_t r; (r = ::read(fd, buffer_.data() + got, buffer_.size() - got)) > 0;) {
        got += static_cast<size_t>(r);
        if (got == buffer_.size()) break;
    }
    bool ok = close(fd) == 0 && got == size_;
    return unlink(path.c_str()) == 0 && fsync(newDir_) == 0 && ok;
}

bool LoadOp::TakeRow() {
    if (sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) != SQLITE_OK) return false;
    int rc = sqlite3_step(oldest_);
    if (rc != SQLITE_ROW) {
        sqlite3_reset(oldest_);
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        empty_ = rc == SQLITE_DONE;
        return empty_;
    }
    sqlite3_bind_int64(remove_, 1, sqlite3_column_int64(oldest_, 0));
    sqlite3_reset(oldest_);
    rc = sqlite3_step(remove_);
    sqlite3_reset(remove_);
    if (rc != SQLITE_DONE) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return false;
    }
    return sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
}

}  // namespace mqbench
