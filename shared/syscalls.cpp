// syscalls.cpp - the table of file system calls, filled with the real ones.
#include "syscalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

int RealBootId(char* out, size_t size) {
    int fd = ::open("/proc/sys/kernel/random/boot_id", O_RDONLY | O_CLOEXEC);
    if (fd < 0 || size == 0) {
        if (fd >= 0) ::close(fd);
        return -1;
    }
    ssize_t n = ::read(fd, out, size - 1);
    ::close(fd);
    if (n < 0) return -1;
    while (n > 0 && (out[n - 1] == '\n' || out[n - 1] == ' ')) --n;
    out[n] = '\0';
    return static_cast<int>(n);
}

MQSysCalls Real() {
    return MQSysCalls{RealOpen, ::write, ::read,   ::fsync, ::fdatasync,       ::rename,  ::unlink,
                      ::close,  ::mkdir, ::pwrite, ::pread, ::posix_fallocate, RealBootId};
}

MQSysCalls g_table = Real();

}  // namespace

MQSysCalls* MQSysCallTable() { return &g_table; }

void MQResetSysCalls() { g_table = Real(); }
