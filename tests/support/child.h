// child.h - child processes for tests: a function run in a forked child,
// and its end.
//
// Use from one thread: fork copies only the calling thread.
#ifndef MQTEST_CHILD_H
#define MQTEST_CHILD_H

#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <functional>

namespace mqtest {

// Spawn - runs body in a child process, which ends with body's result as its
// exit status (_exit: the child runs none of the parent's exit handlers, and
// output buffered before the fork is written once). -1 when fork fails.
inline pid_t Spawn(const std::function<int()>& body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0) _exit(body());
    return pid;
}

// Wait - the exit status of child pid, -signal when a signal ended it, or
// -1000 when it can't be waited for.
inline int Wait(pid_t pid) {
    int status = 0;
    if (waitpid(pid, &status, 0) != pid) return -1000;
    if (WIFSIGNALED(status)) return -WTERMSIG(status);
    return WEXITSTATUS(status);
}

}  // namespace mqtest

#endif
