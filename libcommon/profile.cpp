// profile.cpp - GetPrivateProfileString on inih.
//
// inih does the parsing; this file only feeds it lines through a reader of
// its own, because inih's fixed 200-byte line buffer and a few of its habits
// would otherwise misread a configuration file:
//  - a longer line is cut into pieces, each taken as a line of its own, so a
//    value could come back shortened and its tail be read as another setting;
//  - an indented line is taken as the continuation of the setting above it,
//    so "  Port = 389" under "HostName = x" would never be the key "Port";
//  - a section name is cut to 49 characters, so a longer name could pass for
//    a shorter one;
//  - a section line inih can't take leaves the keys under it in the section
//    before.
// The reader passes inih whole lines only: an over-long line that would be a
// setting becomes an empty line, a section line that can't be read exactly
// becomes the name of a section nobody can ask for, and indentation is
// removed first.
#include "profile.h"

#include <ini.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "chanline.h"
#include "profilepath.h"

namespace {

// The longest line, its line end not counted, inih takes whole: its buffer of
// 200 bytes must hold the line, CR, LF and NUL.
const size_t kMaxLineLength = 197;
// inih keeps 49 characters of a section name; one of exactly 49 may already
// have been cut, so only shorter names are taken.
const size_t kMaxSectionLength = 48;
// Stands in for a section line that can't be read exactly: longer than any
// name taken, so no key under it is ever found.
const std::string kUnreadableSection = "[" + std::string(kMaxSectionLength + 8, '~') + "]";

struct FileCloser {
    void operator()(FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// One lookup: what is asked for, what has been found, and the open file.
struct Lookup {
    Lookup(const char* s, const char* k, FILE* f) : section(s), key(k), file(f) {}
    const char* section;
    const char* key;
    FILE* file;
    bool firstLine = true;
    bool found = false;
    std::string value;
    std::string line;  // the reader's line, kept to spare an allocation a line
};

bool IsSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

// True when inih would take line (indentation removed, starting with '[') as
// a section line: a ']' comes before any inline comment (a ';' after white
// space).
bool IsWellFormedSection(const std::string& line) {
    bool afterSpace = false;
    for (size_t i = 1; i < line.size(); ++i) {
        char c = line[i];
        if (c == ']') return true;
        if (c == ';' && afterSpace) return false;
        afterSpace = IsSpace(c);
    }
    return false;
}

// SectionMatches - compares a file's section name with the one asked for,
// the file's name trimmed of surrounding white space, letter case ignored.
bool SectionMatches(const char* fileSection, const char* wanted) {
    size_t length = std::strlen(fileSection);
    if (length > kMaxSectionLength) return false;
    const char* begin = fileSection;
    const char* end = fileSection + length;
    while (begin < end && IsSpace(*begin)) ++begin;
    while (end > begin && IsSpace(end[-1])) --end;
    size_t trimmed = static_cast<size_t>(end - begin);
    return trimmed == std::strlen(wanted) && strncasecmp(begin, wanted, trimmed) == 0;
}

// Handler - called by inih for each setting; keeps the first occurrence of the
// key asked for. Always returns 1 (go on): a line inih rejects is no failure
// of the lookup.
int Handler(void* user, const char* section, const char* name, const char* value) {
    auto* lookup = static_cast<Lookup*>(user);
    if (!lookup->found && std::strcmp(name, lookup->key) == 0 &&
        SectionMatches(section, lookup->section)) {
        lookup->found = true;
        lookup->value = value;
    }
    return 1;
}

// Reader - inih's fgets-style reader. Hands inih one whole line of the file
// at a time, prepared as the file comment says. Returns null at the end of
// the file, on a read error, and once the key has been found.
char* Reader(char* buffer, int size, void* stream) {
    auto* lookup = static_cast<Lookup*>(stream);
    std::string& line = lookup->line;
    if (lookup->found || size < 4 || !mqcommon::ReadLine(lookup->file, &line)) return nullptr;

    if (!line.empty() && line.back() == '\n') line.pop_back();
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (lookup->firstLine && line.compare(0, 3, "\xEF\xBB\xBF") == 0) line.erase(0, 3);
    lookup->firstLine = false;

    // A NUL would end the line early for inih: treated as an over-long line.
    size_t limit = std::min(kMaxLineLength, static_cast<size_t>(size) - 1);
    bool unreadable = line.size() > limit || line.find('\0') != std::string::npos;
    size_t indent = 0;
    while (indent < line.size() && IsSpace(line[indent])) ++indent;
    line.erase(0, indent);

    if (!line.empty() && line[0] == '[') {
        if (unreadable || !IsWellFormedSection(line)) line = kUnreadableSection;
    } else if (unreadable) {
        line.clear();
    }
    size_t length = std::min(line.size(), static_cast<size_t>(size) - 1);
    std::memcpy(buffer, line.data(), length);
    buffer[length] = '\0';
    return buffer;
}

}  // namespace

// GetPrivateProfileString - copy one setting of an INI file, or the default.
int GetPrivateProfileString(const char* szSection, const char* szKey, const char* szDefault,
                            char* szBuffer, int size, const char* szFileName) {
    if (szBuffer == nullptr || size <= 0) return 0;
    int savedErrno = errno;  // a missing file is an answer here, not an error
    const char* fallback = szDefault != nullptr ? szDefault : "";

    std::string value;
    bool found = false;
    try {
        if (szSection != nullptr && szKey != nullptr && *szKey != '\0' &&
            std::strlen(szSection) <= kMaxSectionLength) {
            std::string path = mqcommon::ResolveProfilePath(szFileName);
            FilePtr file(path.empty() ? nullptr : std::fopen(path.c_str(), "re"));
            if (file) {
                Lookup lookup(szSection, szKey, file.get());
                ini_parse_stream(Reader, &lookup, Handler, &lookup);
                found = lookup.found;
                if (found) value.swap(lookup.value);
            }
        }
    } catch (...) {
        // Out of memory: the default, as for a file that can't be read.
        found = false;
        savedErrno = ENOMEM;
    }

    const char* result = found ? value.c_str() : fallback;
    size_t length = std::min(found ? value.size() : std::strlen(fallback),
                             static_cast<size_t>(size) - 1);
    std::memcpy(szBuffer, result, length);
    szBuffer[length] = '\0';
    errno = savedErrno;
    return static_cast<int>(length);
}
