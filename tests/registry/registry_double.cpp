// registry_double.cpp - the directory calls as a recording double, and
// fsync and rename wrapped so that a test can make them fail.
#include "registry_double.h"

#include <dlfcn.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "mqdirectory.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;
int g_failAt = -1;
std::atomic<bool> g_failFsync{false};
std::atomic<bool> g_failRename{false};

bool Record(const char* op, const char* host, const char* module) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_calls.push_back(std::string(op) + " " + (host ? host : "(null)") + " " +
                      (module ? module : "(null)"));
    if (g_failAt == 0) {
        g_failAt = -1;
        return false;
    }
    if (g_failAt > 0) --g_failAt;
    return true;
}

template <typename Fn>
Fn Real(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace

namespace regtest {

std::vector<std::string> Calls() {
    std::lock_guard<std::mutex> hold(g_mutex);
    return g_calls;
}

void Reset() {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_calls.clear();
    g_failAt = -1;
    g_failFsync = false;
    g_failRename = false;
}

void FailDirectoryCall(int n) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_failAt = n;
}

void FailFsync(bool on) { g_failFsync = on; }
void FailRename(bool on) { g_failRename = on; }

}  // namespace regtest

bool AddModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("add", lpszHostname, lpszModuleName);
}

bool DelModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("del", lpszHostname, lpszModuleName);
}

extern "C" int fsync(int fd) {
    if (g_failFsync) {
        errno = EIO;
        return -1;
    }
    static auto real = Real<int (*)(int)>("fsync");
    return real(fd);
}

extern "C" int rename(const char* from, const char* to) noexcept {
    if (g_failRename) {
        errno = EXDEV;
        return -1;
    }
    static auto real = Real<int (*)(const char*, const char*)>("rename");
    return real(from, to);
}
