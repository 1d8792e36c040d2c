// failing_syscalls.cpp - replacements for the durable-file module's system
// calls that fail with the errno value asked for.
#include "failing_syscalls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>

#include "syscalls.h"

namespace mqtest {

namespace {

std::atomic<int> g_error{0};

ssize_t FailWrite(int, const void*, size_t) {
    errno = g_error;
    return -1;
}

// Writes a part (at least a byte), then the disk is full.
ssize_t ShortWrite(int fd, const void* data, size_t size) {
    MQSysCallTable()->write = FailWrite;
    return write(fd, data, size / 2 + 1);
}

int FailFd(int) {
    errno = g_error;
    return -1;
}

int FailOpen(const char*, int, mode_t) {
    errno = g_error;
    return -1;
}

int FailRename(const char*, const char*) {
    errno = g_error;
    return -1;
}

int FailMkdir(const char*, mode_t) {
    errno = g_error;
    return -1;
}

}  // namespace

void FailSysCall(const std::string& call, int error) {
    g_error = error;
    MQSysCalls* table = MQSysCallTable();
    if (call == "open") {
        table->open = FailOpen;
    } else if (call == "write") {
        table->write = FailWrite;
    } else if (call == "short write") {
        table->write = ShortWrite;
    } else if (call == "sync") {
        table->fdatasync = FailFd;
    } else if (call == "directory sync") {
        table->fsync = FailFd;
    } else if (call == "close") {
        table->close = FailFd;
    } else if (call == "rename") {
        table->rename = FailRename;
    } else if (call == "mkdir") {
        table->mkdir = FailMkdir;
    } else {
        ADD_FAILURE() << "no such call to fail: " << call;
    }
}

}  // namespace mqtest
