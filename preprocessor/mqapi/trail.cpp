// trail.cpp - formatting and logging the entries' trail lines.
#include "trail.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "log.h"
#include "utf8.h"

namespace mqstore {

namespace {

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
        size_t n = mqshared::Utf8Length(text, i);
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
