// addrchars.h - the one rule every layer applies to envelope addresses
// beyond the address check: no control characters.
//
// The address check (setLan_addr) looks at a few places of an address only.
// A line end or another control character past them would reach a delivery
// agent that copies the address into a protocol line (and could make it send
// commands of the sender's choosing), a log line or a terminal; so the
// store, the toolkit's put and mqctl refuse such an address before anything
// is written.
//
// Linked into each library and program that uses it (mqcommon_parts),
// never exported. Thread safety: reentrant.
#ifndef MQ_ADDRCHARS_H
#define MQ_ADDRCHARS_H

namespace mqcommon {

// FirstControlCharacter - the first control character of text (a byte below
// 0x20, NUL aside as the end, or DEL 0x7F), or -1 when it holds none or is
// null. A NUL can't stand inside a C string: an address that was cut by one
// arrives here already cut.
int FirstControlCharacter(const char* text);

}  // namespace mqcommon

#endif
