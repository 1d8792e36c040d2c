// sqlitedb.cpp - the store's SQLite connection, statements and transactions.
#include "sqlitedb.h"

#include <sys/stat.h>

#include "locks.h"

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

bool Stmt::Step(std::string* error) {
    if (m_stmt == nullptr) return false;
    int rc = sqlite3_step(m_stmt);
    if (rc == SQLITE_ROW) {
        m_row = true;
        return true;
    }
    m_row = false;
    if (rc == SQLITE_DONE) return true;
    *error = m_db->Error(sqlite3_sql(m_stmt));
    return false;
}

bool Stmt::Run(std::string* error) {
    do {
        if (!Step(error)) return false;
    } while (m_row);
    return true;
}

std::string Stmt::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(m_stmt, column);
    if (text == nullptr) return std::string();
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(m_stmt, column)));
}

std::unique_ptr<Db> Db::Open(const std::string& path, int busyMs, std::string* error,
                             bool readOnly) {
    sqlite3* handle = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &handle,
                             (readOnly ? SQLITE_OPEN_READONLY
                                       : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE) |
                                 SQLITE_OPEN_NOMUTEX,
                             nullptr);
    if (rc != SQLITE_OK) {
        *error = "open " + path + ": " +
                 (handle != nullptr ? sqlite3_errmsg(handle) : sqlite3_errstr(rc));
        sqlite3_close(handle);
        return nullptr;
    }
    std::unique_ptr<Db> db(new Db(handle));
    sqlite3_extended_result_codes(handle, 1);
    sqlite3_busy_timeout(handle, busyMs);

    // journal_mode answers with the mode it ended up in; anything but "wal"
    // (a read-only directory, an unsupported file system) is refused, since
    // readers and writers of several processes rely on WAL's concurrency.
    Stmt mode = db->Prepare(readOnly ? "PRAGMA journal_mode" : "PRAGMA journal_mode=WAL", error);
    if (!mode.Valid() || !mode.Step(error)) return nullptr;
    if (!mode.Row() || mode.Text(0) != "wal") {
        *error = "open " + path + ": the database can't be put in WAL mode";
        return nullptr;
    }
    mode.Reset();
    if (!db->Exec("PRAGMA synchronous=NORMAL", error)) return nullptr;
    // A process that opens the store alone (a mail system's put process,
    // one a message) reads every frame of the log to rebuild its index, so
    // the log must restart long before SQLite's default of 1,000 pages
    // (4 MiB read by each such process). But every checkpoint costs two
    // syncs, and a put whose body rides in its commit writes about eight
    // pages: at 64 pages the checkpoints came every eight puts and cost
    // eight putting processes about a fifth of their rate. 256 pages (1 MiB
    // at most to read) brings a checkpoint once in about thirty puts.
    if (!db->Exec("PRAGMA wal_autocheckpoint=256", error)) return nullptr;
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
        if (!db->Exec(limit.c_str(), error)) return nullptr;
        // Where SQLite is built to zero whatever it deletes (Debian's is),
        // removing an entry would also write every page its body freed,
        // zeroed, to the log: a second copy of the body's size for each
        // removal. FAST zeroes what it can in pages the removal writes
        // anyway and leaves freed pages as they are until reused, as the
        // blocks of a removed file are left on the disk.
        if (!db->Exec("PRAGMA secure_delete=FAST", error)) return nullptr;
    }
    // Remember which file was opened, to notice its deletion or replacement.
    if (!db->SameFile(error)) return nullptr;
    return db;
}

Db::~Db() {
    for (auto& cached : m_cache) sqlite3_finalize(cached.second);
    sqlite3_close(m_db);
}

