// durable.h - the durable-file module: new files written whole and synced
// with their directory, and files replaced by the rename pattern. The
// store (message bodies, and mqfile.h's calls for applications) and the
// toolkit (the registry's channel file, the client's put) use these calls,
// which say what failed ("operation path: strerror").
//
// Every system call goes through MQSysCallTable() (syscalls.h), so that
// tests can make each step fail.
//
// Part of the internal library (mqshared), linked privately into the store
// and the toolkit and kept out of their exported names: its C++ types never
// cross a library's boundary, and the toolkit needs nothing of the store
// beyond the old interface. Applications use mqfile.h.
//
// Thread safety: reentrant.
#ifndef MQ_DURABLE_H
#define MQ_DURABLE_H

#include <cstddef>
#include <string>

#include "status.h"

namespace mqdurable {

// A new file made step by step, for writers that must do something between
// creating it and publishing it (the registry makes its directory call
// there): Create, Write any number of times, Publish. Dropped unpublished,
// the file is removed. Each step returns OK, or a failure whose cause reads
// "operation path: strerror". Not copyable.
class NewFile {
  public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates path exclusively (never through a link) with mode (less the
    // umask); with fresh, a file already there is removed first (a crashed
    // writer's leftover).
    mq::Status Create(const std::string& path, bool fresh, unsigned mode = 0640);
    // Appends size bytes of data; a short write is continued, a write that
    // makes no progress counts as a full disk.
    mq::Status Write(const void* data, size_t size);
    // Appends what fd holds from its offset to its end.
    mq::Status Copy(int fd);
    // Syncs the file's data, closes it (checking the close), renames it to
    // target unless target is its own path, and syncs target's directory
    // when syncDir. Once renamed, a failed directory sync is reported but the
    // file stays published.
    mq::Status Publish(const std::string& target, bool syncDir);

  private:
    mq::Status Fail(const char* operation, int error) const;
    int m_fd = -1;
    std::string m_path;
    bool m_published = false;
};

// Where a new file's content comes from: a buffer, or a descriptor read to
// its end (fd >= 0).
struct Source {
    const void* data = nullptr;
    size_t size = 0;
    int fd = -1;
};

// Creates path exclusively with the content of source, syncs it, checks the
// close, and (when syncDir) syncs its directory. Returns OK, or the
// failure with nothing left at path.
mq::Status WriteNew(const std::string& path, const Source& source, bool syncDir);

// Writes tmp afresh with source, syncs it, renames it over path and syncs
// the directory. Returns OK, or the failure with path unchanged and tmp
// removed.
mq::Status Replace(const std::string& tmp, const std::string& path, const Source& source);

// Syncs the directory dir; a file system that can't sync directories
// (EINVAL) counts as done. Returns OK or the failure.
mq::Status SyncDir(const std::string& dir);

// Removes path; a missing file is no failure. Returns OK or the failure.
mq::Status Remove(const std::string& path);

}  // namespace mqdurable

#endif
