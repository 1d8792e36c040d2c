// failing_syscalls.h - system calls of the durable-file module's table
// (syscalls.h) made to fail, for the store's and the registry's fault tests.
// A test that uses it links the code under test statically, so that the
// table it changes is the one that code uses.
#ifndef MQTEST_FAILING_SYSCALLS_H
#define MQTEST_FAILING_SYSCALLS_H

#include <string>

namespace mqtest {

// From now on (until MQResetSysCalls) call fails with errno error. call is
// "open", "write", "short write" (the next write writes a part, every later
// one fails), "sync" (fdatasync), "directory sync" (fsync), "close",
// "rename" or "mkdir". Any other name fails the test.
void FailSysCall(const std::string& call, int error);

}  // namespace mqtest

#endif
