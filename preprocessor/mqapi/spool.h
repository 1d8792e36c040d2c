// spool.h - the layout of the queue store's spool directory and the file
// work on it.
//
//   <InstallDirectory>/spool/queue.db          the database (with -wal, -shm)
//   <InstallDirectory>/spool/msg/<xx>/<id>.<ext>   an entry's files
//
// <xx> is the entry identifier's low byte in two lower-case hex digits, so
// that 100,000 entries spread over 256 directories of a few hundred files
// each; <id> is the identifier in decimal. Writers put an entry's body at
// its ".msg" path (by renaming a finished file in, or through the store's
// one-call put, which writes a large body there before the commit and a
// small one, kept in the commit, when its path is first named), and the
// store removes an entry's files with it.
//
// Thread safety: a Spool is immutable after construction; its calls are
// reentrant.
#ifndef MQ_SPOOL_H
#define MQ_SPOOL_H

#include <cstdint>
#include <functional>
#include <string>

#include "status.h"

namespace mqstore {

constexpr unsigned long kMaxEntryId = 0xFFFFFFFFul;

// True for an extension the store builds paths with: a dot and one to seven
// ASCII letters or digits (".msg", ".tmp"). This is the one check made
// before any path is built from a caller's extension.
bool IsValidExtension(const char* ext);

class Spool {
public:
    // root: the absolute spool directory.
    explicit Spool(std::string root) : m_root(std::move(root)) {}

    const std::string& Root() const { return m_root; }
    std::string DatabasePath() const { return m_root + "/queue.db"; }
    std::string MessageTree() const { return m_root + "/msg"; }
    std::string EntryDir(unsigned long id) const;
    // REQUIRES: 0 < id <= kMaxEntryId and IsValidExtension(ext).
    std::string EntryPath(unsigned long id, const char* ext) const;

    // Creates the spool and its 256 message directories where missing, each
    // followed by a sync of its parent, msg/ff last; a spool whose msg/ff
    // exists is taken as complete. Fails with "mkdir path: strerror" (or
    // the sync's failure) when one can't be made.
    mq::Status Prepare() const;

    // The size of entry id's ".msg" file; -1 when there is none.
    int64_t BodySize(unsigned long id) const;

    // Writes body as entry id's ".msg" file WITHOUT syncing it (a body whose
    // durable copy is in the database, queuedb.h). With replace false the
    // file is created exclusively; with replace true it is written beside
    // (".r" and this process's id in hex) and renamed over the ".msg" path,
    // so that nobody ever sees it half written. Fails with "operation
    // path: strerror", with nothing new left behind.
    mq::Status WriteLooseBody(unsigned long id, const std::string& body, bool replace) const;

    // Removes entry id's ".msg" and ".tmp" files by name (the two the
    // store's put protocols make): no directory is read. Fails with
    // "unlink path: strerror" when one exists and can't be removed.
    mq::Status RemoveBody(unsigned long id) const;

    // Removes every file of entry id, whatever its extension (reads its
    // directory: for discards and the operator's removals). Fails with
    // "operation path: strerror" when a file or the directory can't be read
    // or removed; files already gone are no failure.
    mq::Status RemoveEntryFiles(unsigned long id) const;

    // The identifier an entry file path names; 0 when path is not
    // "<spool>/msg/<xx>/<id>.<ext>" of this spool with <xx> matching <id>.
    unsigned long IdFromPath(const std::string& path) const;

    // Calls visit(id, path) for every file of the message tree; id is 0 for
    // a name that is no entry file. Fails with "opendir path: strerror"
    // when a directory can't be read.
    mq::Status ForEachFile(
        const std::function<void(unsigned long, const std::string&)>& visit) const;

private:
    std::string m_root;
};

// The identifier an entry file name ("<id>.<ext>") stands for, 0 for none.
unsigned long IdFromFileName(const char* name);

}  // namespace mqstore

#endif
