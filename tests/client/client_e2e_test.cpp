// The queue client end to end: the toolkit over the real store, in real
// processes that put, get, die holding a message or die in the middle of a
// put, and against a spool that is damaged.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "e2e_support.h"
#include "mqapi.h"

namespace e2e {
namespace {

std::string Joined(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& l : lines) out += "\n  " + l;
    return out.empty() ? "\n  (none)" : out;
}

// Runs a "get" agent on channel to its end; the MSG lines it reported.
std::vector<std::string> GetAll(const InstallDir& dir, const char* channel, bool del) {
    Agent reader(dir, {"get", channel, del ? "1" : "0"});
    EXPECT_TRUE(reader.started());
    EXPECT_EQ(reader.ReadLine(), "READY");
    reader.Go();
    std::vector<std::string> lines = reader.ReadAll();
    EXPECT_EQ(reader.Wait(), 0) << "reader output:" << Joined(lines);
    EXPECT_FALSE(lines.empty() || lines.back() != "END") << "got" << Joined(lines);
    if (!lines.empty() && lines.back() == "END") lines.pop_back();
    return lines;
}

void PutAll(const InstallDir& dir, const char* channel, int count, const char* tag) {
    Agent writer(dir, {"put", channel, std::to_string(count), tag});
    ASSERT_TRUE(writer.started());
    std::vector<std::string> lines = writer.ReadAll();
    ASSERT_EQ(writer.Wait(), 0) << "writer output:" << Joined(lines);
    ASSERT_EQ(lines.size(), size_t(count));
}

std::vector<std::string> Expected(const char* tag, int from, int to) {
    std::vector<std::string> want;
    for (int i = from; i < to; ++i) want.push_back(MsgLine(tag, i));
    return want;
}

class EndToEnd : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(dir.ok()); }
    InstallDir dir;
};

TEST_F(EndToEnd, PutManyThenGetThemInOrderAndNothingIsLeft) {
    PutAll(dir, "RELAY", 60, "alpha");
    // Letter case of the channel name does not matter to the reader.
    std::vector<std::string> got = GetAll(dir, "relay", true);
    EXPECT_EQ(got, Expected("alpha", 0, 60)) << "got" << Joined(got);
    std::vector<std::string> left = GetAll(dir, "RELAY", false);
    EXPECT_TRUE(left.empty()) << "a new process still finds" << Joined(left);
}

// The path a one-call put leaves for GetMsgDest names a whole file when it
// is asked for ".msg", though the put itself wrote none for a body the
// store keeps in the entry's commit (4 KiB by default); a larger body's
// file is there from the put on.
TEST_F(EndToEnd, GetMsgDestNamesAWholeFileAfterAOneCallPut) {
    struct Case {
        size_t size;
        bool fromFd;
        bool fileAtPut;  // the put itself wrote the file
    } cases[] = {{100, false, false}, {4096, true, false}, {5000, false, true},
                 {5000, true, true}};
    cMQ mq;
    ASSERT_EQ(mq.OpenMQChannel("e2e", (dir.path() + "/daduv.ini").c_str()), MQ_SUCCESS);
    cUserInfo sender, recipient;
    ASSERT_EQ(sender.setLan_addr("a@example.org"), MQ_SUCCESS);
    ASSERT_EQ(recipient.setLan_addr("b@example.org"), MQ_SUCCESS);
    cEnvHeader from, to;
    from.add(&sender);
    to.add(&recipient);
    cMessage message;
    message.setFrom(&from);
    message.setTo(&to);
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + (c.fromFd ? " bytes from a file" : " bytes"));
        std::string body(c.size, 'b');
        body[0] = static_cast<char>('0' + c.size % 10);
        int rc;
        if (c.fromFd) {
            std::string source = dir.path() + "/source";
            std::ofstream(source, std::ios::binary) << body;
            int fd = open(source.c_str(), O_RDONLY);
            ASSERT_GE(fd, 0);
            rc = mq.PutMsgBodyFd(&message, "RELAY", fd);
            close(fd);
        } else {
            rc = mq.PutMsgBody(&message, "RELAY", body.data(), body.size());
        }
        ASSERT_EQ(rc, MQ_SUCCESS);
        std::string msg = mq.GetMsgDest(".tmp");
        msg.replace(msg.size() - 4, 4, ".msg");
        struct stat st;
        EXPECT_EQ(stat(msg.c_str(), &st) == 0, c.fileAtPut) << msg;
        const char* path = mq.GetMsgDest(".msg");
        ASSERT_NE(path, nullptr);
        EXPECT_EQ(std::string(path), msg);
        std::ifstream in(path, std::ios::binary);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        EXPECT_EQ(got, body) << "the file GetMsgDest names";
    }
    from.delAll();
    to.delAll();
}

