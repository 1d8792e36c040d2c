// syscalls.h - the system calls the queue store and its durable-file
// module make on files, through one table that tests replace.
//
// Every open, write, sync, rename, unlink, allocation and close of the
// store's own files (message bodies, the lock file, the reserve, the channel
// file and its rewrite), and every mkdir of the spool's directories, goes
// through MQSysCallTable(), so that a
// test can make any of them fail (ENOSPC, EIO, a short
// write, a failed sync) and check what the caller makes of it. SQLite's own
// file work is not in this table; tests reach it through a VFS of their own
// wrapped around the default one.
//
// Part of the internal library (mqshared): each library that links it holds
// a table of its own and exports neither call, so a test that replaces the
// table links the code under test statically.
//
// Thread safety: the table is read without a lock; a test changes it only
// while no store call runs, and puts the real calls back with
// MQResetSysCalls().
#ifndef MQ_SYSCALLS_H
#define MQ_SYSCALLS_H

#include <sys/types.h>

struct MQSysCalls {
    int (*open)(const char* path, int flags, mode_t mode);
    ssize_t (*write)(int fd, const void* data, size_t size);
    ssize_t (*read)(int fd, void* data, size_t size);
    int (*fsync)(int fd);
    int (*fdatasync)(int fd);
    int (*rename)(const char* from, const char* to);
    int (*unlink)(const char* path);
    int (*close)(int fd);
    int (*mkdir)(const char* path, mode_t mode);  // the spool's directories
    ssize_t (*pwrite)(int fd, const void* data, size_t size, off_t offset);
    ssize_t (*pread)(int fd, void* data, size_t size, off_t offset);
    // posix_fallocate's contract: 0 or the error number, errno untouched.
    int (*fallocate)(int fd, off_t offset, off_t length);
    // The running boot's identity (the kernel's random boot id) into out,
    // NUL-terminated; its length, or -1 with errno. A test stands in
    // another boot through it.
    int (*bootid)(char* out, size_t size);
};

// The table in use; never null.
MQSysCalls* MQSysCallTable();
// Puts the real system calls back.
void MQResetSysCalls();

#endif
