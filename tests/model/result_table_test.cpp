// The table of result codes in mqtoolkit(3) against the library's own
// (mqresult.h): every code the library knows is in the manual with its
// name and meaning, and the manual lists no other, so the copy can't drift.
#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <string>

#include "mqresult.h"

namespace {

struct Row {
    std::string name;
    std::string text;
};

// The few roff escapes a meaning may hold, as the reader sees them.
std::string Unescape(std::string s) {
    const std::pair<const char*, const char*> kEscapes[] = {
        {"\\-", "-"}, {"\\(aq", "'"}, {"\\(dq", "\""}, {"\\e", "\\"}, {"\\&", ""}};
    for (const auto& [from, to] : kEscapes) {
        for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at)) {
            s.replace(at, std::string(from).size(), to);
            at += std::string(to).size();
        }
    }
    return s;
}

// The rows "CODE<tab>NAME<tab>T{", the meaning's lines, "T}" of the table
// under ".SH RESULT CODES".
std::map<int, Row> ManualTable(const char* path) {
    std::ifstream in(path);
    EXPECT_TRUE(in.is_open()) << "can't read " << path;
    std::map<int, Row> rows;
    std::string line;
    bool section = false, table = false;
    while (std::getline(in, line)) {
        if (line.rfind(".SH", 0) == 0) section = line == ".SH RESULT CODES";
        if (!section) continue;
        if (line == ".TS") table = true;
        if (line == ".TE") break;
        size_t tab1 = line.find('\t'), tab2 = line.find('\t', tab1 + 1);
        if (!table || tab2 == std::string::npos || line.substr(tab2 + 1) != "T{") continue;
        int code = std::stoi(line.substr(0, tab1));
        Row row{line.substr(tab1 + 1, tab2 - tab1 - 1), ""};
        while (std::getline(in, line) && line != "T}") {
            row.text += (row.text.empty() ? "" : " ") + Unescape(line);
        }
        EXPECT_TRUE(rows.emplace(code, row).second) << "code " << code << " listed twice";
    }
    return rows;
}

TEST(ResultTableTest, ManualListsExactlyTheLibrarysCodes) {
    std::map<int, Row> manual = ManualTable(MQTEST_MANUAL);

    std::map<int, Row> library;
#define MQTEST_ROW_(name, code, text) library[code] = {MQResultName(code), MQResultText(code)};
    MQ_RESULT_CODES(MQTEST_ROW_)
#undef MQTEST_ROW_
    ASSERT_FALSE(manual.empty()) << "no table under .SH RESULT CODES in " << MQTEST_MANUAL;

    for (const auto& [code, want] : library) {
        auto got = manual.find(code);
        if (got == manual.end()) {
            ADD_FAILURE() << "code " << code << " (" << want.name << ") is not in the manual";
            continue;
        }
        EXPECT_EQ(got->second.name, want.name) << "code " << code;
        EXPECT_EQ(got->second.text, want.text) << "code " << code << " (" << want.name << ")";
    }
    for (const auto& [code, row] : manual) {
        EXPECT_TRUE(library.count(code)) << "the manual lists code " << code << " (" << row.name
                                         << "), which the library does not know";
    }
}

}  // namespace
