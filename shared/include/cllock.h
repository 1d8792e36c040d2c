// cllock.h - clLock, a plain non-recursive POSIX mutex, and clLockGuard, its
// scoped holder.
//
// The queue store's configuration object holds two of these (mqconfig.h).
// Lock() waits as long as it takes; its timeout argument is accepted for the
// callers' sake and ignored.
//
// The members are defined out of line (cllock.cpp, in the internal library
// both link) and exported by both the store and the toolkit: applications
// built against the old toolkit link to them there.
//
// Thread safety: that is the point; a clLock must not be copied.
#ifndef MQ_CLLOCK_H
#define MQ_CLLOCK_H

#include <pthread.h>

#include <cstdint>


typedef uint32_t DWORD;
typedef int32_t BOOL;

class __attribute__((visibility("default"))) clLock {
public:
    clLock();
    ~clLock();
    clLock(const clLock&) = delete;
    clLock& operator=(const clLock&) = delete;

    // Locks the mutex; always returns 0. dwWait is ignored.
    DWORD Lock(DWORD dwWait);

    // Unlocks the mutex; always returns 0.
    BOOL Unlock();

private:
    pthread_mutex_t m_mutex;
};

// Holds a clLock for the lifetime of the guard.
class clLockGuard {
public:
    explicit clLockGuard(clLock& lock) : m_lock(lock) { m_lock.Lock(0); }
    ~clLockGuard() { m_lock.Unlock(); }
    clLockGuard(const clLockGuard&) = delete;
    clLockGuard& operator=(const clLockGuard&) = delete;

private:
    clLock& m_lock;
};

#endif
