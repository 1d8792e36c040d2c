// mqadmin.h - the queue store's calls for the administrator's tool: listing
// and counting entries, removing, holding, releasing and requeueing them,
// finding an entry from its message path, and checking the spool's health.
//
// Every call works on the store MQInit (mq.h) initialised in this process
// and fails (false, 0 or AdminResult::Failed) before that. Failures are
// logged once through LogMessage, as in mq.h; nothing throws.
//
// Entry states: an entry appears at CloseMQEntry. It is "writing" while its
// writer lives and its ".msg" file has not appeared yet (the writer renames
// the body in after the close), then "queued"; one whose writer died before
// the body came is removed. A queued entry is offered to readers; "held"
// entries are not offered until released; "failed" entries came back from
// readers MaxAttempts times without being removed and are not offered until
// requeued. Any state but writing may also be leased: handed
// to an open read handle that has not removed it yet.
//
// Why an entry is where it is: each records its last hand-out's time and
// the last reason it came back from a reader or was moved by an operator
// (EntryReason), with when and by whom.
//
// Thread safety: every call may be made from any thread at any time.
// Ownership: results are plain values owned by the caller.
#ifndef MQ_MQADMIN_H
#define MQ_MQADMIN_H

#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "mqapi_export.h"

namespace mqadmin {

enum class EntryState { Writing, Queued, Held, Failed };

// "writing", "queued", "held" or "failed"; never null.
MQAPI_EXPORT const char* StateName(EntryState state);

// Why an entry last came back to the queue or was moved.
enum class EntryReason {
    None,        // never came back nor was moved
    Returned,    // its reader closed without removing it
    ReaderDied,  // its reader's process ended while holding it
    Held,        // an operator held it
    Released,    // an operator released it
    Requeued,    // an operator requeued it
    Failed,      // set aside: its readers died MaxAttempts times holding it, or
                 // its deliverer's command refused it for good (reasonText says)
    Deferred,    // its reader will try again later (reasonText: the reader's words)
    Expired      // set aside: still queued QueueLifetime after its put
};

// "", "returned", "reader-died", "held", "released", "requeued",
// "failed", "deferred" or "expired"; never null.
MQAPI_EXPORT const char* ReasonName(EntryReason reason);

struct EntryInfo {
    uint32_t id = 0;
    std::string channel;        // as the writer named it (empty while writing)
    EntryState state = EntryState::Writing;
    bool leased = false;        // handed to an open reader, not removed yet
    int64_t created = 0;        // creation time, seconds since the epoch (UTC)
    int64_t bodySize = -1;      // size of the ".msg" file; -1 when there is none
    uint32_t attempts = 0;      // hand-outs that came back without a removal
    std::string application;    // the appname given to MQInit by its writer
    std::string sender;         // the first sender address ("" for none)
    std::vector<std::string> recipients;  // in envelope order
    std::string path;           // absolute path of the ".msg" file
    int64_t handed = 0;         // last hand-out to a reader (seconds since the epoch); 0: never
    EntryReason reason = EntryReason::None;
    int64_t reasonTime = 0;     // when reason happened; 0 with None
    // Who: the operator's user name, or the reader as "application[pid]"
    // ("" with None, and for entries recorded before reasons were kept).
    std::string reasonBy;
    // The retry schedule: when a deferred entry is offered again
    // (milliseconds since the epoch; 0: due now), how often its readers put
    // it off, and their words (or the set-aside's) on the last time.
    int64_t due = 0;
    uint32_t deferrals = 0;
    std::string reasonText;
};

// Which entries WalkEntries and CountMatching take; every field narrows.
struct EntryFilter {
    std::string channel;  // "" for every channel; letter case ignored
    // States: none set for any state; held and failed together for either.
    bool held = false;
    bool failed = false;
    // Only entries created strictly after createdAfter and strictly before
    // createdBefore (seconds since the epoch).
    int64_t createdAfter = std::numeric_limits<int64_t>::min();
    int64_t createdBefore = std::numeric_limits<int64_t>::max();
};

struct ChannelCount {
    std::string channel;        // letter case of the oldest entry's writer
    uint32_t writing = 0;
    uint32_t queued = 0;        // leased ones included
    uint32_t held = 0;
    uint32_t failed = 0;
    uint32_t leased = 0;
    // Queued entries deferred to a later time (among queued; not leased),
    // and the creation time of the oldest of them (0: none).
    uint32_t deferred = 0;
    int64_t oldestDeferred = 0;
    int64_t oldest = 0;         // creation time of its oldest entry
};

// A channel's figures as the monitoring views show them, read from the
// totals the store keeps with every change of an entry and from its
// indexes, never from a walk of the entries. Entries still being written
// (state writing) are counted apart and nowhere else.
struct ChannelTotals {
    std::string channel;  // letter case of the first entry the channel held
    // Entries by state, leased ones included, and their bodies' bytes (a
    // body not yet in place counts nothing).
    uint64_t queued = 0, held = 0, failed = 0;
    int64_t queuedBytes = 0, heldBytes = 0, failedBytes = 0;
    uint64_t writing = 0;
    uint64_t leased = 0;
    // Attempts and deferrals summed over the channel's entries.
    uint64_t attempts = 0, deferrals = 0;
    // Queued entries, not leased, deferred to a later time than the call's.
    uint64_t deferred = 0;
    // Creation times of the oldest entry and the oldest deferred one (0:
    // none).
    int64_t oldest = 0, oldestDeferred = 0;
    // Entries by creation time, as ReadTotals' bounds divide it: [0] those
    // created before bounds[0], [i] from bounds[i - 1] to before bounds[i],
    // the last from bounds.back() on. Empty when no bounds were given.
    std::vector<uint64_t> created;

