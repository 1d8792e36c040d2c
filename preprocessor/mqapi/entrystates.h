// entrystates.h - an entry's state and the reason it is there, as queue.db
// stores them (entries.state, entries.reason): one place for the numbers.
//
// Each state has its SQL spelling beside it, a macro, so that statements
// hold it as a literal: SQLite uses a partial index (schema.cpp) only for a
// query that names the index's very literal. The stored numbers never
// change.
#ifndef MQ_ENTRYSTATES_H
#define MQ_ENTRYSTATES_H

#include <cstdint>

#define MQ_SQL_QUEUED "1"
#define MQ_SQL_HELD "2"
#define MQ_SQL_FAILED "3"
// The reason an entry set aside after MaxAttempts hand-outs gets.
#define MQ_SQL_REASON_FAILED "6"

namespace mqstore {

enum : int64_t { kQueued = 1, kHeld = 2, kFailed = 3 };

// Why an entry last came back or was moved (entries.reason).
enum : int64_t {
    kReasonReturned = 1,    // its reader closed without removing it
    kReasonReaderDied = 2,  // its reader's process ended
    kReasonHeld = 3,        // an operator held it
    kReasonReleased = 4,    // an operator released it
    kReasonRequeued = 5,    // an operator requeued it
    kReasonFailed = 6,      // set aside: its readers died MaxAttempts times holding it
    kReasonDeferred = 7,    // its reader will try again later (reason_text: why)
    kReasonExpired = 8,     // set aside: still queued QueueLifetime after its put
    kReasonFlushed = 9      // an operator made it due now
};

static_assert(MQ_SQL_QUEUED[0] - '0' == kQueued && MQ_SQL_QUEUED[1] == '\0', "queued");
static_assert(MQ_SQL_HELD[0] - '0' == kHeld && MQ_SQL_HELD[1] == '\0', "held");
static_assert(MQ_SQL_FAILED[0] - '0' == kFailed && MQ_SQL_FAILED[1] == '\0', "failed");
static_assert(MQ_SQL_REASON_FAILED[0] - '0' == kReasonFailed &&
                  MQ_SQL_REASON_FAILED[1] == '\0',
              "reason failed");

}  // namespace mqstore

#endif
