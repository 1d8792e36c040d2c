// queuedb_check.cpp - the health check of the queue database (mqadmin.h):
// the database's integrity, entries without any copy of their body, files
// of no entry. It reads only, so a check stopped half way changes nothing.
#include "queuedb.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

namespace mqstore {

namespace {

// Entries read at a time by the walk that collects identifiers.
const int64_t kCheckPage = 4096;
// Virtual machine steps between looks at the clock during the scan.
const int kStepsPerLook = 20000;

// What the progress handler needs during the integrity scan.
struct ScanProgress {
    const mqadmin::CheckOptions* options;
    std::chrono::steady_clock::time_point start;
    int64_t shown = 0;  // seconds last reported
};

int OnScanStep(void* context) {
    ScanProgress* p = static_cast<ScanProgress*>(context);
    int64_t seconds = std::chrono::duration_cast<std::chrono::seconds>(
                          std::chrono::steady_clock::now() - p->start)
                          .count();
    if (seconds > p->shown) {
        p->shown = seconds;
        p->options->progress("database", static_cast<uint64_t>(seconds), 0);
    }
    return 0;  // never interrupts: the scan runs to its end
}

uint32_t BigEndian(const unsigned char* b, int n) {
    uint32_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | b[i];
    return v;
}

// The database file's length against the size its header gives, when the
// header's size is valid (its change counter matches): a file shorter than
// that lost its end. Empty when all is well or nothing can be said.
std::string TruncatedFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::string();
    unsigned char header[100];
    struct stat st;
    bool read = pread(fd, header, sizeof header, 0) == static_cast<ssize_t>(sizeof header) &&
                fstat(fd, &st) == 0;
    close(fd);
    if (!read || std::memcmp(header + 24, header + 92, 4) != 0) return std::string();
    uint64_t pageSize = BigEndian(header + 16, 2);
    if (pageSize == 1) pageSize = 65536;
    uint64_t want = pageSize * BigEndian(header + 28, 4);
    if (static_cast<uint64_t>(st.st_size) >= want) return std::string();
    return path + " is " + std::to_string(st.st_size) + " bytes long, its header says " +
           std::to_string(want);
}

}  // namespace

mq::Status QueueDb::CheckDatabase(const mqadmin::CheckOptions& options, std::string* verdict) {
    verdict->clear();
    if (options.quick) {
        // What a lost end, a foreign file or a damaged schema shows at once,
        // in a few pages: the header against the file, the schema, and
        // both ends of the entries' tree.
        *verdict = TruncatedFile(m_spool.DatabasePath());
        if (!verdict->empty()) return mq::Status::OK();
        for (const char* sql : {"SELECT count(*) FROM sqlite_schema",
                                "SELECT id, envelope FROM entries ORDER BY id LIMIT 1",
                                "SELECT id, envelope FROM entries ORDER BY id DESC LIMIT 1"}) {
            Stmt look = m_db->Prepare(sql);
            mq::Status s = look.ForEachRow([] {});
            if (s.ok()) continue;
            // A damaged database is a finding; anything else fails the check.
            int code = sqlite3_errcode(m_db->Handle());
            if (code != SQLITE_CORRUPT && code != SQLITE_NOTADB) return s;
            *verdict = s.Cause();
            return mq::Status::OK();
        }
        *verdict = "ok";
        return mq::Status::OK();
    }
    ScanProgress progress{&options, std::chrono::steady_clock::now()};
    if (options.progress) {
        // SQLite calls the handler between its steps, and its walk of the
        // trees is one long step: the line says the scan began.
        options.progress("database", 0, 0);
        sqlite3_progress_handler(m_db->Handle(), kStepsPerLook, OnScanStep, &progress);
    }
    Stmt integrity = m_db->Prepare("PRAGMA integrity_check");
    mq::Status s = integrity.ForEachRow([&] {
        if (!verdict->empty()) *verdict += "\n";
        *verdict += integrity.Text(0);
    });
    sqlite3_progress_handler(m_db->Handle(), 0, nullptr, nullptr);
    return s;
}

mq::Status QueueDb::CheckFiles(const mqadmin::CheckOptions& options,
                               mqadmin::HealthReport* report) {
    uint64_t total = 0;
    mq::Status s = CountMatching(mqadmin::EntryFilter(), &total);
    if (!s.ok()) return s;
    // Identifiers come in rising order: a sorted list, 4 bytes an entry,
    // is all the file walk needs.
    std::vector<uint32_t> ids;
    ids.reserve(static_cast<size_t>(total));
    std::vector<unsigned long> noCopy;
    Stmt page = m_db->Prepare(
        "SELECT id, EXISTS(SELECT 1 FROM bodies WHERE bodies.id = entries.id) FROM entries"
        " WHERE id > ?1 ORDER BY id LIMIT ?2");
    int64_t after = 0;
    for (;;) {
        size_t before = ids.size();
        page.Bind(1, after).Bind(2, kCheckPage);
        s = page.ForEachRow([&] {
            ids.push_back(static_cast<uint32_t>(page.Int(0)));
            // A body kept in the commit is never missing: its file is
            // written when its path is named.
            if (page.Int(1) == 0) noCopy.push_back(static_cast<unsigned long>(page.Int(0)));
        });
        if (!s.ok()) return s;
        for (unsigned long id : noCopy) {
            if (m_spool.BodySize(id) >= 0) continue;
            mqadmin::EntryInfo info;
            bool found = false;
            s = InfoAsIs(id, &info, &found);
            if (!s.ok()) return s;
            if (found && info.bodySize < 0) report->missingBodies.push_back(info);
        }
        noCopy.clear();
        if (options.progress) options.progress("entries", ids.size(), total);
        if (ids.size() - before < static_cast<size_t>(kCheckPage)) break;
        after = ids.back();
    }
    uint64_t files = 0;
    return m_spool.ForEachFile([&](unsigned long id, const std::string& path) {
        if (id == 0 || !std::binary_search(ids.begin(), ids.end(), static_cast<uint32_t>(id))) {
            report->orphanFiles.push_back(path);
        }
        if (options.progress && ++files % 4096 == 0) options.progress("files", files, 0);
    });
}

mq::Status QueueDb::Check(const mqadmin::CheckOptions& options, mqadmin::HealthReport* report) {
    report->integrity.clear();
    report->orphanFiles.clear();
    report->missingBodies.clear();
    report->complete = !options.quick;
    mq::Status s = CheckDatabase(options, &report->integrity);
    if (!s.ok()) return s;
    mqadmin::SpaceReport space;
    s = Space(&space);
    if (!s.ok()) return s;
    report->databaseBytes = space.databaseBytes;
    report->databaseFree = space.databaseFree;
    report->walBytes = space.walBytes;
    return options.quick ? s : CheckFiles(options, report);
}

}  // namespace mqstore
