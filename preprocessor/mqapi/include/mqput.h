// mqput.h - the one-call put's store calls (the body of a new entry written
// by the store itself, at its final path, before the entry is committed),
// and whether the last call failed or found nothing.
//
// Between CreateMQEntry and CloseMQEntry (mq.h), WriteMQBody or
// WriteMQBodyFd creates the entry's ".msg" file exclusively and writes the
// whole body. A body up to the configured limit ([Config]
// BodyInCommitLimit) is also kept for the entry's commit, which makes it
// durable with the envelope: the file is not synced, and is written again
// from that copy whenever it may be stale. A larger body's file is synced
// with its directory before the commit. Readers never look at the file
// before the commit, so no rename is needed; after CloseMQEntry returns
// true the envelope and the body are both durable, and after it returns
// false the file of a body kept for the commit is gone. A writer that dies
// before the commit leaves no entry, and the file is removed once its death
// is noticed.
//
// Failures return false, logged once, with nothing left at the ".msg" path;
// the handle stays valid for DiscardMQEntry. Thread safety as in mq.h.
#ifndef MQ_MQPUT_H
#define MQ_MQPUT_H

#include <cstddef>

#include "mq.h"
#include "mqapi_export.h"

// Writes size bytes of body as the new entry's message file.
MQAPI_EXPORT bool WriteMQBody(MQContext* entry, const void* body, size_t size);

// Writes what fd holds from its current offset to its end as the new
// entry's message file.
MQAPI_EXPORT bool WriteMQBodyFd(MQContext* entry, int fd);

// True when the last call of this thread into the store failed (its cause
// logged), false when it succeeded or simply found nothing: tells a store
// that can't be read from an empty channel after GetFirstMessage returned 0.
MQAPI_EXPORT bool MQLastCallFailed();

#endif