Stmt Db::Prepare(const char* sql, std::string* error) {
    auto found = m_cache.find(sql);
    if (found != m_cache.end()) return Stmt(this, found->second);
    sqlite3_stmt* stmt = nullptr;
    if (sqlite3_prepare_v3(m_db, sql, -1, SQLITE_PREPARE_PERSISTENT, &stmt, nullptr) !=
        SQLITE_OK) {
        *error = Error(sql);
        sqlite3_finalize(stmt);
        return Stmt(this, nullptr);
    }
    m_cache.emplace(sql, stmt);
    return Stmt(this, stmt);
}

bool Db::Exec(const char* sql, std::string* error) {
    if (sqlite3_exec(m_db, sql, nullptr, nullptr, nullptr) == SQLITE_OK) return true;
    *error = Error(sql);
    return false;
}

bool Db::SyncWal(std::string* error) {
    sqlite3_file* wal = nullptr;
    if (sqlite3_file_control(m_db, "main", SQLITE_FCNTL_JOURNAL_POINTER, &wal) != SQLITE_OK ||
        wal == nullptr || wal->pMethods == nullptr) {
        *error = Error("sync the write-ahead log");
        return false;
    }
    int rc = wal->pMethods->xSync(wal, SQLITE_SYNC_NORMAL);
    if (rc == SQLITE_OK) return true;
    const char* file = sqlite3_db_filename(m_db, "main");
    *error = std::string(file != nullptr ? file : "queue.db") + "-wal: sync: " +
             sqlite3_errstr(rc);
    return false;
}

bool Db::SameFile(std::string* error) {
    const char* path = sqlite3_db_filename(m_db, "main");
    sqlite3_file* file = nullptr;
    if (path == nullptr ||
        sqlite3_file_control(m_db, "main", SQLITE_FCNTL_FILE_POINTER, &file) != SQLITE_OK ||
        file == nullptr) {
        return true;  // nothing to compare with: no doubt raised
    }
    struct stat byPath;
    if (stat(path, &byPath) != 0) {
        *error = std::string(path) + ": deleted while the store has it open";
        return false;
    }
    if (m_ino == 0) {
        m_dev = byPath.st_dev;
        m_ino = byPath.st_ino;
        return true;
    }
    if (byPath.st_dev != m_dev || byPath.st_ino != m_ino) {
        *error = std::string(path) + ": replaced by another file while the store has it open";
        return false;
    }
    return true;
}

std::string Db::Error(const char* sql) const {
    // A full disk stays on record until forgotten: the rollback that follows
    // a failed commit reports failures of its own.
    if ((m_lastError & 0xff) != SQLITE_FULL) m_lastError = sqlite3_extended_errcode(m_db);
    // The statement's opening words say which step failed; the rest would
    // only make the log line long.
    std::string what(sql);
    if (what.size() > 48) what = what.substr(0, 45) + "...";
    const char* file = sqlite3_db_filename(m_db, "main");
    return std::string(file != nullptr ? file : "queue.db") + ": " + sqlite3_errmsg(m_db) +
           " (" + what + ")";
}

Transaction::~Transaction() {
    if (m_open) {
        std::string ignored;
        m_db->Exec("ROLLBACK", &ignored);
    }
    m_locks->UnlockWriters();
}

bool Transaction::Begin(std::string* error) {
    if (!m_locks->LockWriters(error)) return false;
    Stmt begin = m_db->Prepare("BEGIN IMMEDIATE", error);
    if (!begin.Valid() || !begin.Run(error)) {
        m_locks->UnlockWriters();
        return false;
    }
    m_open = true;
    return true;
}

bool Transaction::Commit(std::string* error) {
    Stmt commit = m_db->Prepare("COMMIT", error);
    if (!commit.Valid() || !commit.Run(error)) return false;  // the destructor rolls back
    m_open = false;
    m_committed = true;
    uint64_t ticket = m_locks->NoteCommit();
    m_locks->UnlockWriters();
    return !m_durable ||
           m_locks->SyncCovering(ticket, [this, error] { return m_db->SyncWal(error); });
}

}  // namespace mqstore
