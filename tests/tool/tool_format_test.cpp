// tool_format_test.cpp - the shapes mqctl accepts and the JSON it writes:
// identifiers, ages, options, and string escaping that keeps every line
// valid JSON whatever bytes the data holds.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cli.h"
#include "json_reader.h"
#include "output.h"

namespace mqctl {
namespace {

TEST(JsonString, Escapes) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {"", "\"\""},
        {"plain", "\"plain\""},
        {"a\"b\\c", "\"a\\\"b\\\\c\""},
        {"tab\tcr\rlf\n", "\"tab\\tcr\\rlf\\n\""},
        {std::string("nul\0x", 5), "\"nul\\u0000x\""},
        {"\x01\x1f\x7f", "\"\\u0001\\u001f\\u007f\""},
        {"caf\xc3\xa9", "\"caf\xc3\xa9\""},                  // UTF-8 passes
        {"\xe2\x82\xac \xf0\x9f\x93\xa7", "\"\xe2\x82\xac \xf0\x9f\x93\xa7\""},
        {"\xff", "\"\\u00ff\""},                             // not UTF-8
        {"\xc3", "\"\\u00c3\""},                             // cut short
        {"\xc0\xaf", "\"\\u00c0\\u00af\""},                  // overlong
        {"\xed\xa0\x80", "\"\\u00ed\\u00a0\\u0080\""},       // surrogate
        {"\xf4\x90\x80\x80", "\"\\u00f4\\u0090\\u0080\\u0080\""},  // past U+10FFFF
    };
    for (const Case& tc : cases) {
        EXPECT_EQ(JsonString(tc.in), tc.want) << "input " << testing::PrintToString(tc.in);
    }
}

TEST(JsonString, EveryByteGivesValidJson) {
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    std::string line = JsonObject().Str("k", all).Str("k2", all + "\xe2\x82").Text();
    mqtest::Json v;
    ASSERT_TRUE(mqtest::JsonParser::Parse(line, &v)) << line;
    // ASCII comes back byte for byte.
    EXPECT_EQ(v["k"].str.substr(0, 128), all.substr(0, 128));
}

// A text that is not well-formed UTF-8 gets its exact bytes beside it; a
// well-formed one (an empty one too) gets nothing more.
TEST(JsonObject, ExactBytesBesideTextThatIsNotUtf8) {
    struct Case {
        std::string in;
        bool utf8;
        const char* base64;
    } cases[] = {
        {"", true, ""},
        {"caf\xc3\xa9", true, "Y2Fmw6k="},
        {"caf\xe9", false, "Y2Fm6Q=="},
        {"\xff", false, "/w=="},
        {std::string("\xc0\xaf\x00", 3), false, "wK8A"},      // an overlong form and a NUL
        {"\xed\xa0\x80", false, "7aCA"},      // a surrogate
        {std::string("a\0b", 3), true, "YQBi"},
    };
    for (const Case& tc : cases) {
        std::string name = testing::PrintToString(tc.in);
        EXPECT_EQ(IsUtf8(tc.in), tc.utf8) << name;
        EXPECT_EQ(Base64(tc.in), tc.base64) << name;
        std::string one = JsonObject().Str("k", tc.in).Text();
        std::string list = JsonObject().StrList("k", {"ok", tc.in}).Text();
        std::string wantOne = "{\"k\":" + JsonString(tc.in) +
                              (tc.utf8 ? "" : ",\"k_base64\":\"" + std::string(tc.base64) + "\"") + "}";
        std::string wantList = "{\"k\":[\"ok\"," + JsonString(tc.in) + "]" +
                               (tc.utf8 ? "" : ",\"k_base64\":[\"b2s=\",\"" + std::string(tc.base64) + "\"]") +
                               "}";
        EXPECT_EQ(one, wantOne) << name;
        EXPECT_EQ(list, wantList) << name;
    }
}

TEST(JsonObject, MembersInOrder) {
    std::string got = JsonObject()
                          .Int("id", 7)
                          .Str("s", "x")
                          .Bool("b", false)
                          .StrList("to", {"a", "b\""})
                          .StrList("none", {})
                          .Raw("o", JsonObject().Int("5", 1).Text())
                          .Text();
    EXPECT_EQ(got, "{\"id\":7,\"s\":\"x\",\"b\":false,\"to\":[\"a\",\"b\\\"\"],\"none\":[],"
                   "\"o\":{\"5\":1}}");
}

TEST(ParseAge, Shapes) {
    struct Case {
        const char* in;
        bool ok;
        int64_t want;
    } cases[] = {
        {"0", true, 0},       {"90", true, 90},       {"90s", true, 90},
        {"30m", true, 1800},  {"2h", true, 7200},     {"1d", true, 86400},
        {"1w", true, 604800}, {"", false, 0},         {"m", false, 0},
        {"-5m", false, 0},    {"+5m", false, 0},      {"5x", false, 0},
        {"5mm", false, 0},    {"5 m", false, 0},      {"1.5h", false, 0},
        {"99999999999999999999", false, 0},          {"9223372036854775807w", false, 0},
    };
    for (const Case& tc : cases) {
        int64_t got = -1;
        EXPECT_EQ(ParseAge(tc.in, &got), tc.ok) << "\"" << tc.in << "\"";
        if (tc.ok) {
            EXPECT_EQ(got, tc.want) << "\"" << tc.in << "\"";
        }
    }
}

