// Tests of the channel-file line parser: blank lines, the field rule, the
// store's record view, lines of any length, and the name check.
#include "chanline.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

using mqcommon::ChannelRecord;

// Shows control characters escaped, so that a failing case reads.
template <typename T>
std::string Show(const T& value) {
    return testing::PrintToString(value);
}

TEST(BlankLine, Table) {
    struct {
        const char* line;
        bool want;
    } cases[] = {
        {"", true},      {"\r\n", true},      {" \t \r\n", true}, {"\f\v", true},
        {nullptr, true}, {"\r\nx", false},    {"x", false},       {" \t.\r\n", false},
        {"\xA0", false}, {"\x85\r\n", false}, {"\x01", false}, {"\xFF", false},
    };
    for (const auto& c : cases) {
        bool got = mqcommon::IsBlankLine(c.line);
        EXPECT_EQ(got, c.want) << (c.line ? Show(std::string(c.line)) : "null") << ": got " << got
                               << ", want " << c.want;
    }
}

TEST(SplitFields, Table) {
    struct {
        const char* line;
        size_t maxFields;
        std::vector<std::string> want;
    } cases[] = {
        {"ch1\t\tapp1\t\tin\t\tC\r\n", 2, {"ch1", "app1"}},
        {"ch1\t\tapp1\t\tin\t\tC\r\n", 4, {"ch1", "app1", "in", "C\r\n"}},
        {"ch1\t\tapp1\t\tout\r\n", 2, {"ch1", "app1"}},
        {"  \tch1 app1 in", 2, {"ch1", "app1"}},
        {"ch1\t\tapp1\r\n", 2, {"ch1", "app1\r\n"}},
        {"ch1", 2, {"ch1"}},
        {"ch1\r\n", 2, {"ch1\r\n"}},
        {"\r\n", 2, {"\r\n"}},
        {"", 2, {}},
        {" \t \t", 2, {}},
        {nullptr, 2, {}},
        {"ch1 app1", 0, {}},
        {"a\vb\fc d", 4, {"a\vb\fc", "d"}},
        {"a\rb\tc", 4, {"a\rb", "c"}},
        {"caf\xC3\xA9 \xFF", 4, {"caf\xC3\xA9", "\xFF"}},
        {"a b c d e f", 4, {"a", "b", "c", "d"}},
        {"a  ", 4, {"a"}},
    };
    for (const auto& c : cases) {
        std::vector<std::string> got = mqcommon::SplitChannelFields(c.line, c.maxFields);
        EXPECT_EQ(got, c.want) << (c.line ? Show(std::string(c.line)) : "null") << " max "
                               << c.maxFields << ": got " << Show(got) << ", want " << Show(c.want);
    }
}

TEST(ParseRecord, Table) {
    struct {
        const char* line;
        bool ok;
        ChannelRecord want;
    } cases[] = {
        {"ch1\t\tapp1\t\tin\t\tC\r\n", true, {"ch1", "app1", "in", 'C'}},
        {"ch1\t\tapp1\t\tout\t\tc\r\n", true, {"ch1", "app1", "out", 'c'}},
        {"ch1\t\tapp1\t\tout\r\n", true, {"ch1", "app1", "out", 0}},
        {"ch1\t\tapp1\r\n", true, {"ch1", "app1", "", 0}},
        {"ch1 app1", true, {"ch1", "app1", "", 0}},
        {"ch1 app1 IN\n", true, {"ch1", "app1", "IN", 0}},
        {"  ch1 app1 in C  \r\n", true, {"ch1", "app1", "in", 'C'}},
        {"ch1 app1 in CC\r\n", true, {"ch1", "app1", "in", 0}},
        {"ch1 app1 in x\r\n", true, {"ch1", "app1", "in", 0}},
        {"ch1 app1 in C extra\r\n", true, {"ch1", "app1", "in", 'C'}},
        {"ch1 app1\r\r\n\n", true, {"ch1", "app1", "", 0}},
        {"a\rb c\r\n", true, {"a\rb", "c", "", 0}},
        {"ch1\r\n", false, {}},
        {"ch1", false, {}},
        {"\r\n", false, {}},
        {"", false, {}},
        {" \t \r\n", false, {}},
        {nullptr, false, {}},
    };
    for (const auto& c : cases) {
        std::string name = c.line ? Show(std::string(c.line)) : "null";
        ChannelRecord got{"old", "old", "old", 'x'};
        bool ok = mqcommon::ParseChannelRecord(c.line, &got);
        ASSERT_EQ(ok, c.ok) << name << ": got " << ok << ", want " << c.ok;
        ChannelRecord want = c.ok ? c.want : ChannelRecord{"old", "old", "old", 'x'};
        EXPECT_EQ(got.channel, want.channel) << name << ": channel " << Show(got.channel);
        EXPECT_EQ(got.application, want.application)
            << name << ": application " << Show(got.application);
        EXPECT_EQ(got.direction, want.direction) << name << ": direction " << Show(got.direction);
        EXPECT_EQ(got.flag, want.flag) << name << ": flag";
    }
    EXPECT_FALSE(mqcommon::ParseChannelRecord("ch1 app1", nullptr));
}

