// chanline.h - the lines of the channel file "queue.cfg": one parser for the
// queue store (which loads its channel list from the file) and the toolkit's
// channel registry (which keeps the file).
//
// A record is a line of fields separated by runs of spaces and tabs:
// channel, application, direction ("in" or "out"), and an optional flag
// letter (C or c). Carriage return and line feed are not separators: they
// belong to the field they stand in, as the registry's own reader has always
// taken them.
//
// These functions are linked into each library and program that uses them
// (the static library mqcommon_parts), never exported: they take and return
// C++ types and may throw std::bad_alloc, which each library turns into its
// own failure result at its boundary.
//
// Thread safety: every function is reentrant.
#ifndef MQ_CHANLINE_H
#define MQ_CHANLINE_H

#include <cstdio>
#include <string>
#include <vector>


namespace mqcommon {

// Longest channel name the queue store can hold (its record has 20 bytes).
constexpr size_t kMaxChannelName = 19;
// Longest application name the queue store can hold (255 bytes).
constexpr size_t kMaxAppName = 254;

// True when every byte of line is white space (isspace, current locale),
// and for the empty text or null.
bool IsBlankLine(const char* line);

// The first maxFields fields of line, split at runs of spaces and tabs only;
// leading separators are passed over. A null line has no fields.
std::vector<std::string> SplitChannelFields(const char* line, size_t maxFields);

// One record as the queue store uses it: fields with the line end removed.
struct ChannelRecord {
    std::string channel;
    std::string application;
    std::string direction;  // as written, letter case kept
    char flag = 0;          // 'C', 'c' or 0
};

// Parses a record line. Returns false (and leaves *out alone) for a null
// argument, a blank line or a line without a channel and an application; the
// line end (CR, LF) is stripped first.
bool ParseChannelRecord(const char* line, ChannelRecord* out);

// Reads one line of any length, its line end ("\n", with a "\r" before it if
// any) included, into *line. Returns false at the end of the file (or on a
// read error) when nothing was read.
bool ReadLine(FILE* file, std::string* line);

// True for a name the store and the registry accept as a channel or an
// application name: 1 to maxLength bytes, none of them a space, a control
// character (a tab or line end among them) or '/', and neither "." nor "..".
bool IsUsableName(const char* name, size_t maxLength);

// Why the channel registry refuses to add a record, judged from the request
// alone: a name IsUsableName refuses or that holds ',' (the directory lists
// application names comma-separated, so "a,b" would list two), a direction
// other than "in" or "out" (any letter case), a flag other than 0, 'C' or
// 'c'. Returns null when the request is well-formed, else a static text
// ("bad application name: ...") saying which cause and what is allowed.
const char* RegistrationProblem(const char* channel, const char* application,
                                const char* direction, char flag);

}  // namespace mqcommon

#endif
