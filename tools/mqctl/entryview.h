// entryview.h - how mqctl shows why an entry is where it is: its last
// hand-out and the last reason it came back or was moved, in list's column,
// in show's lines and in both commands' JSON.
//
// Thread safety: single-threaded. Ownership: plain values.
#ifndef MQCTL_ENTRYVIEW_H
#define MQCTL_ENTRYVIEW_H

#include <cstdint>
#include <string>

#include <mqadmin.h>

#include "output.h"

namespace mqctl {

// LastCell - list's LAST column: "-" when the entry never came back nor
// was moved, else "REASON,AGE" ("returned,3m"), with ",USER" after an
// operator's change ("held,2h,root"); escaped as Printable does, so the
// cell never holds a space.
std::string LastCell(const mqadmin::EntryInfo& e, int64_t now);

// AddLastJson - adds "handed" (0: never), "reason" ("" for none),
// "reason_time" (0 for none), "reason_by", "reason_text" (the reader's or
// the set-aside's words), "deferrals" and "next_attempt" (seconds since the
// epoch; 0: due now) to o.
void AddLastJson(JsonObject* o, const mqadmin::EntryInfo& e);

// LastLines - show's lines: "handed out TIME (AGE ago)" or "handed out
// never", "last REASON by WHO at TIME (AGE ago)" when there is one, then
// "reason TEXT" when its words were kept, and "next attempt TIME
// (deferred, next in AGE)" for a deferred entry.
std::string LastLines(const mqadmin::EntryInfo& e, int64_t now);

// Deferred - whether e is queued and put off to a time after nowMs (the
// store's clock, mqadmin::ClockMs).
bool Deferred(const mqadmin::EntryInfo& e, int64_t nowMs);

// NextAttempt - "deferred, next in 4m" for a deferred entry, else "".
std::string NextAttempt(const mqadmin::EntryInfo& e, int64_t nowMs);

// AgeSince - the seconds from then to now (negative for a time in the
// future), INT64_MAX or INT64_MIN where the difference would not fit: a
// damaged or forged row may hold any value, and no subtraction overflows.
int64_t AgeSince(int64_t now, int64_t then);

// TimeBefore - now - seconds, INT64_MIN where that would not fit.
int64_t TimeBefore(int64_t now, int64_t seconds);

// IsoTime - t as "2026-12-08T01:23:45Z"; "" when it can't be shown.
std::string IsoTime(int64_t t);

}  // namespace mqctl

#endif
