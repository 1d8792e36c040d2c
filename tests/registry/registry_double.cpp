// registry_double.cpp - the directory calls as a recording double, and the
// durable-file module's system calls replaced so that a test can make them
// fail.
#include "registry_double.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>

#include "mqdirectory.h"
#include "syscalls.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;
int g_failAt = -1;
std::atomic<int> g_error{0};

ssize_t FailWrite(int, const void*, size_t) {
    errno = g_error;
    return -1;
}

// Writes half, then the disk is full.
ssize_t ShortWrite(int fd, const void* data, size_t size) {
    MQSysCallTable()->write = FailWrite;
    return write(fd, data, size / 2);
}

int FailFd(int) {
    errno = g_error;
    return -1;
}

int FailRename(const char*, const char*) {
    errno = g_error;
    return -1;
}

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
    MQResetSysCalls();
}

void FailDirectoryCall(int n) {
    std::lock_guard<std::mutex> hold(g_mutex);
    g_failAt = n;
}

void FailSysCall(const std::string& call, int error) {
    g_error = error;
    MQSysCalls* table = MQSysCallTable();
    if (call == "write") table->write = FailWrite;
    if (call == "short write") table->write = ShortWrite;
    if (call == "sync") table->fdatasync = FailFd;
    if (call == "close") table->close = FailFd;
    if (call == "rename") table->rename = FailRename;
}

}  // namespace regtest

bool AddModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("add", lpszHostname, lpszModuleName);
}

bool DelModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("del", lpszHostname, lpszModuleName);
}
