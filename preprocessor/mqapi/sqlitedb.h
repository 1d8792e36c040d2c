// sqlitedb.h - RAII owners of an SQLite connection and its prepared
// statements, for the queue store.
//
// A Db owns one sqlite3 connection and the statements prepared on it
// (cached by their text, finalised before the connection is closed). A Stmt
// is a borrowed, reset-on-scope-exit view of a cached statement, so that no
// statement is left holding a read transaction open.
//
// Failures carry SQLite's own message: every call that fails returns a
// failed Status for the caller to log once. A statement that could not be
// prepared is an invalid Stmt that holds the failure: its Step, Run and
// ForEachRow return it, so a caller checks once, at the step.
//
// Thread safety: none; the store serialises its use of a Db (OneMQ.csStore).
#ifndef MQ_SQLITEDB_H
#define MQ_SQLITEDB_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "status.h"

namespace mqstore {

// Pages the write-ahead log may hold, not yet copied into the database,
// before the writer whose commit passes them runs a checkpoint, in two
// stages.
//
// A process that opens the store alone (a mail system's put process, one a
// message) reads every frame of the log to rebuild its index: SQLite's
// default of 1,000 pages is 4 MiB read by each such process. So a new
// connection checkpoints at kShortLogPages, and the process after it reads
// a few dozen frames at most. But every checkpoint costs two syncs, and a
// put whose body rides in its commit writes about eight pages: at 64 pages
// a process that puts without end would sync for a checkpoint every eight
// puts, about a fifth of its rate. Once a connection has written
// kLongLivedAfter messages it is taken for a long-lived one and
// checkpoints at kLongLogPages (a checkpoint once in about thirty puts;
// with others committing during the copies, up to kRestartIntervals of
// them, about 5 MiB, for the next lone opener to read).
//
// The checkpoint runs after the commit, never in it: SQLite's own
// (wal_autocheckpoint, off here) would run inside the COMMIT, under the
// writers' lock, so every other writer would wait for its copying and its
// two syncs. Here the writer lets go of the lock (and, for a durable
// commit, syncs) first, and copies the log's frames while the others go on
// committing (a PASSIVE checkpoint: it waits for nobody, and a writer that
// finds another process checkpointing leaves it to that one). Only a log
// copied to its end is started again from its beginning by the next
// writer, and under a steady load others commit while one copies: so once
// the log has grown to kRestartIntervals intervals, the frames committed
// meanwhile are copied in a second, short checkpoint under the writers'
// lock, and the log starts over. Doing that every time would cost its two
// syncs under the lock at every checkpoint, as SQLite's own did. A
// checkpoint that fails or can't run fails no caller: the log is longer
// until the next one.
const int kShortLogPages = 64;
const int kLongLogPages = 256;
const int kLongLivedAfter = 16;
const int kRestartIntervals = 4;

// The write-ahead log's size a writer cuts it back to once a checkpoint has
// caught up (SQLite's journal_size_limit): the automatic checkpoints start
// at kLongLogPages (1 MiB), so 8 MiB is never cut in the usual cycle.
const int64_t kWalKeepBytes = 8 << 20;

class Db;
class LockFile;

// A cached statement in use: bound, stepped, and reset (bindings cleared)
// when the Stmt goes out of scope.
class Stmt {
public:
    Stmt(Db* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    // A statement that could not be prepared, for the reason given.
    explicit Stmt(mq::Status failure) : m_db(nullptr), m_stmt(nullptr), m_failure(failure) {}
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt(Stmt&& other) noexcept
        : m_db(other.m_db), m_stmt(other.m_stmt), m_failure(std::move(other.m_failure)) {
        other.m_stmt = nullptr;
    }

    Stmt& Bind(int index, int64_t value);
    Stmt& Bind(int index, const std::string& text);
    Stmt& BindBlob(int index, const std::string& bytes);
    Stmt& BindNull(int index);

    // One step: OK with a row (Row() true) or at the end (Row() false);
    // SQLite's failure otherwise.
    mq::Status Step();
    bool Row() const { return m_row; }
    // Runs the statement to its end.
    mq::Status Run();
    // Steps to the end, calling row() at each row (which reads it through
    // Int, Text and IsNull), then resets the statement, its bindings
    // cleared.
    template <typename F>
    mq::Status ForEachRow(F&& row) {
        for (;;) {
            mq::Status stepped = Step();
            if (!stepped.ok()) return stepped;
            if (!Row()) break;
            row();
        }
        Reset();
        return mq::Status::OK();
    }

    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string Text(int column) const;
    void Reset();

private:
    Db* m_db;
    sqlite3_stmt* m_stmt;
    bool m_row = false;
    mq::Status m_failure;  // why m_stmt is null
};

class Db {
public:
    // Opens (creating) the database at path in WAL mode with a busy timeout
    // of busyMs, into *out; fails, *out untouched, when it can't.
    // With readOnly, the database must exist and is opened for reading only
    // (it must already be in WAL mode; nothing is created or written).
    static mq::Status Open(const std::string& path, int busyMs, bool readOnly,
                           std::unique_ptr<Db>* out);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // The cached statement for sql, prepared on first use; an invalid Stmt
    // holding the cause when it can't be prepared.
    Stmt Prepare(const char* sql);
    // Runs one or more statements without results.
    mq::Status Exec(const char* sql);
    // "database path: SQLite's message (statement)" for the connection's
    // last error in statement sql.
    mq::Status Failure(const char* sql) const;
    int64_t Changes() const { return sqlite3_changes64(m_db); }
    // True when the last failure reported (through Failure) was a full disk.
    bool DiskFull() const { return (m_lastError & 0xff) == SQLITE_FULL; }
    // True when the last failure was another connection's lock (SQLITE_BUSY
    // or SQLITE_LOCKED).
    bool Busy() const {
        return (m_lastError & 0xff) == SQLITE_BUSY || (m_lastError & 0xff) == SQLITE_LOCKED;
    }
    void ForgetFailure() { m_lastError = SQLITE_OK; }
    // Syncs the WAL file through SQLite's own file handle (so through any
    // VFS in use), making every frame committed before durable.
    mq::Status SyncWal();
    // The log's pages not yet copied into the database at which a commit
    // through this connection is followed by a checkpoint (sqlitedb.h).
    void SetCheckpointPages(int pages) { m_checkpointPages = pages; }
    // After a commit, outside the writers' lock: the checkpoint, when the
    // log has grown by the interval since the last one this connection
    // knows of. Nothing the commit did depends on it: a failure is logged
    // (once, until one succeeds again) and the log stays longer.
    void CheckpointIfDue(LockFile* locks);
    // OK while the database file at the connection's path is still the one
    // the connection has open; fails, saying so, once it was deleted or
    // replaced under it.
    mq::Status SameFile();
    sqlite3* Handle() const { return m_db; }

private:
    explicit Db(sqlite3* db) : m_db(db) {}
    // SQLite's hook after each commit of this connection: the log's frames.
    static int AfterCommit(void* self, sqlite3* handle, const char* name, int frames);
    sqlite3* m_db;
    // The log's frames after this connection's last commit, and at its last
    // checkpoint (0 again once the log has started over).
    int m_logFrames = 0;
    int m_checkedFrames = 0;
    int m_checkpointPages = kShortLogPages;
    bool m_checkpointFailed = false;
    std::map<std::string, sqlite3_stmt*> m_cache;
    uint64_t m_dev = 0;
    uint64_t m_ino = 0;
    mutable int m_lastError = SQLITE_OK;
};

// A write transaction, taken under the writers' lock of the lock file
// (locks.h) and then BEGIN IMMEDIATE, so that SQLite's own write lock is
// always free when asked for and its sleeping busy handler never runs for a
// writer. Rolled back unless Commit succeeds.
//
// Group commit. The connection runs with synchronous=NORMAL: a commit
// writes its frames to the WAL without syncing. A durable transaction's
// Commit commits, lets go of the writers' lock, and then syncs the WAL
// itself; it returns true only once that sync, which began after the commit,
// has finished. While one writer syncs, the next commits; one flush of the
// file system serves every commit that came before it. Why each ordering is
// safe is set out in queuedb.h.
class Transaction {
public:
    Transaction(Db* db, LockFile* locks, bool durable)
        : m_db(db), m_locks(locks), m_durable(durable) {}
    ~Transaction();
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    mq::Status Begin();
    // Commits; for a durable transaction, then syncs. Fails when either
    // does (Committed() tells which).
    mq::Status Commit();
    // True once the commit itself succeeded (whether or not its sync did).
    bool Committed() const { return m_committed; }

private:
    Db* m_db;
    LockFile* m_locks;
    bool m_durable;
    bool m_open = false;
    bool m_committed = false;
};

}  // namespace mqstore

#endif
