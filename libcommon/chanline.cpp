// chanline.cpp - the one reader of channel-file lines.
//
// The field rule is the registry's own, kept byte for byte: only the space
// and the tab separate, so a field that runs to the end of a line keeps its
// CR LF. ParseChannelRecord is the view the queue store needs: the same
// fields, the line end taken off first.
#include "chanline.h"

#include <cctype>
#include <cstring>
#include <strings.h>

namespace mqcommon {

namespace {

bool IsSeparator(char c) { return c == ' ' || c == '\t'; }

}  // namespace

// IsBlankLine - true when line holds nothing but white space.
bool IsBlankLine(const char* line) {
    if (line == nullptr) return true;
    for (const char* p = line; *p != '\0'; ++p) {
        if (std::isspace(static_cast<unsigned char>(*p)) == 0) return false;
    }
    return true;
}

// SplitChannelFields - the leading fields of a line; fewer when the line
// holds fewer, none for a null line.
std::vector<std::string> SplitChannelFields(const char* line, size_t maxFields) {
    std::vector<std::string> fields;
    if (line == nullptr) return fields;
    const char* p = line;
    while (fields.size() < maxFields) {
        while (IsSeparator(*p)) ++p;
        if (*p == '\0') break;
        const char* start = p;
        while (*p != '\0' && !IsSeparator(*p)) ++p;
        fields.emplace_back(start, static_cast<size_t>(p - start));
    }
    return fields;
}

// ParseChannelRecord - one record of the channel file. Returns false, and
// leaves *out alone, for a null argument, a blank line or a line of fewer
// than two fields.
bool ParseChannelRecord(const char* line, ChannelRecord* out) {
    if (line == nullptr || out == nullptr || IsBlankLine(line)) return false;
    size_t length = std::strlen(line);
    while (length > 0 && (line[length - 1] == '\n' || line[length - 1] == '\r')) --length;
    std::string body(line, length);

    std::vector<std::string> fields = SplitChannelFields(body.c_str(), 4);
    if (fields.size() < 2) return false;
    out->channel = fields[0];
    out->application = fields[1];
    out->direction = fields.size() > 2 ? fields[2] : std::string();
    out->flag = fields.size() > 3 && (fields[3] == "C" || fields[3] == "c") ? fields[3][0] : 0;
    return true;
}

// ReadLine - one line of any length. A read error after some bytes of a
// line hands out those bytes; the next call then reports the error as the end.
bool ReadLine(FILE* file, std::string* line) {
    if (file == nullptr || line == nullptr) return false;
    line->clear();
    // Unlocked however the loop ends: push_back may throw.
    struct StreamLock {
        explicit StreamLock(FILE* f) : f_(f) { flockfile(f_); }
        ~StreamLock() { funlockfile(f_); }
        FILE* f_;
    } hold(file);
    int c;
    while ((c = getc_unlocked(file)) != EOF) {
        line->push_back(static_cast<char>(c));
        if (c == '\n') break;
    }
    return !line->empty();
}

// IsUsableName - the one check of channel and application names, made before
// either is written to the channel file or built into a path.
bool IsUsableName(const char* name, size_t maxLength) {
    if (name == nullptr) return false;
    size_t length = strnlen(name, maxLength + 1);
    if (length == 0 || length > maxLength) return false;
    // "." and ".." name directories of their own once used as a path part.
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) return false;
    for (size_t i = 0; i < length; ++i) {
        unsigned char c = static_cast<unsigned char>(name[i]);
        if (c <= 0x20 || c == 0x7F || c == '/') return false;
    }
    return true;
}

// RegistrationProblem - the request's first fault, in argument order.
const char* RegistrationProblem(const char* channel, const char* application,
                                const char* direction, char flag) {
    auto commaFree = [](const char* name) { return std::strchr(name, ',') == nullptr; };
    if (!IsUsableName(channel, kMaxChannelName) || !commaFree(channel)) {
        return "bad channel name: 1 to 19 characters, none of them a space, a control "
               "character, '/' or ','";
    }
    if (!IsUsableName(application, kMaxAppName) || !commaFree(application)) {
        return "bad application name: 1 to 254 characters, none of them a space, a control "
               "character, '/' or ','";
    }
    if (direction == nullptr ||
        (strcasecmp(direction, "in") != 0 && strcasecmp(direction, "out") != 0)) {
        return "bad direction: in or out";
    }
    if (flag != 0 && flag != 'C' && flag != 'c') return "bad flag: C, c or none";
    return nullptr;
}

}  // namespace mqcommon