    uint64_t Entries() const { return queued + held + failed; }
};

struct HealthReport {
    // "ok", or the lines PRAGMA integrity_check gave, joined by "\n". A
    // quick check gives "ok" when the database opens, its schema can be
    // read and its file is as long as its header says.
    std::string integrity;
    // False after a quick check: integrity is not the full scan's verdict,
    // and orphanFiles and missingBodies were not looked for.
    bool complete = true;
    // Absolute paths of files under the spool's "msg" tree that belong to no
    // entry (left by a crash between a removal's commit and its unlink, or
    // put there by hand), and names there that are no entry file at all.
    std::vector<std::string> orphanFiles;
    // Entries whose ".msg" file does not exist and whose body is not kept
    // in their commit either (a body kept there gets its file when its path
    // is named, so no file is no fault). Right after a put this is normal
    // (the writer renames the body in a moment); an old one is a body that
    // never came.
    std::vector<EntryInfo> missingBodies;
    // The database file's size and the part of it free for reuse (pages
    // of removed entries and bodies), and the write-ahead log's size, in
    // bytes.
    int64_t databaseBytes = 0;
    int64_t databaseFree = 0;
    int64_t walBytes = 0;

    bool Healthy() const {
        return integrity == "ok" && orphanFiles.empty() && missingBodies.empty();
    }
};

// The space the store takes, as HealthReport gives it, without the check.
struct SpaceReport {
    int64_t databaseBytes = 0;  // the database, the log's newer pages included
    int64_t databaseFree = 0;   // of which free for reuse
    int64_t walBytes = 0;       // the write-ahead log's file
};

enum class AdminResult {
    Done,        // the change was made (or was already so)
    NotFound,    // no entry has that identifier
    WrongState,  // the entry is in a state the call does not apply to
    Failed       // not initialised, or the database failed (logged)
};

// The entries of channel (letter case ignored), or of every channel when
// channel is null or empty, in identifier order, into *out (replaced).
// Returns false, *out emptied, when the store fails.
MQAPI_EXPORT bool ListEntries(const char* channel, std::vector<EntryInfo>* out);

// Calls each with every entry filter takes, in identifier order, until each
// returns false. The entries are read a page at a time, so that a walk
// stopped early reads little more than it showed, and memory stays small
// whatever the queue's length. Not one snapshot: an entry changed during
// the walk shows as it was when its page was read; none shows twice. each
// runs under the store's lock and must not call the store. Returns false
// when the store fails (logged); each may have been called before that.
MQAPI_EXPORT bool WalkEntries(const EntryFilter& filter,
                              const std::function<bool(const EntryInfo&)>& each);

// The number of entries filter takes, counted by the database without
// reading them, into *count. Returns false, *count 0, when the store fails.
MQAPI_EXPORT bool CountMatching(const EntryFilter& filter, uint64_t* count);

// One entry, its ".msg" file made whole first (a body kept in the entry's
// commit is written to it when it is not yet): path names the whole body.
// For a process opened for reading only, which can't write it, path is ""
// then. Returns false when no entry has identifier id or the store fails
// (only the failure is logged).
MQAPI_EXPORT bool GetEntryInfo(unsigned long id, EntryInfo* out);
// One entry as GetEntryInfo gives it, but its file left as it is: for
// callers that look at its state and never at its body (path names where
// the file is, or will be once named).
MQAPI_EXPORT bool LookUpEntry(unsigned long id, EntryInfo* out);

// Counts per channel, channels in name order (letter case ignored), into
// *out (replaced). Returns false, *out emptied, when the store fails.
MQAPI_EXPORT bool CountEntries(std::vector<ChannelCount>* out);

// The figures of every channel that holds or held entries, in name order
// (letter case ignored), into *out (replaced); createdBounds (ascending
// creation times, seconds since the epoch) divide each channel's entries
// by age. Time and memory grow with the channels and with the entries whose
// writer has not brought the body yet (their files are looked at), not
// with the queue's depth; the counts by age are index range counts. Returns
// false, *out emptied, when the store fails.
MQAPI_EXPORT bool ReadTotals(std::vector<ChannelTotals>* out,
                             const std::vector<int64_t>& createdBounds = {});

// The changes below log a trail line naming the process's real user (its
// name from the password database, else "uid N") as the operator; hold,
// release and requeue record it as the entry's reason too.

// Removes entry id with its files, whatever its state but writing (a
// writing entry belongs to its live writer: WrongState). A reader holding
// it then fails to remove it (RemoveMQChannel gives false).
MQAPI_EXPORT AdminResult RemoveEntry(unsigned long id);

// Queued -> held (held: Done). Any other state: WrongState. A reader that
// holds a lease on it keeps it and may still remove it.
MQAPI_EXPORT AdminResult HoldEntry(unsigned long id);

// Held -> queued (queued: Done). Any other state: WrongState.
MQAPI_EXPORT AdminResult ReleaseEntry(unsigned long id);

// Failed -> queued with its attempts counted from 0 again (queued: Done,
// left as it is). Any other state: WrongState.
MQAPI_EXPORT AdminResult RequeueEntry(unsigned long id);

// Queued -> failed (failed: Done), set aside by a delivering reader whose
// hand-off was refused for good; why (null: "") is recorded as the
// reason's "by" text, and the entry keeps both when its reader gives it
// back. A lease on it stays its reader's. Any other state: WrongState.
MQAPI_EXPORT AdminResult FailEntry(unsigned long id, const char* why);

// The retry schedule (daduv.ini's [Config] MinimalBackoff, MaximalBackoff
// and QueueLifetime), in seconds, as MQInit read it. An entry comes back to
// the queue without being removed in three ways:
// - deferred (a reader that will try later: a read handle closed without
//   removing it, GiveBackEntry(Deferred)): offered again after its n-th
//   deferral no sooner than min(maximalBackoff, minimalBackoff * 2^(n-1)),
//   and up to a tenth later (a random spread); never counts an attempt;
// - its reader died holding it: offered again at once the first time, then
//   after the backoff of its deaths; each counts an attempt, and after
//   MaxAttempts it is set aside as failed;
// - given back untried (GiveBackEntry(Untried)): at once, counting nothing.
// Readers are offered only entries that are due. An entry still queued
// queueLifetime after its put is set aside as failed, reason Expired,
// when a reader would be offered it or gives it back (0: never).
struct Schedule {
    int64_t minimalBackoff = 0;
    int64_t maximalBackoff = 0;
    int64_t queueLifetime = 0;
};
MQAPI_EXPORT Schedule RetrySchedule();

// The store's clock, milliseconds since the epoch: the system's, moved on
// by MQ_TEST_CLOCK_OFFSET (seconds) in the environment, which only tests set.
MQAPI_EXPORT int64_t ClockMs();

// A duration setting: a whole number of seconds, or one with a unit s, m,
// h or d ("90", "5m", "1h", "5d"), up to 3650 days, into *seconds. False
// for anything else (empty, negative, a fraction, an unknown unit).
MQAPI_EXPORT bool ParseDuration(const char* text, int64_t* seconds);

enum class GiveBackKind { Deferred, Untried };

// Gives back entry id, which a read handle of this process was handed, as
// kind says; why (null: none) is recorded as the deferral's reason text.
// *after (may be null) is the entry as it stands after: queued with its
// next due time, or failed, reason Expired, when its lifetime is over.
// NotFound when no read handle of this process holds it.
MQAPI_EXPORT AdminResult GiveBackEntry(unsigned long id, GiveBackKind kind, const char* why,
                                       EntryInfo* after);

// Makes a deferred entry due now (already due, or held or failed: Done,
// nothing changed; no entry: NotFound).
MQAPI_EXPORT AdminResult FlushEntry(unsigned long id);

// Makes every deferred entry of channel (null or "": of every channel) due
// now; *count is how many. False when the store fails.
MQAPI_EXPORT bool FlushChannel(const char* channel, uint64_t* count);

// When the first deferred entry of channel comes due (milliseconds since
// the epoch; 0 when none is deferred), into *due. False when the store fails.
MQAPI_EXPORT bool NextDue(const char* channel, int64_t* due);

// The identifier of the entry a file path names ("<spool>/msg/<xx>/<id>.<ext>",
// any extension GetMQPathName accepts); 0 when path is no entry file path
// of this store. Says nothing about whether the entry exists.
MQAPI_EXPORT unsigned long EntryIdFromPath(const char* path);

// Checks the database (PRAGMA integrity_check) and compares the message
// files with the entries. Returns false when the check itself could not be
// made (store not initialised, database unreadable); the verdict is
// report->Healthy(). Reads only: nothing is written, so a check stopped
// half way (Ctrl-C) leaves everything as it was.
MQAPI_EXPORT bool CheckStore(HealthReport* report);

// How a check goes.
struct CheckOptions {
    // Every check but those whose time grows with the queue: no integrity
    // scan (the database's header, schema and size only), no walk of the
    // entries or of the message files. Costs the same at any depth.
    bool quick = false;
    // Called now and then during the long parts, with what is being done
    // ("database", "entries", "files"), how far it is and how far it goes
    // (total 0: not known; for "database" done counts seconds). Runs under
    // the store's lock: it must not call the store.
    std::function<void(const char* part, uint64_t done, uint64_t total)> progress;
};
MQAPI_EXPORT bool CheckStore(HealthReport* report, const CheckOptions& options);

// The database's and the log's sizes and the database's free part: a few
// reads, no check. False when the store is not initialised or the database
// can't be read.
MQAPI_EXPORT bool StoreSpace(SpaceReport* report);

// The spool directory ("<InstallDirectory>/spool", absolute) and the number
// of attempts after which an entry fails, as MQInit read them; "" and 0
// before MQInit.
MQAPI_EXPORT std::string SpoolDirectory();
MQAPI_EXPORT uint32_t MaxAttempts();

// With on, every later MQInit of this process opens the store for reading
// only, as a member of the queue's group who may not write to the spool
// can: the spool and its database must exist already (nothing is created,
// not even the spool's directories), no process slot is taken, no clean-up
// runs, and every call that would write fails (logged). Off again, the
// next MQInit opens the store for writing. Made for the tool's read-only
// commands; applications never need it.
MQAPI_EXPORT void SetReadOnly(bool on);

}  // namespace mqadmin

#endif
