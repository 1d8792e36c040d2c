// registry_double.h - a recording stand-in for the directory calls that the
// channel registry makes (AddModuleName, DelModuleName), and switches that
// make the registry's file system calls fail. Compiled into
// the file-level test program only, together with the registry's source.
//
// Thread safety: every function may be called from any thread.
#ifndef MQTEST_REGISTRY_DOUBLE_H
#define MQTEST_REGISTRY_DOUBLE_H

#include <string>
#include <vector>

namespace regtest {

// One directory call: "add host module" or "del host module".
std::vector<std::string> Calls();
// Forgets the calls and lets every call succeed again.
void Reset();
// The n-th call from now on (0: the next) returns false; -1 for none.
void FailDirectoryCall(int n);

}  // namespace regtest

#endif
