// sqlitedb.cpp - the store's SQLite connection, statements and transactions.
#include "sqlitedb.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

#include "locks.h"
#include "log.h"

namespace mqstore {

Stmt::~Stmt() { Reset(); }

void Stmt::Reset() {
    if (m_stmt == nullptr) return;
    sqlite3_reset(m_stmt);
    sqlite3_clear_bindings(m_stmt);
    m_row = false;
}

Stmt& Stmt::Bind(int index, int64_t value) {
    if (m_stmt != nullptr) sqlite3_bind_int64(m_stmt, index, value);
    return *this;
}

Stmt& Stmt::Bind(int index, const std::string& text) {
    if (m_stmt != nullptr) {
        sqlite3_bind_text(m_stmt, index, text.data(), static_cast<int>(text.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
}

Stmt& Stmt::BindBlob(int index, const std::string& bytes) {
    if (m_stmt != nullptr) {
        sqlite3_bind_blob(m_stmt, index, bytes.data(), static_cast<int>(bytes.size()),
                          SQLITE_TRANSIENT);
    }
    return *this;
}

Stmt& Stmt::BindNull(int index) {
    if (m_stmt != nullptr) sqlite3_bind_null(m_stmt, index);
    return *this;
}

mq::Status Stmt::Step() {
    if (m_stmt == nullptr) {
        return m_failure.ok() ? mq::Status::Error("a statement that was never prepared")
                              : m_failure;
    }
    int rc = sqlite3_step(m_stmt);
    m_row = rc == SQLITE_ROW;
    if (rc == SQLITE_ROW || rc == SQLITE_DONE) return mq::Status::OK();
    return m_db->Failure(sqlite3_sql(m_stmt));
}

mq::Status Stmt::Run() {
    mq::Status stepped;
    do {
        stepped = Step();
    } while (stepped.ok() && m_row);
    return stepped;
}

std::string Stmt::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)));
}

mq::Status Db::Open(const std::string& path, int busyMs, bool readOnly, std::unique_ptr<Db>* out) {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(
        path.c_str(), &handle,
        (readOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
            SQLITE_OPEN_NOMUTEX,
        nullptr);
    if (rc != SQLITE_OK) {
        mq::Status failed =
            mq::Status::Error("open " + path + ": " +
                              (handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc)));
        sqlite3_close(handle);
        return failed;
    }
    std::unique_ptr<Db> db(new Db(handle));
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, busyMs);

    // journal_mode answers with the mode it ended up in; anything but "wal"
    // (a read-only directory, an unsupported file system) is refused, since
    // readers and writers of several processes rely on WAL's concurrency.
    // Processes that open a database not yet made race to make it: one
    // may be refused with SQLITE_BUSY here without SQLite's busy handler
    // being asked (its lock steps while another connection writes the
    // first pages). Such an opening waits, within the same time as the busy
    // handler, for the other to finish; it never fails on it.
    Stmt mode = db->Prepare(readOnly ? "PRAGMA journal_mode" : "PRAGMA journal_mode=WAL");
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(busyMs);
    mq::Status s = mode.Step();
    while (!s.ok() && db->Busy() && std::chrono::steady_clock::now() < deadline) {
        mode.Reset();
        usleep(2000);
        s = mode.Step();
    }
    if (!s.ok()) return s;
    if (!mode.Row() || mode.Text(0) != "wal") {
        return mq::Status::Error("open " + path + ": the database can't be put in WAL mode");
    }
    mode.Reset();
    s = db->Exec("PRAGMA synchronous=NORMAL");
    if (!s.ok()) return s;
    // Checkpoints are run by the writers after their commits (sqlitedb.h),
    // never by SQLite within one: the hook replaces its automatic ones.
    if (!readOnly) sqlite3_wal_hook(handle, &Db::AfterCommit, db.get());
    // The log and its index stay when the last writer closes: a reader
    // that may not create files (a member of the queue's group) can open
    // the database only while they exist.
    if (!readOnly) {
        int persist = 1;
        sqlite3_file_control(handle, "main", SQLITE_FCNTL_PERSIST_WAL, &persist);
        // Kept, the log would also keep its largest size for ever: a burst
        // of big bodies, or a reader that held checkpoints back, can leave
        // it hundreds of megabytes long. The first commit after a
        // checkpoint caught up cuts it back to kWalKeepBytes (well above
        // the 1 MiB the automatic checkpoints let it reach, so that the
        // usual cycle never cuts and grows it again).
        const std::string limit =
            "PRAGMA journal_size_limit=" + std::to_string(kWalKeepBytes);
        s = db->Exec(limit.c_str());
        if (!s.ok()) return s;
        // Where SQLite is built to zero whatever it deletes (Debian's is),
        // removing an entry would also write every page its body freed,
        // zeroed, to the log: a second copy of the body's size for each
        // removal. FAST zeroes what it can in pages the removal writes
        // anyway and leaves freed pages as they are until reused, as the
        // blocks of a removed file are left on the disk.
        s = db->Exec("PRAGMA secure_delete=FAST");
        if (!s.ok()) return s;
    }
    // Remember which file was opened, to notice its deletion or replacement.
    s = db->SameFile();
    if (!s.ok()) return s;
    *out = std::move(db);
    return mq::Status::OK();
}

Db::~Db() {
    for (auto& cached : m_cache) sqlite3_finalize(cached.second);
    sqlite3_close(m_db);
}

