// sqlitedb.h - RAII owners of an SQLite connection and its prepared
// statements, for the queue store.
//
// A Db owns one sqlite3 connection and the statements prepared on it
// (cached by their text, finalised before the connection is closed). A Stmt
// is a borrowed, reset-on-scope-exit view of a cached statement, so that no
// statement is left holding a read transaction open.
//
// Failures carry SQLite's own message: every call that fails returns false
// (or null) and leaves the text in *error for the caller to log once.
//
// Thread safety: none; the store serialises its use of a Db (OneMQ.csStore).
#ifndef MQ_SQLITEDB_H
#define MQ_SQLITEDB_H

#include <sqlite3.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>

namespace mqstore {

// The write-ahead log's size a writer cuts it back to once a checkpoint has
// caught up (SQLite's journal_size_limit): the automatic checkpoints start
// at 256 pages (1 MiB), so 8 MiB is never cut in the usual cycle.
const int64_t kWalKeepBytes = 8 << 20;

class Db;
class LockFile;

// A cached statement in use: bound, stepped, and reset (bindings cleared)
// when the Stmt goes out of scope.
class Stmt {
public:
    Stmt(Db* db, sqlite3_stmt* stmt) : m_db(db), m_stmt(stmt) {}
    ~Stmt();
    Stmt(const Stmt&) = delete;
    Stmt& operator=(const Stmt&) = delete;
    Stmt(Stmt&& other) noexcept : m_db(other.m_db), m_stmt(other.m_stmt) {
        other.m_stmt = nullptr;
    }

    bool Valid() const { return m_stmt != nullptr; }
    Stmt& Bind(int index, int64_t value);
    Stmt& Bind(int index, const std::string& text);
    Stmt& BindBlob(int index, const std::string& bytes);
    Stmt& BindNull(int index);

    // One step: true with a row (Row() true) or at the end (Row() false);
    // false on an error (text in *error).
    bool Step(std::string* error);
    bool Row() const { return m_row; }
    // Runs the statement to its end; false on an error.
    bool Run(std::string* error);
    // Steps to the end, calling row() at each row (which reads it through
    // Int, Text and IsNull), then resets the statement, its bindings
    // cleared. False on an error (text in *error).
    template <typename F>
    bool ForEachRow(std::string* error, F&& row) {
        for (;;) {
            if (!Step(error)) return false;
            if (!Row()) break;
            row();
        }
        Reset();
        return true;
    }

    int64_t Int(int column) const { return sqlite3_column_int64(m_stmt, column); }
    bool IsNull(int column) const { return sqlite3_column_type(m_stmt, column) == SQLITE_NULL; }
    std::string Text(int column) const;
    void Reset();

private:
    Db* m_db;
    sqlite3_stmt* m_stmt;
    bool m_row = false;
};

class Db {
public:
    // Opens (creating) the database at path in WAL mode with a busy timeout
    // of busyMs. Returns null, the cause in *error, when it can't.
    // With readOnly, the database must exist and is opened for reading only
    // (it must already be in WAL mode; nothing is created or written).
    static std::unique_ptr<Db> Open(const std::string& path, int busyMs, std::string* error,
                                    bool readOnly = false);
    ~Db();
    Db(const Db&) = delete;
    Db& operator=(const Db&) = delete;

    // The cached statement for sql, prepared on first use; an invalid Stmt
    // (the cause in *error) when it can't be prepared.
    Stmt Prepare(const char* sql, std::string* error);
    // Runs one or more statements without results.
    bool Exec(const char* sql, std::string* error);
    // "database path: SQLite's message (statement)" for the connection's
    // last error in statement sql.
    std::string Error(const char* sql) const;
    int64_t Changes() const { return sqlite3_changes64(m_db); }
    // True when the last failure reported (through Error) was a full disk.
    bool DiskFull() const { return (m_lastError & 0xff) == SQLITE_FULL; }
    void ForgetFailure() { m_lastError = SQLITE_OK; }
    // Syncs the WAL file through SQLite's own file handle (so through any
    // VFS in use), making every frame committed before durable. Returns
    // false, the cause in *error, when the sync fails.
    bool SyncWal(std::string* error);
    // True when the database file at the connection's path is still the one
    // the connection has open (not deleted or replaced under it); false,
    // the cause in *error, when it is not.
    bool SameFile(std::string* error);
    sqlite3* Handle() const { return m_db; }

private:
    explicit Db(sqlite3* db) : m_db(db) {}
    sqlite3* m_db;
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

    bool Begin(std::string* error);
    // Commits; for a durable transaction, then syncs. False when either
    // fails (Committed() tells which).
    bool Commit(std::string* error);
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
