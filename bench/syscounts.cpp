// syscounts.cpp - system calls counted through perf events on tracepoints.
#include "syscounts.h"

#include <fcntl.h>
#include <linux/perf_event.h>
#include <sys/ioctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace mqbench {
namespace {

// The id of tracepoint event (e.g. "raw_syscalls/sys_enter"), or -1.
long TracepointId(const char* event) {
    for (const char* root : {"/sys/kernel/tracing/events/", "/sys/kernel/debug/tracing/events/"}) {
        std::string path = std::string(root) + event + "/id";
        FILE* f = std::fopen(path.c_str(), "r");
        if (f == nullptr) continue;
        long id = -1;
        if (std::fscanf(f, "%ld", &id) != 1) id = -1;
        std::fclose(f);
        if (id >= 0) return id;
    }
    return -1;
}

// A counter of tracepoint event in this thread, stopped; filter (a
// tracepoint filter expression) when not null. -1 when it can't be opened.
int OpenCounter(const char* event, const char* filter) {
    long id = TracepointId(event);
    if (id < 0) return -1;
    perf_event_attr attr;
    std::memset(&attr, 0, sizeof attr);
    attr.size = sizeof attr;
    attr.type = PERF_TYPE_TRACEPOINT;
    attr.config = static_cast<uint64_t>(id);
    attr.disabled = 1;
    int fd = static_cast<int>(syscall(SYS_perf_event_open, &attr, 0, -1, -1, PERF_FLAG_FD_CLOEXEC));
    if (fd < 0) return -1;
    if (filter != nullptr && ioctl(fd, PERF_EVENT_IOC_SET_FILTER, filter) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint64_t Read(int fd) {
    uint64_t value = 0;
    return read(fd, &value, sizeof value) == static_cast<ssize_t>(sizeof value) ? value : 0;
}

}  // namespace

SysCounter::SysCounter() {
    m_fd[kCalls] = OpenCounter("raw_syscalls/sys_enter", nullptr);
    m_fd[kFsync] = OpenCounter("syscalls/sys_enter_fsync", nullptr);
    m_fd[kFdatasync] = OpenCounter("syscalls/sys_enter_fdatasync", nullptr);
    m_fd[kCreates] = OpenCounter("syscalls/sys_enter_openat", "flags & 64");  // O_CREAT
    m_ok = true;
    for (int fd : m_fd) m_ok = m_ok && fd >= 0;
}

SysCounter::~SysCounter() {
    for (int fd : m_fd) {
        if (fd >= 0) close(fd);
    }
}

void SysCounter::Start() {
    if (!m_ok) return;
    for (int fd : m_fd) {
        ioctl(fd, PERF_EVENT_IOC_RESET, 0);
        ioctl(fd, PERF_EVENT_IOC_ENABLE, 0);
    }
}

SysCounts SysCounter::Stop() {
    SysCounts counts;
    if (!m_ok) return counts;
    for (int fd : m_fd) ioctl(fd, PERF_EVENT_IOC_DISABLE, 0);
    counts.counted = true;
    counts.calls = Read(m_fd[kCalls]);
    counts.syncs = Read(m_fd[kFsync]) + Read(m_fd[kFdatasync]);
    counts.creates = Read(m_fd[kCreates]);
    return counts;
}

}  // namespace mqbench