TEST_F(EndToEnd, ChannelsKeepTheirOwnEntries) {
    PutAll(dir, "RELAY", 3, "relay");
    PutAll(dir, "local", 2, "local");
    EXPECT_EQ(GetAll(dir, "local", true), Expected("local", 0, 2));
    EXPECT_EQ(GetAll(dir, "RELAY", true), Expected("relay", 0, 3));
}

TEST_F(EndToEnd, MessageOfAReaderKilledBeforeDelMsgIsGotAgain) {
    PutAll(dir, "RELAY", 3, "kill");
    Agent holder(dir, {"hold", "RELAY"});
    ASSERT_EQ(holder.ReadLine(), MsgLine("kill", 0));
    holder.Kill();
    std::vector<std::string> got = GetAll(dir, "RELAY", true);
    EXPECT_EQ(got, Expected("kill", 0, 3)) << "got" << Joined(got);
}

TEST_F(EndToEnd, ProducerKilledBeforeItsCommitLeavesNothingOffered) {
    Agent producer(dir, {"stall", "RELAY", "dead"});
    ASSERT_EQ(producer.ReadLine(), "STALLED");
    producer.Kill();
    PutAll(dir, "RELAY", 2, "live");
    std::vector<std::string> got = GetAll(dir, "RELAY", true);
    EXPECT_EQ(got, Expected("live", 0, 2)) << "got" << Joined(got);
}

// Killed at an arbitrary point of its puts, a producer leaves only whole
// messages: each one offered has its sender, both recipients and its body.
TEST_F(EndToEnd, ProducerKilledAmidItsPutsLeavesOnlyWholeMessages) {
    Agent producer(dir, {"put", "RELAY", "100000", "burst"});
    int done = 0;
    while (done < 25 && producer.ReadLine().rfind("PUT ", 0) == 0) ++done;
    producer.Kill();
    ASSERT_EQ(done, 25);

    std::vector<std::string> got = GetAll(dir, "RELAY", true);
    ASSERT_GE(got.size(), size_t(done)) << "a completed put went missing";
    // In order, with nothing skipped: at most the put that was under way when
    // the producer died may be missing, and only at the end.
    EXPECT_EQ(got, Expected("burst", 0, int(got.size()))) << "got" << Joined(got);
}

// A damaged spool makes the calls fail with their results; no process
// crashes.
TEST_F(EndToEnd, DamagedSpoolMakesTheCallsFail) {
    struct Case {
        const char* name;
        void (*damage)(const std::string& dir);
    } cases[] = {
        {"spool is a file",
         [](const std::string& d) { std::ofstream(d + "/spool") << "not a directory"; }},
        {"database overwritten",
         [](const std::string& d) {
             for (const char* f : {"/spool/queue.db-wal", "/spool/queue.db-shm"})
                 std::remove((d + f).c_str());
             std::ofstream db(d + "/spool/queue.db", std::ios::trunc | std::ios::binary);
             for (int i = 0; i < 512; ++i) db << "this is no database page. ";
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        InstallDir fresh;
        if (std::string(c.name) != "spool is a file") PutAll(fresh, "RELAY", 1, "before");
        c.damage(fresh.path());
        Agent probe(fresh, {"probe", "RELAY"});
        std::string line = probe.ReadLine();
        EXPECT_EQ(probe.Wait(), 0) << "the probe did not end normally: " << line;
        // Initialising fails, so no channel is known: nothing is put and
        // nothing is got, and closing what was never opened is no failure.
        EXPECT_EQ(line, "open=6 put=5 get=null close=0");
    }
}

}  // namespace
}  // namespace e2e
