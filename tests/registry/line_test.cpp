// IsLineSpace and ParseBuf: the registry's view of one channel-file line.
#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

#include "mqchannel.h"
#include "registry_util.h"

namespace {

using regtest::Show;

// The field rule and the blank-line rule themselves are the common
// parser's, tested with it (tests/common/chanline_test.cpp); here, what the
// registry's two exported calls add: the old interface's names, its null
// line, and fields copied whole, terminated, into the caller's buffers.
TEST(IsLineSpace, TakesTheCommonRule) {
    std::setlocale(LC_ALL, "C");
    EXPECT_TRUE(IsLineSpace(nullptr));
    EXPECT_TRUE(IsLineSpace(" \t \r\n"));
    EXPECT_FALSE(IsLineSpace("ch1\r\n"));
}

TEST(ParseBuf, Table) {
    std::string longName(1000, 'q');
    struct {
        std::string line;
        std::string channel, application;
    } cases[] = {
        {"ch1\t\tapp1\t\tin\t\tC\r\n", "ch1", "app1"},
        {"ch1", "ch1", ""},
        {"", "", ""},
        {longName + "\t" + longName + "x\tin\r\n", longName, longName + "x"},
    };
    for (const auto& c : cases) {
        // Outputs as large as the line, as the interface asks, poisoned so
        // that a missing terminator shows.
        std::vector<char> channel(c.line.size() + 1, '#'), application(c.line.size() + 1, '#');
        ParseBuf(c.line.c_str(), channel.data(), application.data());
        EXPECT_EQ(std::string(channel.data()), c.channel)
            << Show(c.line) << ": channel got " << Show(channel.data()) << ", want "
            << Show(c.channel);
        EXPECT_EQ(std::string(application.data()), c.application)
            << Show(c.line) << ": application got " << Show(application.data()) << ", want "
            << Show(c.application);
    }
}

TEST(ParseBuf, NothingCarriesOverBetweenCalls) {
    char channel[64], application[64];
    ParseBuf("first\t\tapp1\r\n", channel, application);
    ParseBuf("second", channel, application);
    EXPECT_STREQ(channel, "second");
    EXPECT_STREQ(application, "") << "got " << Show(application) << ", want empty";
}

TEST(ParseBuf, NullArgumentsDoNotCrash) {
    char channel[8] = "x", application[8] = "y";
    ParseBuf(nullptr, channel, application);
    EXPECT_STREQ(channel, "");
    EXPECT_STREQ(application, "");
    ParseBuf("ch1 app1", nullptr, application);
    EXPECT_STREQ(application, "app1");
    ParseBuf("ch1 app1", channel, nullptr);
    EXPECT_STREQ(channel, "ch1");
}

}  // namespace
