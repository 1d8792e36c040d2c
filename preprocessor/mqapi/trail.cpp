// trail.cpp - formatting and logging the entries' trail lines.
#include "trail.h"

#include <cstdio>

#include "log.h"

namespace mqstore {

std::string TrailValue(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (c <= 0x20 || c == 0x7f || c == '\\' || c == '=') {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
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
