// yardsticks.cpp - the disk's own limits the queue's figures are held
// against: a synced SQLite insert, a synced select-oldest-and-delete, and a
// Maildir-style delivery of a 4 KiB body.
#include "yardsticks.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <vector>

namespace mqbench {
namespace {

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;
using Stmt = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    // Closes now, so that close()'s own failure is seen; false on failure.
    bool Close() {
        int fd = fd_;
        fd_ = -1;
        return close(fd) == 0;
    }

private:
    int fd_;
};

std::string Errno(const std::string& op, const std::string& path) {
    return op + " " + path + ": " + std::strerror(errno);
}

// The database of the two SQLite yardsticks, with rows like a queue
// entry's: a channel, a sender, recipients, a creation time.
class YardDb {
public:
    explicit YardDb(const std::string& path) {
        sqlite3* raw = nullptr;
        if (sqlite3_open(path.c_str(), &raw) != SQLITE_OK) {
            error_ = "open " + path + ": " + (raw ? sqlite3_errmsg(raw) : "no memory");
            sqlite3_close(raw);
            return;
        }
        db_.reset(raw);
        Exec("PRAGMA journal_mode=WAL");
        Exec("PRAGMA synchronous=FULL");
        Exec("CREATE TABLE IF NOT EXISTS entry(id INTEGER PRIMARY KEY AUTOINCREMENT,"
             " channel TEXT NOT NULL, sender TEXT, recipients TEXT, created INTEGER)");
        insert_ = Prepare("INSERT INTO entry(channel, sender, recipients, created)"
                          " VALUES('BENCH', 's@bench.example.org',"
                          " 'a@example.org b@example.org', strftime('%s','now'))");
        oldest_ = Prepare("SELECT id FROM entry ORDER BY id LIMIT 1");
        remove_ = Prepare("DELETE FROM entry WHERE id = ?");
    }
    const std::string& error() const { return error_; }

    std::string Exec(const char* sql) {
        char* msg = nullptr;
        if (db_ && sqlite3_exec(db_.get(), sql, nullptr, nullptr, &msg) != SQLITE_OK) {
            std::string err = std::string(sql) + ": " + (msg ? msg : "?");
            sqlite3_free(msg);
            if (error_.empty()) error_ = err;
            return err;
        }
        return "";
    }

    // One row inserted in a transaction of its own.
    std::string Insert() {
        std::string err = Exec("BEGIN IMMEDIATE");
        if (err.empty()) err = Step(insert_.get());
        return Finish(err);
    }

    // The oldest row selected and deleted in a transaction of its own.
    std::string TakeOldest() {
        std::string err = Exec("BEGIN IMMEDIATE");
        if (!err.empty()) return err;
        int rc = sqlite3_step(oldest_.get());
        if (rc != SQLITE_ROW) {
            sqlite3_reset(oldest_.get());
            return Finish(rc == SQLITE_DONE ? "no row left" : sqlite3_errmsg(db_.get()));
        }
        sqlite3_int64 id = sqlite3_column_int64(oldest_.get(), 0);
        sqlite3_reset(oldest_.get());
        sqlite3_bind_int64(remove_.get(), 1, id);
        return Finish(Step(remove_.get()));
    }

    long Count() {
        Stmt s(Prepare("SELECT count(*) FROM entry"));
        if (!s || sqlite3_step(s.get()) != SQLITE_ROW) return -1;
        return static_cast<long>(sqlite3_column_int64(s.get(), 0));
    }

private:
    Stmt Prepare(const char* sql) {
        sqlite3_stmt* s = nullptr;
        if (db_ && sqlite3_prepare_v2(db_.get(), sql, -1, &s, nullptr) != SQLITE_OK &&
            error_.empty()) {
            error_ = std::string(sql) + ": " + sqlite3_errmsg(db_.get());
        }
        return Stmt(s);
    }
    std::string Step(sqlite3_stmt* s) {
        int rc = sqlite3_step(s);
        sqlite3_reset(s);
        return rc == SQLITE_DONE ? "" : sqlite3_errmsg(db_.get());
    }
    std::string Finish(const std::string& err) {
        if (!err.empty()) {
            Exec("ROLLBACK");
            return err;
        }
        return Exec("COMMIT");
    }

    Db db_;
    Stmt insert_, oldest_, remove_;
    std::string error_;
};

// One Maildir-style delivery: create under tmp/, write, sync, close, rename
// into new/, sync new/ so that the rename itself is durable.
std::string Deliver(const std::string& dir, int newDir, const std::string& name,
                    const std::vector<char>& body) {
    const std::string tmp = dir + "/tmp/" + name;
    const std::string fin = dir + "/new/" + name;
    Fd fd(open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640));
    if (fd.get() < 0) return Errno("open", tmp);
    if (write(fd.get(), body.data(), body.size()) != static_cast<ssize_t>(body.size()))
        return Errno("write", tmp);
    if (fsync(fd.get()) != 0) return Errno("fsync", tmp);
    if (!fd.Close()) return Errno("close", tmp);
    if (rename(tmp.c_str(), fin.c_str()) != 0) return Errno("rename", tmp);
    if (fsync(newDir) != 0) return Errno("fsync", dir + "/new");
    return "";
}

}  // namespace

std::string PrepareYardsticks(const std::string& dir, long rows) {
    for (const std::string& d : {dir, dir + "/maildir", dir + "/maildir/tmp", dir + "/maildir/new"}) {
        if (mkdir(d.c_str(), 0750) != 0 && errno != EEXIST) return Errno("mkdir", d);
    }
    YardDb db(dir + "/yard.db");
    if (!db.error().empty()) return db.error();
    for (long i = db.Count(); i < rows; ++i) {
        std::string err = db.Insert();
        if (!err.empty()) return err;
    }
    return db.error();
}

std::vector<std::pair<std::string, Run>> RunYardsticks(const std::string& dir,
                                                       const Budget& budget) {
    std::vector<std::pair<std::string, Run>> out;
    YardDb db(dir + "/yard.db");
    Run fail;
    fail.error = db.error();
    if (!fail.error.empty()) return {{kInsert, fail}, {kTakeOldest, fail}, {kDeliver, fail}};

    out.emplace_back(kInsert, Timed(budget, [&](long) { return db.Insert(); }));
    // Takes back no more than the insert figure added, so that the table
    // keeps its depth from round to round.
    Budget take = budget;
    take.maxOps = out.back().second.ops;
    out.emplace_back(kTakeOldest, Timed(take, [&](long) { return db.TakeOldest(); }));

    const std::string maildir = dir + "/maildir";
    Fd newDir(open((maildir + "/new").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::vector<char> body(4096, 'x');
    const std::string stem = std::to_string(getpid()) + ".";
    Run md = Timed(budget, [&](long n) {
        return Deliver(maildir, newDir.get(), stem + std::to_string(n), body);
    });
    for (long n = 0; n < md.ops; ++n) unlink((maildir + "/new/" + stem + std::to_string(n)).c_str());
    out.emplace_back(kDeliver, md);
    return out;
}

}  // namespace mqbench
