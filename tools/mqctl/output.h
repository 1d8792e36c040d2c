// output.h - what mqctl prints on standard output: aligned text tables for
// people and JSON Lines (one object a line) for scripts.
//
// JSON strings are escaped by RFC 8259: quote, backslash and every control
// character are escaped, well-formed UTF-8 passes as it is, and a byte that
// is not part of well-formed UTF-8 is written as \u00XX (the code point of
// the same number), so every line is valid JSON whatever the data holds.
// Such a byte can't be told from the character of that number, so a JSON
// object's member whose text is not well-formed UTF-8 is followed by one
// named KEY_base64 holding the exact bytes in base64 (RFC 4648); for a list,
// a list of every member in base64. A consumer takes KEY_base64 when it is
// there and KEY otherwise, and always has the stored bytes.
//
// Thread safety: none needed (one thread). Ownership: plain values.
#ifndef MQCTL_OUTPUT_H
#define MQCTL_OUTPUT_H

#include <cstdint>
#include <string>
#include <vector>

namespace mqctl {

// Printable - text as it may be shown in a text line: control characters
// (C0, DEL, C1) and bytes that are not well-formed UTF-8 written as \xHH,
// line end and tab as \n, \r, \t, and the backslash doubled, so that no
// data can start a line of its own or move the cursor. A space is written
// \x20 too: a field never splits in two for awk or cut.
std::string Printable(const std::string& text);

// DisplayWidth - the columns text takes on a terminal: each character as
// wcwidth counts it in UTF-8 (two for East Asian wide ones, none for
// combining marks), one for a byte that is no UTF-8 (Printable's results
// hold neither control characters nor such bytes).
size_t DisplayWidth(const std::string& text);

// FitWidth - text cut to width columns, ending in "..." when cut.
std::string FitWidth(const std::string& text, size_t width);

// JsonString - text as a JSON string literal, quotes included.
std::string JsonString(const std::string& text);

// IsUtf8 - true when text is well-formed UTF-8 (ASCII included).
bool IsUtf8(const std::string& text);

// Base64 - bytes in base64 with padding (RFC 4648).
std::string Base64(const std::string& bytes);

// One JSON object, its members in the order they are added; Str and StrList
// add KEY_base64 beside a text that is not well-formed UTF-8.
class JsonObject {
public:
    JsonObject& Str(const std::string& key, const std::string& value);
    JsonObject& Int(const std::string& key, int64_t value);
    JsonObject& Bool(const std::string& key, bool value);
    JsonObject& StrList(const std::string& key, const std::vector<std::string>& values);
    // value must be JSON already (another object's Text(), for instance).
    JsonObject& Raw(const std::string& key, const std::string& value);
    std::string Text() const { return "{" + body_ + "}"; }
    // Prints the object and a line end on standard output.
    void Print() const;

private:
    void Key(const std::string& key);
    std::string body_;
};

// Columns padded to their widest cell; the last column is not padded.
class TextTable {
public:
    explicit TextTable(std::vector<std::string> header) { rows_.push_back(std::move(header)); }
    void Row(std::vector<std::string> cells) { rows_.push_back(std::move(cells)); }
    void Print() const { PrintRows(0, nullptr); }
    // Prints the rows from first on (0 is the header), each column at least
    // as wide as *floor says, and widens *floor to the widths used: a table
    // printed a page at a time keeps its columns from page to page.
    void PrintRows(size_t first, std::vector<size_t>* floor) const;
    // The widest cell of each column, header included.
    std::vector<size_t> Widths() const;
    std::vector<std::vector<std::string>>& rows() { return rows_; }

private:
    std::vector<std::vector<std::string>> rows_;
};

// FormatAge - seconds as people read a queue's age: "42s", "17m", "5h",
// "3d"; negative ages (a clock set back) show as "0s".
std::string FormatAge(int64_t seconds);

// Join - the texts with sep between them.
std::string Join(const std::vector<std::string>& parts, const std::string& sep);

}  // namespace mqctl

#endif
