// procident.cpp - process identities from /proc.
#include "procident.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace mqstore {

namespace {

// Reads a small file whole, path taken relative to the directory dirFd (or
// the current directory for AT_FDCWD); false with errno set when it can't.
bool ReadSmallFile(int dirFd, const char* path, std::string* text) {
    int fd = openat(dirFd, path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char buffer[1024];
    text->clear();
    for (;;) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            int saved = errno;
            close(fd);
            errno = saved;
            return false;
        }
        if (n == 0) break;
        text->append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return true;
}

const std::string& BootId() {
    // The boot id changes only with a reboot; read it once per process.
    static const std::string id = [] {
        std::string text;
        if (!ReadSmallFile(AT_FDCWD, "/proc/sys/kernel/random/boot_id", &text)) {
            return std::string("-");
        }
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
        return text;
    }();
    return id;
}

enum class Probe { Running, Gone, Unknown };

// The state letter and start time of pid, from /proc/<pid>/stat. The
// command name (field 2) may hold spaces and parentheses, so the fields are
// counted from the last ')'.
//
// The file is opened relative to a descriptor of /proc, not by its absolute
// path: a user-mode emulator (an i386 build run on amd64) answers a
// program's reads of its own "/proc/<pid>/stat" with fields of its own
// making, without the real start time, and a process must record the same
// identity that other processes read for it from the kernel.
Probe ProbeStat(pid_t pid, char* state, std::string* startTime) {
    char path[32];
    std::snprintf(path, sizeof path, "%ld/stat", static_cast<long>(pid));
    int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) return Probe::Unknown;
    std::string text;
    bool got = ReadSmallFile(proc, path, &text);
    int saved = errno;
    close(proc);
    if (!got) return saved == ENOENT || saved == ESRCH ? Probe::Gone : Probe::Unknown;
    size_t close = text.rfind(')');
    if (close == std::string::npos) return Probe::Unknown;
    // After ") " come field 3 (state) onwards; start time is field 22.
    const char* p = text.c_str() + close + 1;
    int field = 2;
    while (*p != '\0') {
        while (*p == ' ') ++p;
        if (*p == '\0') break;
        ++field;
        const char* start = p;
        while (*p != '\0' && *p != ' ') ++p;
        if (field == 3) *state = *start;
        if (field == 22) {
            startTime->assign(start, static_cast<size_t>(p - start));
            return Probe::Running;
        }
    }
    return Probe::Unknown;
}

}  // namespace

ProcessIdentity IdentifyProcess(pid_t pid) {
    ProcessIdentity identity;
    identity.pid = pid;
    char state = 0;
    std::string start;
    if (ProbeStat(pid, &state, &start) == Probe::Running) identity.key = BootId() + ":" + start;
    return identity;
}

bool ProcessAlive(const ProcessIdentity& identity) {
    if (identity.pid <= 0) return false;
    size_t colon = identity.key.rfind(':');
    if (colon == std::string::npos) return false;
    if (identity.key.compare(0, colon, BootId()) != 0) return false;  // an earlier boot
    char state = 0;
    std::string start;
    switch (ProbeStat(identity.pid, &state, &start)) {
        case Probe::Gone:
            return false;
        case Probe::Unknown:
            return true;
        case Probe::Running:
            break;
    }
    if (state == 'Z' || state == 'X') return false;  // killed, not yet reaped
    return identity.key.compare(colon + 1, std::string::npos, start) == 0;
}

}  // namespace mqstore
