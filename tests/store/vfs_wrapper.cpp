// vfs_wrapper.cpp - the pass-through VFS behind vfs_wrapper.h.
#include "vfs_wrapper.h"

namespace vfswrap {

namespace {

sqlite3_vfs* g_real = nullptr;
Hooks g_hooks;
sqlite3_vfs g_vfs;
sqlite3_io_methods g_methods;

File* Ours(sqlite3_file* f) { return reinterpret_cast<File*>(f); }
sqlite3_file* Real(sqlite3_file* f) { return Ours(f)->real(); }

int Close(sqlite3_file* f) { return Real(f)->pMethods->xClose(Real(f)); }
int Read(sqlite3_file* f, void* p, int n, sqlite3_int64 o) {
    return Real(f)->pMethods->xRead(Real(f), p, n, o);
}
int Write(sqlite3_file* f, const void* p, int n, sqlite3_int64 o) {
    if (g_hooks.write != nullptr) return g_hooks.write(Ours(f), p, n, o);
    return Real(f)->pMethods->xWrite(Real(f), p, n, o);
}
int Truncate(sqlite3_file* f, sqlite3_int64 size) {
    return Real(f)->pMethods->xTruncate(Real(f), size);
}
int Sync(sqlite3_file* f, int flags) {
    if (g_hooks.sync != nullptr) return g_hooks.sync(Ours(f), flags);
    return Real(f)->pMethods->xSync(Real(f), flags);
}
int FileSize(sqlite3_file* f, sqlite3_int64* size) {
    return Real(f)->pMethods->xFileSize(Real(f), size);
}
int Lock(sqlite3_file* f, int level) { return Real(f)->pMethods->xLock(Real(f), level); }
int Unlock(sqlite3_file* f, int level) { return Real(f)->pMethods->xUnlock(Real(f), level); }
int CheckReserved(sqlite3_file* f, int* out) {
    return Real(f)->pMethods->xCheckReservedLock(Real(f), out);
}
int FileControl(sqlite3_file* f, int op, void* arg) {
    return Real(f)->pMethods->xFileControl(Real(f), op, arg);
}
int SectorSize(sqlite3_file* f) { return Real(f)->pMethods->xSectorSize(Real(f)); }
int Characteristics(sqlite3_file* f) { return Real(f)->pMethods->xDeviceCharacteristics(Real(f)); }
int ShmMap(sqlite3_file* f, int page, int size, int extend, void volatile** out) {
    return Real(f)->pMethods->xShmMap(Real(f), page, size, extend, out);
}
int ShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return Real(f)->pMethods->xShmLock(Real(f), offset, n, flags);
}
void ShmBarrier(sqlite3_file* f) { Real(f)->pMethods->xShmBarrier(Real(f)); }
int ShmUnmap(sqlite3_file* f, int del) { return Real(f)->pMethods->xShmUnmap(Real(f), del); }
int Fetch(sqlite3_file* f, sqlite3_int64 o, int n, void** p) {
    return Real(f)->pMethods->xFetch(Real(f), o, n, p);
}
int Unfetch(sqlite3_file* f, sqlite3_int64 o, void* p) {
    return Real(f)->pMethods->xUnfetch(Real(f), o, p);
}

int Open(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* f, int flags, int* outFlags) {
    File* file = Ours(f);
    file->base.pMethods = nullptr;
    file->path = name;
    int rc = g_hooks.open != nullptr ? g_hooks.open(g_real, name, file, flags, outFlags)
                                     : g_real->xOpen(g_real, name, file->real(), flags, outFlags);
    // SQLite closes whatever has methods, failed or not: so does the real
    // file behind.
    if (file->real()->pMethods != nullptr) file->base.pMethods = &g_methods;
    return rc;
}
int Delete(sqlite3_vfs*, const char* name, int syncDir) {
    if (g_hooks.remove != nullptr) return g_hooks.remove(g_real, name, syncDir);
    return g_real->xDelete(g_real, name, syncDir);
}
int Access(sqlite3_vfs*, const char* name, int flags, int* out) {
    return g_real->xAccess(g_real, name, flags, out);
}
int FullPathname(sqlite3_vfs*, const char* name, int n, char* out) {
    return g_real->xFullPathname(g_real, name, n, out);
}
void* DlOpen(sqlite3_vfs*, const char* name) { return g_real->xDlOpen(g_real, name); }
void DlError(sqlite3_vfs*, int n, char* out) { g_real->xDlError(g_real, n, out); }
void (*DlSym(sqlite3_vfs*, void* h, const char* sym))(void) {
    return g_real->xDlSym(g_real, h, sym);
}
void DlClose(sqlite3_vfs*, void* h) { g_real->xDlClose(g_real, h); }
int Randomness(sqlite3_vfs*, int n, char* out) { return g_real->xRandomness(g_real, n, out); }
int Sleep(sqlite3_vfs*, int us) { return g_real->xSleep(g_real, us); }
int CurrentTime(sqlite3_vfs*, double* out) { return g_real->xCurrentTime(g_real, out); }
int LastError(sqlite3_vfs*, int n, char* out) { return g_real->xGetLastError(g_real, n, out); }
int CurrentTimeInt64(sqlite3_vfs*, sqlite3_int64* out) {
    return g_real->xCurrentTimeInt64(g_real, out);
}

}  // namespace

int Register(const char* name, sqlite3_vfs* real, const Hooks& hooks) {
    g_hooks = hooks;
    if (g_real != nullptr) return SQLITE_OK;
    g_real = real;
    g_methods = sqlite3_io_methods{};
    g_methods.iVersion = 3;
    g_methods.xClose = Close;
    g_methods.xRead = Read;
    g_methods.xWrite = Write;
    g_methods.xTruncate = Truncate;
    g_methods.xSync = Sync;
    g_methods.xFileSize = FileSize;
    g_methods.xLock = Lock;
    g_methods.xUnlock = Unlock;
    g_methods.xCheckReservedLock = CheckReserved;
    g_methods.xFileControl = FileControl;
    g_methods.xSectorSize = SectorSize;
    g_methods.xDeviceCharacteristics = Characteristics;
    g_methods.xShmMap = ShmMap;
    g_methods.xShmLock = ShmLock;
    g_methods.xShmBarrier = ShmBarrier;
    g_methods.xShmUnmap = ShmUnmap;
    g_methods.xFetch = Fetch;
    g_methods.xUnfetch = Unfetch;

    g_vfs = sqlite3_vfs{};
    g_vfs.iVersion = 2;
    g_vfs.szOsFile = static_cast<int>(sizeof(File)) + real->szOsFile;
    g_vfs.mxPathname = real->mxPathname;
    g_vfs.zName = name;
    g_vfs.xOpen = Open;
    g_vfs.xDelete = Delete;
    g_vfs.xAccess = Access;
    g_vfs.xFullPathname = FullPathname;
    g_vfs.xDlOpen = DlOpen;
    g_vfs.xDlError = DlError;
    g_vfs.xDlSym = DlSym;
    g_vfs.xDlClose = DlClose;
    g_vfs.xRandomness = Randomness;
    g_vfs.xSleep = Sleep;
    g_vfs.xCurrentTime = CurrentTime;
    g_vfs.xGetLastError = LastError;
    g_vfs.xCurrentTimeInt64 = CurrentTimeInt64;
    return sqlite3_vfs_register(&g_vfs, 1);
}

}  // namespace vfswrap