TEST(ParseId, Shapes) {
    struct Case {
        const char* in;
        bool ok;
        unsigned long want;
    } cases[] = {
        {"1", true, 1},         {"42", true, 42},       {"4294967295", true, 4294967295ul},
        {"0", false, 0},        {"4294967296", false, 0}, {"12345678901", false, 0},
        {"-1", false, 0},       {"+1", false, 0},       {" 1", false, 0},
        {"1x", false, 0},       {"0x10", false, 0},     {"", false, 0},
    };
    for (const Case& tc : cases) {
        unsigned long got = 0;
        EXPECT_EQ(ParseId(tc.in, &got), tc.ok) << "\"" << tc.in << "\"";
        if (tc.ok) {
            EXPECT_EQ(got, tc.want) << "\"" << tc.in << "\"";
        }
    }
}

TEST(FormatAge, Units) {
    struct Case {
        int64_t in;
        const char* want;
    } cases[] = {{-5, "0s"},     {0, "0s"},      {119, "119s"},   {120, "2m"},
                 {7199, "119m"}, {7200, "2h"},   {172799, "47h"}, {172800, "2d"}};
    for (const Case& tc : cases) EXPECT_EQ(FormatAge(tc.in), tc.want) << tc.in;
}

TEST(Args, Parse) {
    const std::vector<OptionDef> options = {{"to", true}, {"count", false}};
    struct Case {
        std::vector<std::string> argv;
        bool ok;
        std::vector<std::string> positional, to;
        bool count;
    } cases[] = {
        {{"RELAY", "--to", "a", "--to=b", "--count"}, true, {"RELAY"}, {"a", "b"}, true},
        {{"-", "--", "--to", "x"}, true, {"-", "--to", "x"}, {}, false},
        {{"--to=", "ALL"}, true, {"ALL"}, {""}, false},
        {{"--to"}, false, {}, {}, false},
        {{"--count=1"}, false, {}, {}, false},
        {{"--other"}, false, {}, {}, false},
        {{"-c"}, false, {}, {}, false},
    };
    for (const Case& tc : cases) {
        Args args;
        std::string name;
        for (const std::string& a : tc.argv) name += a + " ";
        mq::Status parsed = args.Parse(tc.argv, options);
        ASSERT_EQ(parsed.ok(), tc.ok) << name << parsed.Cause();
        if (!tc.ok) {
            EXPECT_FALSE(parsed.Cause().empty()) << name;
            continue;
        }
        EXPECT_EQ(args.Positional(), tc.positional) << name;
        EXPECT_EQ(args.Values("to"), tc.to) << name;
        EXPECT_EQ(args.Has("count"), tc.count) << name;
    }
}

// What text lines show of a name or address: nothing in it can end the
// line, move the cursor, or split a field.
TEST(Printable, EscapesWhatCouldForgeALine) {
    struct Case {
        std::string in, want;
    } cases[] = {
        {"bob@example.org", "bob@example.org"},
        {"x@evil.org\n2", "x@evil.org\\n2"},
        {"a\rb\tc", "a\\rb\\tc"},
        {"back\\slash", "back\\\\slash"},               // "\n" written by hand stays told apart
        {"sp ace", "sp\\x20ace"},
        {std::string("nul\0x", 5), "nul\\x00x"},
        {"\x1b[2J\x7f", "\\x1b[2J\\x7f"},               // terminal escapes
        {"caf\xc3\xa9", "caf\xc3\xa9"},                 // UTF-8 passes
        {"\xc2\x85next", "\\xc2\\x85next"},             // C1 next-line, U+0085
        {"\xff", "\\xff"},                              // not UTF-8
    };
    for (const Case& tc : cases) {
        EXPECT_EQ(Printable(tc.in), tc.want) << testing::PrintToString(tc.in);
    }
}

TEST(FitWidth, CutsToColumnsCountingCharacters) {
    struct Case {
        std::string in;
        size_t width;
        std::string want;
    } cases[] = {
        {"short", 10, "short"},
        {"exactly10!", 10, "exactly10!"},
        {"eleven-char", 10, "eleven-..."},
        {"caf\xc3\xa9-au-lait", 6, "caf..."},
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9", 4, "\xc3\xa9..."},  // never half a character
        {"abc", 2, ".."},
    };
    for (const Case& tc : cases) {
        EXPECT_EQ(FitWidth(tc.in, tc.width), tc.want) << tc.in << " in " << tc.width;
        EXPECT_LE(DisplayWidth(FitWidth(tc.in, tc.width)), tc.width) << tc.in;
    }
}

TEST(Suggest, NearestCommandWithinTwoEdits) {
    const std::vector<std::string> known{"list", "summary", "show", "requeue", "release",
                                         "channel del", "channel add", "metrics"};
    struct Case {
        std::string typed, want;
    } cases[] = {
        {"lsit", "list"},         {"lst", "list"},      {"summ", "summary"},
        {"channel dle", "channel del"},                 {"metric", "metrics"},
        {"frobnicate", ""},       {"x", ""},
    };
    for (const Case& tc : cases) EXPECT_EQ(Suggest(tc.typed, known), tc.want) << tc.typed;
    EXPECT_EQ(EditDistance("kitten", "sitting"), 3u);
    EXPECT_EQ(EditDistance("", "abc"), 3u);
}

}  // namespace
}  // namespace mqctl
