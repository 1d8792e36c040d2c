// Users, envelope headers and messages: ownership of users and strings, the
// result codes of the header operations, and display()'s log lines.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "child.h"
#include "mqmessage.h"
#include "mqresult.h"
#include "temp_dir.h"

namespace {

TEST(UserInfoTest, SettersReplaceTheirCopyAndNullClears) {
    cUserInfo user;
    EXPECT_EQ(user.getName(), nullptr);
    EXPECT_EQ(user.getQueueName(), nullptr);
    char name[] = "Alice";
    ASSERT_EQ(user.setName(name), MQ_SUCCESS);
    name[0] = 'X';  // the user holds its own copy
    EXPECT_STREQ(user.getName(), "Alice");
    // A second call frees the first copy (the leak checker catches it if not).
    ASSERT_EQ(user.setName("Alicia"), MQ_SUCCESS);
    EXPECT_STREQ(user.getName(), "Alicia");
    ASSERT_EQ(user.setQueueName("relay"), MQ_SUCCESS);
    ASSERT_EQ(user.setQueueName(""), MQ_SUCCESS);
    EXPECT_STREQ(user.getQueueName(), "") << "an empty queue name is not a missing one";
    ASSERT_EQ(user.setName(nullptr), MQ_SUCCESS);
    EXPECT_EQ(user.getName(), nullptr);
}

class EnvHeaderTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(alice.setLan_addr("alice@example.org"), MQ_SUCCESS);
        ASSERT_EQ(bob.setLan_addr("bob@example.org"), MQ_SUCCESS);
    }
    cUserInfo alice, bob, nobody;  // nobody holds no address
};

TEST_F(EnvHeaderTest, OperationsOnAnEmptyHeader) {
    cEnvHeader header;
    EXPECT_EQ(header.del("alice@example.org"), MQ_ERR_EMPTY);
    EXPECT_EQ(header.delAll(), MQ_ERR_EMPTY);
    EXPECT_EQ(header.get("alice@example.org"), nullptr);
    EXPECT_EQ(header.getFirst(), nullptr);
    EXPECT_EQ(header.getNext(), nullptr);
}

TEST_F(EnvHeaderTest, GetMatchesExactlyAndSkipsUsersWithoutAddress) {
    cEnvHeader header;
    header.add(&nobody);
    header.add(&alice);
    EXPECT_EQ(header.get("alice@example.org"), &alice);
    EXPECT_EQ(header.get("Alice@example.org"), nullptr) << "addresses compare case-sensitively";
    EXPECT_EQ(header.get(nullptr), nullptr);
    EXPECT_EQ(header.del("carol@example.org"), MQ_ERR_NOT_FOUND);
    EXPECT_EQ(header.del(nullptr), MQ_ERR_NOT_FOUND);
}

TEST_F(EnvHeaderTest, DelUnlistsEveryOccurrenceAndKeepsTheUser) {
    cEnvHeader header;
    header.add(&alice);
    header.add(&bob);
    header.add(&alice);
    EXPECT_EQ(header.del("alice@example.org"), MQ_SUCCESS);
    EXPECT_EQ(header.count(), 1u);
    EXPECT_EQ(header.getFirst(), &bob);
    EXPECT_STREQ(alice.getLan_addr(), "alice@example.org") << "the user is not destroyed";
}

TEST_F(EnvHeaderTest, WalkAndDelAll) {
    cEnvHeader header;
    EXPECT_EQ(header.add(nullptr), MQ_ERR_ADD) << "a null user would end every walk early";
    header.add(&alice);
    header.add(&bob);
    EXPECT_EQ(header.getFirst(), &alice);
    EXPECT_EQ(header.getNext(), &alice) << "the first getNext after getFirst yields the first";
    EXPECT_EQ(header.getNext(), &bob);
    EXPECT_EQ(header.getNext(), nullptr);
    EXPECT_EQ(header.delAll(), MQ_SUCCESS);
    EXPECT_EQ(header.count(), 0u);
    EXPECT_STREQ(bob.getLan_addr(), "bob@example.org");
}

TEST_F(EnvHeaderTest, MessageEmptiesItsHeadersOnDestructionButDoesNotOwnThem) {
    cEnvHeader from, to;
    from.add(&alice);
    to.add(&bob);
    to.add(&alice);
    {
        cMessage message;
        message.setFrom(&from);
        message.setTo(&to);
        ASSERT_EQ(message.setMsgpath("/spool/1.msg"), MQ_SUCCESS);
        ASSERT_EQ(message.setMsgpath("/spool/2.msg"), MQ_SUCCESS);  // frees the first
        EXPECT_STREQ(message.getMsgpath(), "/spool/2.msg");
    }
    EXPECT_EQ(from.count(), 0u);
    EXPECT_EQ(to.count(), 0u);
    EXPECT_EQ(from.add(&alice), MQ_SUCCESS) << "the headers outlive the message";
}

TEST(MessageTest, NewAndNullHeaders) {
    cMessage message;
    EXPECT_EQ(message.getFrom(), nullptr);
    EXPECT_EQ(message.getTo(), nullptr);
    EXPECT_EQ(message.getMsgpath(), nullptr);
    ASSERT_EQ(message.setMsgpath("/spool/1.msg"), MQ_SUCCESS);
    ASSERT_EQ(message.setMsgpath(nullptr), MQ_SUCCESS);
    EXPECT_EQ(message.getMsgpath(), nullptr);
}

// The logger picks its destination once per process, so display() runs in a
// child that logs to a file of its own.
std::string DisplayInChild(cEnvHeader& header) {
    mqtest::TempDir dir("mqmodel");
    if (dir.path().empty()) return "no temporary directory";
    std::string log = dir.File("log");
    if (mqtest::Wait(mqtest::Spawn([&] {
            setenv("MQ_LOG", log.c_str(), 1);
            header.display();
            return 0;
        })) != 0) {
        return "the child failed";
    }
    std::ifstream in(log);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Cuts the time stamp and process id off each logged line, keeping the
// application name, the logger's word for the level (level 5 is "notice")
// and the text: all three are display()'s to fix.
std::string Messages(const std::string& logged) {
    std::istringstream lines(logged);
    std::string line, out;
    while (std::getline(lines, line)) {
        size_t app = line.find(' ');
        size_t body = line.find(": ");
        if (app == std::string::npos || body == std::string::npos) return "bad line: " + line;
        out += line.substr(app + 1, line.find('[') - app - 1) + " " +
               line.substr(line.find("] ") + 2, body - line.find("] ") - 2) + " | " +
               line.substr(body + 2) + "\n";
    }
    return out;
}

TEST_F(EnvHeaderTest, DisplayLogsNameAndAddressOfEachUserAtLevelFive) {
    ASSERT_EQ(alice.setName("Alice"), MQ_SUCCESS);
    cUserInfo longName;
    ASSERT_EQ(longName.setName(std::string(400, 'n').c_str()), MQ_SUCCESS);
    cEnvHeader header;
    header.add(&alice);
    header.add(&nobody);  // neither name nor address: logged empty, no crash
    header.add(&longName);
    std::string want =
        "API_MQ notice | Name:\t\tAlice\n"
        "API_MQ notice | Email address: alice@example.org\n"
        "API_MQ notice | Name:\t\t\n"
        "API_MQ notice | Email address: \n"
        "API_MQ notice | Name:\t\t" + std::string(255 - 7, 'n') + "\n"
        "API_MQ notice | Email address: \n";
    EXPECT_EQ(Messages(DisplayInChild(header)), want)
        << "each line is cut to its 256-byte buffer";
}

}  // namespace
