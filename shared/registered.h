// registered.h - whether a channel list names a channel: the one look-up
// the store (at OpenMQChannel and InsertMQChannel) and the toolkit (at
// every put and get) both make in the store's list OneMQ.myQList.
//
// The list and its lock are passed in: this layer lies below the store and
// knows nothing of OneMQ.
//
// Thread safety: walks the list under the lock given, as every walk of the
// store's list does.
#ifndef MQ_REGISTERED_H
#define MQ_REGISTERED_H

#include <cstddef>

#include "clist.h"
#include "cllock.h"

namespace mqshared {

// True when the name held in field (fieldSize bytes, ended by a NUL or by
// the field's end) is channel, letter case ignored: a field filled to its
// last byte is never read past.
bool NameIs(const char* field, size_t fieldSize, const char* channel);

// True when a record of list (a channel record, named in its szQueue
// field) names channel; false for a null channel. Holds lock for the walk.
template <typename Record>
bool IsRegisteredChannel(const cList<Record*>& list, clLock& lock, const char* channel) {
    if (channel == nullptr) return false;
    clLockGuard hold(lock);
    for (auto* node = list.pBase; node != nullptr; node = node->pNext) {
        if (NameIs(node->stUser->szQueue, sizeof node->stUser->szQueue, channel)) return true;
    }
    return false;
}

}  // namespace mqshared

#endif
