// json_reader.h - just enough of a JSON reader to check mqctl's JSON Lines:
// one object per line, members of strings, numbers, booleans, null, arrays of
// those and nested objects. A line that is not valid JSON does not parse, so
// the tests also see output that a script's JSON parser would reject.
//
// Thread safety: none needed. Ownership: plain values.
#ifndef MQTEST_JSON_READER_H
#define MQTEST_JSON_READER_H

#include <cstdint>
#include <cstdlib>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace mqtest {

struct Json {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool b = false;
    double number = 0;
    std::string str;
    std::vector<Json> items;
    std::map<std::string, Json> members;

    bool Has(const std::string& key) const { return members.count(key) != 0; }
    // The member, or a null value when there is none.
    const Json& operator[](const std::string& key) const {
        static const Json none;
        auto it = members.find(key);
        return it == members.end() ? none : it->second;
    }
    int64_t Int() const { return static_cast<int64_t>(number); }
};

class JsonParser {
public:
    // Parses text as one JSON value and nothing after it but white space.
    // Returns false for anything else.
    static bool Parse(const std::string& text, Json* out) {
        JsonParser p(text);
        if (!p.Value(out)) return false;
        p.Space();
        return p.pos_ == text.size();
    }

private:
    explicit JsonParser(const std::string& text) : s_(text) {}

    void Space() {
        while (pos_ < s_.size() && (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' ||
                                    s_[pos_] == '\r')) {
            ++pos_;
        }
    }
    bool Literal(const char* word) {
        std::string w(word);
        if (s_.compare(pos_, w.size(), w) != 0) return false;
        pos_ += w.size();
        return true;
    }
    static void Utf8(uint32_t cp, std::string* out) {
        if (cp < 0x80) {
            *out += static_cast<char>(cp);
        } else if (cp < 0x800) {
            *out += static_cast<char>(0xc0 | (cp >> 6));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        } else {
            *out += static_cast<char>(0xe0 | (cp >> 12));
            *out += static_cast<char>(0x80 | ((cp >> 6) & 0x3f));
            *out += static_cast<char>(0x80 | (cp & 0x3f));
        }
    }
    bool StringBody(std::string* out) {
        if (pos_ >= s_.size() || s_[pos_] != '"') return false;
        ++pos_;
        while (pos_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[pos_++]);
            if (c == '"') return true;
            if (c < 0x20) return false;  // control characters must be escaped
            if (c != '\\') {
                *out += static_cast<char>(c);
                continue;
            }
            if (pos_ >= s_.size()) return false;
            char e = s_[pos_++];
            switch (e) {
            case '"': *out += '"'; break;
            case '\\': *out += '\\'; break;
            case '/': *out += '/'; break;
            case 'b': *out += '\b'; break;
            case 'f': *out += '\f'; break;
            case 'n': *out += '\n'; break;
            case 'r': *out += '\r'; break;
            case 't': *out += '\t'; break;
            case 'u': {
                if (pos_ + 4 > s_.size()) return false;
                std::string hex = s_.substr(pos_, 4);
                char* end = nullptr;
                uint32_t cp = static_cast<uint32_t>(std::strtoul(hex.c_str(), &end, 16));
                if (end != hex.c_str() + 4) return false;
                pos_ += 4;
                Utf8(cp, out);
                break;
            }
            default: return false;
            }
        }
        return false;
    }
    bool Value(Json* v) {
        Space();
        if (pos_ >= s_.size()) return false;
        char c = s_[pos_];
        if (c == '{') {
            v->kind = Json::Object;
            ++pos_;
            Space();
            if (pos_ < s_.size() && s_[pos_] == '}') return ++pos_, true;
            for (;;) {
                Space();
                std::string key;
                if (!StringBody(&key)) return false;
                Space();
                if (pos_ >= s_.size() || s_[pos_++] != ':') return false;
                if (!Value(&v->members[key])) return false;
                Space();
                if (pos_ >= s_.size()) return false;
                if (s_[pos_] == ',') { ++pos_; continue; }
                if (s_[pos_] == '}') return ++pos_, true;
                return false;
            }
        }
        if (c == '[') {
            v->kind = Json::Array;
            ++pos_;
            Space();
            if (pos_ < s_.size() && s_[pos_] == ']') return ++pos_, true;
            for (;;) {
                v->items.emplace_back();
                if (!Value(&v->items.back())) return false;
                Space();
                if (pos_ >= s_.size()) return false;
                if (s_[pos_] == ',') { ++pos_; continue; }
                if (s_[pos_] == ']') return ++pos_, true;
                return false;
            }
        }
        if (c == '"') {
            v->kind = Json::String;
            return StringBody(&v->str);
        }
        if (Literal("true")) { v->kind = Json::Bool; v->b = true; return true; }
        if (Literal("false")) { v->kind = Json::Bool; return true; }
        if (Literal("null")) return true;
        const char* start = s_.c_str() + pos_;
        char* end = nullptr;
        v->number = std::strtod(start, &end);
        if (end == start) return false;
        v->kind = Json::Number;
        pos_ += static_cast<size_t>(end - start);
        return true;
    }

    const std::string& s_;
    size_t pos_ = 0;
};

// ParseLines - every line of text as one JSON object. Returns false (with
// *bad the offending line) when a line is not one.
inline bool ParseLines(const std::string& text, std::vector<Json>* out, std::string* bad) {
    out->clear();
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        std::string line = text.substr(start, nl == std::string::npos ? std::string::npos
                                                                      : nl - start);
        start = nl == std::string::npos ? text.size() : nl + 1;
        Json v;
        if (!JsonParser::Parse(line, &v) || v.kind != Json::Object) {
            *bad = line;
            return false;
        }
        out->push_back(std::move(v));
    }
    return true;
}

}  // namespace mqtest

#endif
