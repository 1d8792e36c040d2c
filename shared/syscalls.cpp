// syscalls.cpp - the table of file system calls, filled with the real ones.
#include "syscalls.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

namespace {

int RealOpen(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }

// The running boot's id read from the kernel into out; its length, or -1.
int ReadBootId(char* out, size_t size) {
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

// A process never outlives its boot, so the id is read once (every put and
// every hand-out of a body kept in its commit asks for it); where it could
// not be read, it is asked again each time. No allocation: the store calls
// this where memory may be exhausted.
int RealBootId(char* out, size_t size) {
    static char cached[64];
    static const int length = ReadBootId(cached, sizeof cached);
    if (length <= 0) return ReadBootId(out, size);
    if (size == 0) return -1;
    size_t n = std::min(static_cast<size_t>(length), size - 1);
    std::memcpy(out, cached, n);
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
