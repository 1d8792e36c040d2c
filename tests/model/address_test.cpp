// The address check of setLan_addr, rule by rule, in the order the rules
// are applied.
#include <gtest/gtest.h>

#include <clocale>

#include "mqmessage.h"
#include "mqresult.h"

namespace {

struct AddressCase {
    const char* address;
    int want;
    const char* why;
};

const AddressCase kAddresses[] = {
    {"alice@example.org", MQ_SUCCESS, "letters, one @, a dot after it"},
    {"a.b@mail.example.org", MQ_SUCCESS, "dot in the local part, two in the host"},
    {"<>", MQ_SUCCESS, "the null address"},
    {"<>anything goes", MQ_ERR_BAD_ADDRESS, "a space is refused before <> is seen"},
    {"<>1@@..", MQ_SUCCESS, "nothing after <> is examined"},
    {"", MQ_ERR_BAD_ADDRESS, "empty"},
    {"alice @example.org", MQ_ERR_BAD_ADDRESS, "space"},
    {"alice@example.org ", MQ_ERR_BAD_ADDRESS, "trailing space"},
    {"alice\t@example.org", MQ_SUCCESS, "only the space is refused, not other white space"},
    // Control characters are the put's to refuse (PutMsg, the store), not
    // the address check's: a user read back from an older entry keeps them.
    {"alice@example.org\r\nRSET", MQ_SUCCESS, "a line end past the places examined"},
    {"alice@example.org\x7f", MQ_SUCCESS, "DEL past the places examined"},
    {"1alice@example.org", MQ_ERR_BAD_ADDRESS, "first character a digit"},
    {"<alice@example.org>", MQ_ERR_BAD_ADDRESS, "first character not a letter"},
    {"alice.example.org", MQ_ERR_BAD_ADDRESS, "no @"},
    {"alice@1example.org", MQ_ERR_BAD_ADDRESS, "digit after @"},
    {"alice@", MQ_ERR_BAD_ADDRESS, "nothing after @"},
    {"alice@example", MQ_ERR_BAD_ADDRESS, "no dot at all"},
    {"a.1ce@example", MQ_ERR_BAD_ADDRESS, "first dot, before the @, followed by a digit"},
    {"alice@example.1org", MQ_ERR_BAD_ADDRESS, "first dot followed by a digit"},
    {"alice@example.", MQ_ERR_BAD_ADDRESS, "first dot ends the text"},
    {"alice@mail.example.", MQ_ERR_BAD_ADDRESS, "second dot ends the text"},
    {"alice@mail.example.9rg", MQ_ERR_BAD_ADDRESS, "second dot followed by a digit"},
    {"alice@a.b.9.", MQ_ERR_BAD_ADDRESS, "second dot followed by a digit"},
    {"alice@a.b.c.9", MQ_SUCCESS, "only the first two dots are examined"},
    {"al.ice@example.org", MQ_SUCCESS, "first dot before the @"},
    {"\xe9lise@example.org", MQ_ERR_BAD_ADDRESS, "a byte above 0x7F is no letter"},
};

TEST(AddressCheckTest, RulesInOrder) {
    for (const AddressCase& c : kAddresses) {
        cUserInfo user;
        EXPECT_EQ(user.setLan_addr(c.address), c.want)
            << "address \"" << c.address << "\": " << c.why;
        if (c.want == MQ_SUCCESS) {
            ASSERT_NE(user.getLan_addr(), nullptr) << c.address;
            EXPECT_STREQ(user.getLan_addr(), c.address);
            EXPECT_NE(user.getLan_addr(), c.address) << "the user keeps its own copy";
        } else {
            EXPECT_EQ(user.getLan_addr(), nullptr) << "stored despite refusal: " << c.address;
        }
    }
}

// The check is the POSIX locale's: a process running in another locale (where
// isalpha may accept bytes above 0x7F) gets the same answers.
TEST(AddressCheckTest, IndependentOfTheProcessLocale) {
    const char* previous = std::setlocale(LC_ALL, nullptr);
    std::string saved = previous != nullptr ? previous : "C";
    if (std::setlocale(LC_ALL, "C.UTF-8") == nullptr) std::setlocale(LC_ALL, "");
    EXPECT_EQ(CheckLanAddress("\xe9lise@example.org"), MQ_ERR_BAD_ADDRESS);
    std::setlocale(LC_ALL, saved.c_str());
}

TEST(AddressCheckTest, RefusalKeepsTheAddressStoredBefore) {
    cUserInfo user;
    ASSERT_EQ(user.setLan_addr("alice@example.org"), MQ_SUCCESS);
    EXPECT_EQ(user.setLan_addr("no address"), MQ_ERR_BAD_ADDRESS);
    EXPECT_EQ(user.setLan_addr(nullptr), MQ_ERR_BAD_ADDRESS);
    EXPECT_STREQ(user.getLan_addr(), "alice@example.org");
    ASSERT_EQ(user.setLan_addr("bob@example.org"), MQ_SUCCESS);
    EXPECT_STREQ(user.getLan_addr(), "bob@example.org");
}

}  // namespace
