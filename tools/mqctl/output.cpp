// output.cpp - JSON Lines and text tables of mqctl.
#include "output.h"

#include <locale.h>
#include <wchar.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>

#include "utf8.h"

namespace mqctl {

std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        const char* named = c == '\n' ? "\\n" : c == '\r' ? "\\r" : c == '\t' ? "\\t"
                          : c == '\\' ? "\\\\" : nullptr;
        if (named != nullptr) {
            out += named;
            ++i;
            continue;
        }
        if (c > 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t n = c >= 0x80 ? mqshared::Utf8Length(text, i) : 0;
        // U+0080 to U+009F are control characters as well (C1): some
        // terminals act on them.
        bool c1 = n == 2 && c == 0xc2 && static_cast<unsigned char>(text[i + 1]) < 0xa0;
        if (n > 0 && !c1) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\x%02x", c);
        out += buf;
        ++i;
    }
    return out;
}

namespace {

// The columns the character at text[i] takes, and its length in bytes in
// *length: wcwidth's answer in the C.UTF-8 locale, whatever the process's
// own locale, for a well-formed character; a byte that starts none, or a
// character wcwidth knows no width of, counts one column.
size_t CharColumns(const std::string& text, size_t i, size_t* length) {
    static locale_t utf8 = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(0));
    unsigned char c = static_cast<unsigned char>(text[i]);
    size_t n = c >= 0x80 ? mqshared::Utf8Length(text, i) : 1;
    *length = n > 0 ? n : 1;
    if (n == 0 || utf8 == static_cast<locale_t>(0)) return 1;
    uint32_t cp = n == 1 ? c : c & (0x7f >> n);
    for (size_t k = 1; k < n; ++k) cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3f);
    locale_t previous = uselocale(utf8);
    int w = wcwidth(static_cast<wchar_t>(cp));
    uselocale(previous);
    return w >= 0 ? static_cast<size_t>(w) : 1;
}

}  // namespace

size_t DisplayWidth(const std::string& text) {
    size_t width = 0;
    for (size_t i = 0, n = 0; i < text.size(); i += n) width += CharColumns(text, i, &n);
    return width;
}

std::string FitWidth(const std::string& text, size_t width) {
    if (DisplayWidth(text) <= width) return text;
    if (width < 3) return std::string(width, '.');
    size_t shown = 0, end = 0;
    for (size_t n = 0; end < text.size(); end += n) {
        size_t w = CharColumns(text, end, &n);
        if (shown + w > width - 3) break;
        shown += w;
    }
    return text.substr(0, end) + "...";
}

std::string JsonString(const std::string& text) {
    std::string out = "\"";
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        switch (c) {
        case '"': out += "\\\""; ++i; continue;
        case '\\': out += "\\\\"; ++i; continue;
        case '\n': out += "\\n"; ++i; continue;
        case '\r': out += "\\r"; ++i; continue;
        case '\t': out += "\\t"; ++i; continue;
        default: break;
        }
        if (c >= 0x20 && c < 0x7f) {
            out += static_cast<char>(c);
            ++i;
            continue;
        }
        size_t n = c >= 0x80 ? mqshared::Utf8Length(text, i) : 0;
        if (n > 0) {
            out.append(text, i, n);
            i += n;
            continue;
        }
        char buf[8];
        std::snprintf(buf, sizeof buf, "\\u%04x", c);
        out += buf;
        ++i;
    }
    out += '"';
    return out;
}

bool IsUtf8(const std::string& text) {
    for (size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;
            continue;
        }
        size_t n = mqshared::Utf8Length(text, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::string Base64(const std::string& bytes) {
    static const char kDigits[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    size_t i = 0;
    for (; i + 2 < bytes.size(); i += 3) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16 |
                     static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8 |
                     static_cast<unsigned char>(bytes[i + 2]);
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += kDigits[(v >> 6) & 63];
        out += kDigits[v & 63];
    }
    size_t left = bytes.size() - i;
    if (left > 0) {
        uint32_t v = static_cast<uint32_t>(static_cast<unsigned char>(bytes[i])) << 16;
        if (left == 2) v |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[i + 1])) << 8;
        out += kDigits[v >> 18];
        out += kDigits[(v >> 12) & 63];
        out += left == 2 ? kDigits[(v >> 6) & 63] : '=';
        out += '=';
    }
    return out;
}

void JsonObject::Key(const std::string& key) {
    if (!body_.empty()) body_ += ',';
    body_ += JsonString(key);
    body_ += ':';
}

JsonObject& JsonObject::Str(const std::string& key, const std::string& value) {
    Key(key);
    body_ += JsonString(value);
    if (!IsUtf8(value)) {
        Key(key + "_base64");
        body_ += JsonString(Base64(value));
    }
    return *this;
}

JsonObject& JsonObject::Int(const std::string& key, int64_t value) {
    Key(key);
    body_ += std::to_string(value);
    return *this;
}

JsonObject& JsonObject::Bool(const std::string& key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

JsonObject& JsonObject::StrList(const std::string& key, const std::vector<std::string>& values) {
    Key(key);
    body_ += '[';
    for (size_t i = 0; i < values.size(); ++i) {
        if (i > 0) body_ += ',';
        body_ += JsonString(values[i]);
    }
    body_ += ']';
    bool exact = true;
    for (const std::string& v : values) exact = exact && IsUtf8(v);
    if (!exact) {
        std::vector<std::string> encoded;
        for (const std::string& v : values) encoded.push_back(Base64(v));
        StrList(key + "_base64", encoded);
    }
    return *this;
}

JsonObject& JsonObject::Raw(const std::string& key, const std::string& value) {
    Key(key);
    body_ += value;
    return *this;
}

void JsonObject::Print() const { std::printf("%s\n", Text().c_str()); }

std::vector<size_t> TextTable::Widths() const {
    std::vector<size_t> width;
    for (const auto& row : rows_) {
        if (width.size() < row.size()) width.resize(row.size(), 0);
        for (size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], DisplayWidth(row[c]));
        }
    }
    return width;
}

void TextTable::PrintRows(size_t first, std::vector<size_t>* floor) const {
    std::vector<size_t> width = Widths();
    if (floor != nullptr) {
        if (floor->size() < width.size()) floor->resize(width.size(), 0);
        for (size_t c = 0; c < width.size(); ++c) width[c] = std::max(width[c], (*floor)[c]);
        *floor = width;
    }
    for (size_t r = first; r < rows_.size(); ++r) {
        const auto& row = rows_[r];
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) line.append(width[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        // Empty cells at the end must not leave trailing blanks.
        line.erase(line.find_last_not_of(' ') + 1);
        std::printf("%s\n", line.c_str());
    }
}

std::string FormatAge(int64_t seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 120) return std::to_string(seconds) + "s";
    if (seconds < 2 * 3600) return std::to_string(seconds / 60) + "m";
    if (seconds < 2 * 86400) return std::to_string(seconds / 3600) + "h";
    return std::to_string(seconds / 86400) + "d";
}

std::string Join(const std::vector<std::string>& parts, const std::string& sep) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i > 0) out += sep;
        out += parts[i];
    }
    return out;
}

}  // namespace mqctl