TEST(ReadLine, LinesOfAnyLength) {
    mqtest::TempDir dir;
    const std::vector<std::string> lines = {
        "short\r\n",
        std::string(300, 'a') + "\n",
        "\n",
        std::string(70 * 1024, 'b') + "\t\tapp\r\n",
        std::string("nul\0inside\n", 11),
        "last without line end",
    };
    std::string content;
    for (const std::string& l : lines) content += l;
    std::string path = dir.Write("lines.cfg", content);

    FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::string line = "stale";
    for (size_t i = 0; i < lines.size(); ++i) {
        ASSERT_TRUE(mqcommon::ReadLine(file, &line)) << "line " << i << ": end too early";
        EXPECT_EQ(line.size(), lines[i].size()) << "line " << i << ": length";
        EXPECT_EQ(line, lines[i]) << "line " << i;
    }
    EXPECT_FALSE(mqcommon::ReadLine(file, &line)) << "got " << Show(line) << ", want the end";
    EXPECT_EQ(line, "") << "at the end";
    EXPECT_FALSE(mqcommon::ReadLine(file, &line)) << "second read at the end";
    std::fclose(file);
}

TEST(ReadLine, EmptyFileAndBadArguments) {
    mqtest::TempDir dir;
    std::string path = dir.Write("empty.cfg", "");
    FILE* file = std::fopen(path.c_str(), "r");
    ASSERT_NE(file, nullptr);
    std::string line;
    EXPECT_FALSE(mqcommon::ReadLine(file, &line));
    EXPECT_FALSE(mqcommon::ReadLine(file, nullptr));
    EXPECT_FALSE(mqcommon::ReadLine(nullptr, &line));
    std::fclose(file);
}

TEST(UsableName, Table) {
    const std::string max19(19, 'c');
    const std::string max254(254, 'a');
    struct {
        std::string name;
        bool isNull;
        size_t maxLength;
        bool want;
    } cases[] = {
        {"ch1", false, mqcommon::kMaxChannelName, true},
        {max19, false, mqcommon::kMaxChannelName, true},
        {max19 + "c", false, mqcommon::kMaxChannelName, false},
        {max254, false, mqcommon::kMaxAppName, true},
        {max254 + "a", false, mqcommon::kMaxAppName, false},
        {"", false, 19, false},
        {"", true, 19, false},
        {"a", false, 0, false},
        {"a b", false, 19, false},
        {"a\tb", false, 19, false},
        {"ch1\r\n", false, 19, false},
        {"a\x7f", false, 19, false},
        {"a\x01", false, 19, false},
        {"a/b", false, 19, false},
        {"/", false, 19, false},
        {".", false, 19, false},
        {"..", false, 19, false},
        {"...", false, 19, true},
        {".hidden", false, 19, true},
        {"mail.in-1_x", false, 19, true},
        {"caf\xC3\xA9", false, 19, true},
    };
    for (const auto& c : cases) {
        bool got = mqcommon::IsUsableName(c.isNull ? nullptr : c.name.c_str(), c.maxLength);
        EXPECT_EQ(got, c.want) << (c.isNull ? "null" : Show(c.name)) << " max " << c.maxLength
                               << ": got " << got << ", want " << c.want;
    }
}

}  // namespace
