// trail.h - the entries' log trail: one line per event in an entry's life,
// keyed by its identifier, so that grep "entry 17:" tells its whole story.
//
// A line reads "entry ID: EVENT key=value key=value ...". EVENT is one word
// (created, handed-out, given-back, removed, held, released, requeued,
// failed, reclaimed); values are written by TrailValue, so a value never
// holds a space or a control character and every line splits on spaces.
// docs/store-design.md lists each event's keys.
//
// Cost: one LogMessage call per event, from what the caller already has in
// hand; nothing here reads the database or the disk.
//
// Thread safety: any thread; nothing is shared. Ownership: plain values.
#ifndef MQ_TRAIL_H
#define MQ_TRAIL_H

#include <cstdint>
#include <initializer_list>
#include <string>
#include <utility>

namespace mqstore {

// One key and its value, as the value is to be written (TrailValue applied).
using TrailField = std::pair<const char*, std::string>;

// TrailValue - text as a value: bytes up to the space, DEL, '\' and '=',
// the bytes of C1 controls (U+0080 to U+009F) and bytes that are no part of
// well-formed UTF-8 are written \xHH; everything else (the rest of UTF-8) as
// it is. "" stays "".
std::string TrailValue(const std::string& text);

// TrailAddress - an address as "<address>", escaped as TrailValue does;
// the null sender is "<>".
std::string TrailAddress(const std::string& address);

// Trail - logs "entry ID: EVENT" and the fields at level, tagged tag.
// Never fails towards its caller (the logger drops what it can't write).
void Trail(int level, const std::string& tag, int64_t id, const char* event,
           std::initializer_list<TrailField> fields);

}  // namespace mqstore

#endif
