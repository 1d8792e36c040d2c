// registry_double.cpp - the directory calls as a recording double.
#include "registry_double.h"

#include <mutex>

#include "mqdirectory.h"
#include "syscalls.h"

namespace {

std::mutex g_mutex;
std::vector<std::string> g_calls;
int g_failAt = -1;

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

}  // namespace regtest

bool AddModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("add", lpszHostname, lpszModuleName);
}

bool DelModuleName(const char* lpszHostname, const char* lpszModuleName) {
    return Record("del", lpszHostname, lpszModuleName);
}
