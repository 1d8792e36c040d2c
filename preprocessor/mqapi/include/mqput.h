// mqput.h - the one-call put's store calls (the body of a new entry given
// to the store, which makes it durable with the entry's commit),
// and whether the last call failed or found nothing.
//
// Between CreateMQEntry and CloseMQEntry (mq.h), WriteMQBody or
// WriteMQBodyFd hands the store the whole body. A body up to the
// configured limit ([Config] BodyInCommitLimit) is kept in the entry's
// commit, which makes it durable with the envelope, and gets no file at
// the put: its ".msg" file is written from that copy when its path is
// named after the commit (a reader's hand-out, GetMQPathName by
// identifier, GetMQEnvelope), and written again whenever it may be stale.
// A waiting body is thus stored once. The path GetMQPathName gives for the
// entry handle names where that file will be, not a file: callers that
// want to read it ask by identifier once the entry is committed. A larger
// body is written at the ".msg" path, synced with its directory before the
// commit. Readers never look at the file before the commit, so no rename
// is needed; after CloseMQEntry returns true the envelope and the body are
// both durable. A writer that dies before the commit leaves no entry, and
// a large body's file is removed once its death is noticed.
//
// Failures return false, logged once, with nothing left at the ".msg" path;
// the handle stays valid for DiscardMQEntry. Thread safety as in mq.h.
#ifndef MQ_MQPUT_H
#define MQ_MQPUT_H

#include <cstddef>

#include "mq.h"
#include "mqapi_export.h"

// Gives size bytes of body as the new entry's message.
MQAPI_EXPORT bool WriteMQBody(MQContext* entry, const void* body, size_t size);

// Gives what fd holds from its current offset to its end as the new
// entry's message.
MQAPI_EXPORT bool WriteMQBodyFd(MQContext* entry, int fd);

// True when the last call of this thread into the store failed (its cause
// logged), false when it succeeded or simply found nothing: tells a store
// that can't be read from an empty channel after GetFirstMessage returned 0.
MQAPI_EXPORT bool MQLastCallFailed();

#endif
