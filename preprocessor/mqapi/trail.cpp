// trail.cpp - formatting and logging the entries' trail lines.
#include "trail.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "log.h"

namespace mqstore {

namespace {

// The length of the well-formed UTF-8 character of two to four bytes that
// starts at text[i], or 0 when none does (a stray byte, an overlong form, a
// surrogate, a code point past U+10FFFF, a character cut short).
size_t Utf8Length(const std::string& text, size_t i) {
    auto byte = [&text](size_t k) { return static_cast<unsigned char>(text[k]); };
    unsigned char c = byte(i);
    size_t n;
    uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > text.size()) return 0;
    for (size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
        cp = (cp << 6) | (byte(i + k) & 0x3f);
    }
    if ((n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) || cp > 0x10ffff ||
        (cp >= 0xd800 && cp <= 0xdfff)) {
        return 0;
    }
    return n;
}

void AppendHex(std::string* out, unsigned char c) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "\\x%02x", c);
    *out += hex;
}

}  // namespace

std::string TrailValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c <= 0x20 || c == 0x7f || c == '\\' || c == '=') {
                AppendHex(&out, c);
            } else {
                out += static_cast<char>(c);
            }
            ++i;
            continue;
        }
        // U+0080 to U+009F are control characters too (C1: NEL among them),
        // and a byte that starts no character would make the log no UTF-8:
        // both byte by byte as \xHH, as mqctl shows them.
        size_t n = Utf8Length(text, i);
        bool c1 = n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (n == 0 || c1) {
            AppendHex(&out, c);
            ++i;
        } else {
            out.append(text, i, n);
            i += n;
        }
    }
    return out;
}

std::string TrailAddress(const std::string& address) {
    if (address == "<>") return address;
    return "<" + TrailValue(address) + ">";
}

void Trail(int level, const std::string& tag, int64_t id, const char* event,
           std::initializer_list<TrailField> fields) {
    std::string line = "entry " + std::to_string(id) + ": " + event;
    for (const TrailField& f : fields) {
        line += ' ';
        line += f.first;
        line += '=';
        line += f.second;
    }
    LogMessage(level, tag.c_str(), line.c_str());
}

}  // namespace mqstore