Stmt Db::Prepare(const char* sql) {
    auto found = m_cache.find(sql);
    if (found != m_cache.end()) return Stmt(this, found->second);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) != SQLITE_OK) {
        mq::Status failed = Failure(sql);
        sqlite3_finalize(stmt);
        return Stmt(failed);
    }
    m_cache.emplace(sql, stmt);
    return Stmt(this, stmt);
}

mq::Status Db::Exec(const char* sql) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return mq::Status::OK();
    return Failure(sql);
}

mq::Status Db::SyncWal() {
    sqlite3_file* wal = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) != SQLITE_OK ||
        wal == nullptr || wal->pMethods == nullptr) {
        return Failure("sync the write-ahead log");
    }
    int rc = wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
    if (rc == SQLITE_OK) return mq::Status::OK();
    const char* file = sqlite3_db_filename(m_db, "main");
    return mq::Status::Error(std::string(file != nullptr ? file : "queue.db") +
                             "-wal: sync: " + sqlite3_errstr(rc));
}

int Db::AfterCommit(void* self, sqlite3* /*handle*/, const char* /*name*/, int frames) {
    Db* db = static_cast<Db*>(self);
    // Fewer frames than at the last commit: the log has started over since.
    if (frames < db->m_logFrames) db->m_checkedFrames = 0;
    db->m_logFrames = frames;
    return SQLITE_OK;
}

void Db::CheckpointIfDue(LockFile* locks) {
    if (m_logFrames - m_checkedFrames < m_checkpointPages) return;
    int frames = 0, copied = 0;
    int rc = sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
    if (rc == SQLITE_OK && frames >= kRestartIntervals * m_checkpointPages &&
        locks->LockWriters().ok()) {
        // The log has not started over for several intervals: what was
        // committed while this one copied (the log's length it reports is
        // the one it started from) is copied with no writer adding more,
        // so that the log is copied to its end and the next writer starts
        // it over. Nothing committed meanwhile: nothing copied, no sync.
        rc = sqlite3_wal_checkpoint_v2(m_db, "main", SQLITE_CHECKPOINT_PASSIVE, &frames, &copied);
        locks->UnlockWriters();
    }
    // Busy: another process is checkpointing, and what this one would copy
    // is that one's. Whatever the outcome, the next try comes after as many
    // frames again (a reader holding the log back, or a failure, costs no
    // try at every commit).
    m_checkedFrames = m_logFrames = std::max(m_logFrames, frames);
    if (rc == SQLITE_OK || rc == SQLITE_BUSY) {
        m_checkpointFailed = false;
        return;
    }
    // Not through Failure: a full disk here is no failure of the caller's
    // next statement.
    if (!m_checkpointFailed) {
        const char* file = sqlite3_db_filename(m_db, "main");
        LogMessagef(MQLOG_WARNING, "mqapi",
                    "%s: checkpoint: %s; the log stays long until one succeeds",
                    file != nullptr ? file : "queue.db", sqlite3_errmsg(m_db));
    }
    m_checkpointFailed = true;
}

mq::Status Db::SameFile() {
    const char* path = sqlite3_db_filename(m_db, "main");
    sqlite3_file* file = nullptr;
    if (path == nullptr ||
        sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr) {
        return mq::Status::OK();  // nothing to compare with: no doubt raised
    }
    struct stat byPath;
    if (stat(path, &byPath) != 0) {
        return mq::Status::Error(std::string(path) + ": deleted while the store has it open");
    }
    if (m_ino == 0) {
        m_dev = byPath.st_dev;
        m_ino = byPath.st_ino;
        return mq::Status::OK();
    }
    if (byPath.st_dev != m_dev || byPath.st_ino != m_ino) {
        return mq::Status::Error(std::string(path) +
                                 ": replaced by another file while the store has it open");
    }
    return mq::Status::OK();
}

mq::Status Db::Failure(const char* sql) const {
    // A full disk stays on record until forgotten: the rollback that follows
    // a failed commit reports failures of its own.
    if ((m_lastError & 0xff) != SQLITE_FULL) m_lastError = sqlite3_extended_errcode(m_db);
    // The statement's opening words say which step failed; the rest would
    // only make the log line long.
    std::string what(sql);
    if (what.size() > 48) what = what.substr(0, 45) + "...";
    const char* file = sqlite3_db_filename(m_db, "main");
    return mq::Status::Error(std::string(file != nullptr ? file : "queue.db") + ": " +
                             sqlite3_errmsg(m_db) + " (" + what + ")");
}

Transaction::~Transaction() {
    if (m_open) m_db->Exec("ROLLBACK");  // a failed rollback leaves it to SQLite
    m_locks->UnlockWriters();
}

mq::Status Transaction::Begin() {
    mq::Status s = m_locks->LockWriters();
    if (s.ok()) s = m_db->Prepare("BEGIN IMMEDIATE").Run();
    if (!s.ok()) {
        m_locks->UnlockWriters();
        return s;
    }
    m_open = true;
    return s;
}

mq::Status Transaction::Commit() {
    mq::Status s = m_db->Prepare("COMMIT").Run();
    if (!s.ok()) return s;  // the destructor rolls back
    m_open = false;
    m_committed = true;
    uint64_t ticket = m_locks->NoteCommit();
    m_locks->UnlockWriters();
    if (m_durable) s = m_locks->SyncCovering(ticket, [this] { return m_db->SyncWal(); });
    if (s.ok()) m_db->CheckpointIfDue(m_locks);
    return s;
}

}  // namespace mqstore
