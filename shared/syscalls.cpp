// syscalls.cpp - the table of file system calls, filled with the real ones.
#include "syscalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

MQSysCalls Real() {
    return MQSysCalls{RealOpen, ::write, ::read, ::fsync, ::fdatasync, ::rename, ::unlink, ::close,
                      ::mkdir};
}

MQSysCalls g_table = Real();

}  // namespace

MQSysCalls* MQSysCallTable() { return &g_table; }

void MQResetSysCalls() { g_table = Real(); }
