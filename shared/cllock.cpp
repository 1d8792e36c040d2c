// cllock.cpp - clLock's members. Linked into the store and into the
// toolkit, each of which exports them.
#include "cllock.h"

clLock::clLock() { pthread_mutex_init(&m_mutex, nullptr); }

clLock::~clLock() { pthread_mutex_destroy(&m_mutex); }

DWORD clLock::Lock(DWORD dwWait) {
    (void)dwWait;
    pthread_mutex_lock(&m_mutex);
    return 0;
}

BOOL clLock::Unlock() {
    pthread_mutex_unlock(&m_mutex);
    return 0;
}
