// vfs_wrapper.h - an SQLite VFS over another one that forwards every call,
// for tests that watch or fail a few of them (the fault test's failing
// writes and syncs, the power-cut test's recorder). A test sets the hooks it
// needs; every other call goes to the real VFS and the real file as it is.
//
// One wrapper a process: Register() again replaces the hooks.
// Thread safety: the hooks run on whatever thread SQLite calls from.
#ifndef MQTEST_VFS_WRAPPER_H
#define MQTEST_VFS_WRAPPER_H

#include <sqlite3.h>

namespace vfswrap {

// A file opened through the wrapper: SQLite's header, the name it was
// opened by (SQLite keeps it until xClose; null for a temporary file), then
// the real VFS's own file in its szOsFile bytes.
struct File {
    sqlite3_file base;
    const char* path;
    sqlite3_file* real() { return reinterpret_cast<sqlite3_file*>(this + 1); }
};

// The calls a test may take over. A null hook passes the call through. A
// hook forwards what it lets through itself: to Real(file)'s methods, or to
// the real VFS it is handed.
struct Hooks {
    int (*open)(sqlite3_vfs* real, sqlite3_filename name, File* file, int flags,
                int* outFlags) = nullptr;
    int (*remove)(sqlite3_vfs* real, const char* name, int syncDir) = nullptr;
    int (*write)(File* file, const void* data, int size, sqlite3_int64 offset) = nullptr;
    int (*sync)(File* file, int flags) = nullptr;
};

// The real file behind one of the wrapper's.
inline sqlite3_file* Real(File* file) { return file->real(); }

// Registers the wrapper, named name, over real as SQLite's default VFS.
// Returns SQLite's result.
int Register(const char* name, sqlite3_vfs* real, const Hooks& hooks);

}  // namespace vfswrap

#endif
