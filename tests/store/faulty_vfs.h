// faulty_vfs.h - an SQLite VFS over the default one whose writes and syncs
// fail on demand, for the store's fault tests (a full disk, an I/O error, a
// failed sync of the database or its write-ahead log).
//
// Install() registers it as the default VFS before the store opens its
// database; every file opened through it forwards to the real one until a
// failure is armed.
//
// Thread safety: the switches are atomics; set them between store calls.
#ifndef MQTEST_FAULTY_VFS_H
#define MQTEST_FAULTY_VFS_H

namespace faultyvfs {

// Registers the VFS as the default (once per process).
void Install();
// From now until Clear, writes fail with code (an SQLite result such as
// SQLITE_FULL or SQLITE_IOERR_WRITE); 0 lets them through.
void FailWrites(int code);
// From now until Clear, writes to the database file itself (not to its
// write-ahead log) fail with code: only a checkpoint writes there.
void FailDatabaseWrites(int code);
// Writes refused so far, whichever switch refused them.
int Refused();
// From now until Clear, syncs fail with SQLITE_IOERR_FSYNC.
void FailSyncs(bool on);
void Clear();
// Syncs done through the VFS so far.
int Syncs();

}  // namespace faultyvfs

#endif
