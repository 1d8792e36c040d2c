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
// one-call put, which writes it there before the commit), and the store
// removes an entry's files with it.
//
// Thread safety: a Spool is immutable after construction; its calls are
// reentrant.
#ifndef MQ_SPOOL_H
#define MQ_SPOOL_H

#include <cstdint>
#include <functional>
#include <string>

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
    // exists is taken as complete. Returns false, "mkdir path: strerror" (or
    // the sync's failure) in *error, when one can't be made.
    bool Prepare(std::string* error) const;

    // The size of entry id's ".msg" file; -1 when there is none.
    int64_t BodySize(unsigned long id) const;

    // Writes body as entry id's ".msg" file WITHOUT syncing it (a body whose
    // durable copy is in the database, queuedb.h). With replace false the
    // file is created exclusively; with replace true it is written beside
    // (".r" and this process's id in hex) and renamed over the ".msg" path,
    // so that nobody ever sees it half written. Returns false, "operation
    // path: strerror" in *error, with nothing new left behind.
    bool WriteLooseBody(unsigned long id, const std::string& body, bool replace,
                        std::string* error) const;

    // Removes entry id's ".msg" and ".tmp" files by name (the two the
    // store's put protocols make): no directory is read. Returns false,
    // "unlink path: strerror" in *error, when one exists and can't be
    // removed.
    bool RemoveBody(unsigned long id, std::string* error) const;

    // Removes every file of entry id, whatever its extension (reads its
    // directory: for discards and the operator's removals). Returns false,
    // "operation path: strerror" in *error, when a file or the directory
    // can't be read or removed; files already gone are no failure.
    bool RemoveEntryFiles(unsigned long id, std::string* error) const;

    // The identifier an entry file path names; 0 when path is not
    // "<spool>/msg/<xx>/<id>.<ext>" of this spool with <xx> matching <id>.
    unsigned long IdFromPath(const std::string& path) const;

    // Calls visit(id, path) for every file of the message tree; id is 0 for
    // a name that is no entry file. Returns false, the cause in *error, when
    // a directory can't be read.
    bool ForEachFile(const std::function<void(unsigned long, const std::string&)>& visit,
                     std::string* error) const;

private:
    std::string m_root;
};

// The identifier an entry file name ("<id>.<ext>") stands for, 0 for none.
unsigned long IdFromFileName(const char* name);

}  // namespace mqstore

#endif
