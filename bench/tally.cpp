// tally.cpp - /proc/PID/io and strace summaries read into numbers.
#include "tally.h"

#include <cctype>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

namespace mqbench {
namespace {

// True when s is a non-empty run of decimal digits, possibly with one dot
// (the table's percentages and seconds).
bool Numeric(const std::string& s) {
    if (s.empty()) return false;
    int dots = 0;
    for (char c : s) {
        if (c == '.') {
            ++dots;
        } else if (!std::isdigit(static_cast<unsigned char>(c))) {
            return false;
        }
    }
    return dots <= 1 && s != ".";
}

bool Digits(const std::string& s) {
    return Numeric(s) && s.find('.') == std::string::npos;
}

}  // namespace

bool ParseProcIo(const std::string& text, IoBytes* out) {
    IoBytes got;
    bool written = false, cancelled = false;
    std::istringstream in(text);
    std::string key, value;
    while (in >> key >> value) {
        if (!Digits(value)) continue;
        uint64_t n = std::strtoull(value.c_str(), nullptr, 10);
        if (key == "write_bytes:") {
            got.written = n;
            written = true;
        } else if (key == "cancelled_write_bytes:") {
            got.cancelled = n;
            cancelled = true;
        }
    }
    if (!written || !cancelled) return false;
    *out = got;
    return true;
}

bool ReadSelfIo(IoBytes* out) {
    std::ifstream in("/proc/self/io");
    if (!in) return false;
    std::ostringstream text;
    text << in.rdbuf();
    return ParseProcIo(text.str(), out);
}

// The table is right-aligned under its header: a row's calls are the
// number that ends where the header's "calls" ends (a row may leave
// usecs/call or errors blank, so counting the words would misread it).
std::map<std::string, uint64_t> ParseStraceSummary(const std::string& text) {
    std::map<std::string, uint64_t> calls;
    std::istringstream lines(text);
    std::string line;
    size_t callsEnd = std::string::npos;
    while (std::getline(lines, line)) {
        size_t header = line.find("calls");
        if (header != std::string::npos && line.find("syscall") != std::string::npos) {
            callsEnd = header + 5;
            continue;
        }
        if (callsEnd == std::string::npos) continue;
        // Words with where each ends.
        std::vector<std::pair<std::string, size_t>> words;
        for (size_t i = 0; i < line.size();) {
            if (std::isspace(static_cast<unsigned char>(line[i]))) {
                ++i;
                continue;
            }
            size_t j = i;
            while (j < line.size() && !std::isspace(static_cast<unsigned char>(line[j]))) ++j;
            words.emplace_back(line.substr(i, j - i), j);
            i = j;
        }
        if (words.size() < 3 || !Numeric(words[0].first) || Numeric(words.back().first)) continue;
        for (const auto& w : words) {
            if (w.second == callsEnd && Digits(w.first)) {
                calls[words.back().first] = std::strtoull(w.first.c_str(), nullptr, 10);
                break;
            }
        }
    }
    return calls;
}

}  // namespace mqbench
