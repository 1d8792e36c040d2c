// durable.h - the durable-file module: new files written whole and synced
// with their directory, and files replaced by the rename pattern. The
// public face is mqfile.h; the store and the registry use these calls,
// which say what failed ("operation path: strerror").
//
// Every system call goes through MQSysCallTable() (syscalls.h), so that
// tests can make each step fail.
//
// Compiled into each library that writes files (the store, the toolkit's
// registry) and kept to itself there: its C++ types never cross a library's
// boundary, and the toolkit needs nothing of the store beyond the old
// interface. Applications use mqfile.h.
//
// Thread safety: reentrant.
#ifndef MQ_DURABLE_H
#define MQ_DURABLE_H

#include <cstddef>
#include <string>


namespace mqdurable {

// A new file made step by step, for writers that must do something between
// creating it and publishing it (the registry makes its directory call
// there): Create, Write any number of times, Publish. Dropped unpublished,
// the file is removed. Each step returns 0, or an errno value with the
// cause ("operation path: strerror") in *error. Not copyable.
class NewFile {
  public:
    NewFile() = default;
    ~NewFile();
    NewFile(const NewFile&) = delete;
    NewFile& operator=(const NewFile&) = delete;

    // Creates path exclusively (never through a link) with mode (less the
    // umask); with fresh, a file already there is removed first (a crashed
    // writer's leftover).
    int Create(const std::string& path, bool fresh, std::string* error, unsigned mode = 0640);
    // Appends size bytes of data; a short write is continued, a write that
    // makes no progress counts as a full disk.
    int Write(const void* data, size_t size, std::string* error);
    // Appends what fd holds from its offset to its end.
    int Copy(int fd, std::string* error);
    // Syncs the file's data, closes it (checking the close), renames it to
    // target unless target is its own path, and syncs target's directory
    // when syncDir. Once renamed, a failed directory sync is reported but the
    // file stays published.
    int Publish(const std::string& target, bool syncDir, std::string* error);

  private:
    int Fail(const char* operation, int error, std::string* text);
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
// close, and (when syncDir) syncs its directory. Returns 0, or an errno
// value with the cause in *error and nothing left at path.
int WriteNew(const std::string& path, const Source& source, bool syncDir,
                       std::string* error);

// Writes tmp afresh with source, syncs it, renames it over path and syncs
// the directory. Returns 0, or an errno value with the cause in *error;
// path is then unchanged and tmp removed.
int Replace(const std::string& tmp, const std::string& path, const Source& source,
                      std::string* error);

// Syncs the directory dir; a file system that can't sync directories
// (EINVAL) counts as done. Returns 0 or an errno value (cause in *error).
int SyncDir(const std::string& dir, std::string* error);

// Removes path; a missing file is no failure. Returns 0 or an errno value.
int Remove(const std::string& path, std::string* error);

}  // namespace mqdurable

#endif
