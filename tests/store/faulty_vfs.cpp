// faulty_vfs.cpp - switchable write and sync failures, as hooks of the
// pass-through VFS (vfs_wrapper.h).
#include "faulty_vfs.h"

#include <sqlite3.h>

#include <atomic>
#include <cstring>

#include "vfs_wrapper.h"

namespace faultyvfs {

namespace {

std::atomic<int> g_writeCode{0};
std::atomic<int> g_databaseWriteCode{0};
std::atomic<int> g_refused{0};
std::atomic<bool> g_failSync{false};
std::atomic<int> g_syncs{0};
bool g_installed = false;

// No allocation: the memory test's failing allocations must not throw
// through SQLite's own code from here.
bool IsDatabase(const vfswrap::File* f) {
    size_t n = f->path != nullptr ? std::strlen(f->path) : 0;
    return n > 3 && std::strcmp(f->path + n - 3, ".db") == 0;
}

int Write(vfswrap::File* f, const void* p, int n, sqlite3_int64 o) {
    int code = g_writeCode.load();
    if (code == 0 && IsDatabase(f)) code = g_databaseWriteCode.load();
    if (code != 0) {
        ++g_refused;
        return code;
    }
    return vfswrap::Real(f)->pMethods->xWrite(vfswrap::Real(f), p, n, o);
}

int Sync(vfswrap::File* f, int flags) {
    if (g_failSync) return SQLITE_IOERR_FSYNC;
    ++g_syncs;
    return vfswrap::Real(f)->pMethods->xSync(vfswrap::Real(f), flags);
}

}  // namespace

void Install() {
    if (g_installed) return;
    g_installed = true;
    vfswrap::Hooks hooks;
    hooks.write = Write;
    hooks.sync = Sync;
    vfswrap::Register("faulty", sqlite3_vfs_find(nullptr), hooks);
}

void FailWrites(int code) { g_writeCode = code; }
void FailDatabaseWrites(int code) { g_databaseWriteCode = code; }
int Refused() { return g_refused; }
void FailSyncs(bool on) { g_failSync = on; }
void Clear() {
    g_writeCode = 0;
    g_databaseWriteCode = 0;
    g_failSync = false;
}
int Syncs() { return g_syncs; }

}  // namespace faultyvfs
