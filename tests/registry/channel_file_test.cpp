// cChannel against the real file system, with the directory calls recorded
// by a double: the bytes of the channel file after each operation, the
// order of the checks and of the directory calls, and the failure paths.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <signal.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "mqchannel.h"
#include "mqresult.h"
#include "failing_syscalls.h"
#include "registry_double.h"
#include "registry_util.h"

namespace {

using regtest::Show;
const char kHost[] = "alpha.example.org";
const char kMissing[] = "<missing>";
// The file as it was before the operation.
const char kUnchanged[] = "<unchanged>";

class ChannelFile : public ::testing::Test {
protected:
    void SetUp() override {
        regtest::Reset();
        ASSERT_TRUE(install_.WriteIni(install_.dir(), kHost));
    }
    void TearDown() override { regtest::Reset(); }

    // Writes the channel file, or leaves it out for kMissing.
    void Seed(const std::string& text) {
        if (text != kMissing) {
            ASSERT_TRUE(regtest::WriteAll(install_.cfg(), text));
        }
    }
    std::string File() const { return regtest::ReadAll(install_.cfg()); }

    regtest::Install install_;
};

std::string Add(const char* app) { return std::string("add alpha.example.org ") + app; }
std::string Del(const char* app) { return std::string("del alpha.example.org ") + app; }

TEST_F(ChannelFile, Add) {
    const std::string rec1 = "ch1\t\tapp1\t\tin\r\n";
    const std::string longLine = std::string(600, 'L') + "\t\tlongapp\t\tout\r\n";
    struct {
        const char* name;
        std::string before;
        const char *channel, *application, *type;
        char flag;
        int want;
        std::string after;
        std::vector<std::string> calls;
    } cases[] = {
        {"first record, no file", kMissing, "ch1", "app1", "in", 0, MQ_SUCCESS, rec1, {Add("app1")}},
        {"flag form keeps the direction's case", rec1, "ch2", "app2", "OUT", 'C', MQ_SUCCESS,
         rec1 + "ch2\t\tapp2\t\tOUT\t\tC\r\n", {Add("app2")}},
        {"blank lines dropped wherever they stand",
         "\r\n" + rec1 + " \t\r\n\n   \r\nch3\t\tapp3\t\tin\r\n\r\n", "ch2", "app2", "in", 'c',
         MQ_SUCCESS, rec1 + "ch3\t\tapp3\t\tin\r\nch2\t\tapp2\t\tin\t\tc\r\n", {Add("app2")}},
        {"unterminated last line closed by the record's own line end", "ch1\t\tapp1\t\tin", "ch2",
         "app2", "out", 0, MQ_SUCCESS, rec1 + "ch2\t\tapp2\t\tout\r\n", {Add("app2")}},
        {"unterminated last line not glued to a flag record", "ch1\t\tapp1\t\tin", "ch2", "app2",
         "out", 'C', MQ_SUCCESS, rec1 + "ch2\t\tapp2\t\tout\t\tC\r\n", {Add("app2")}},
        {"a long line stays one line", longLine, "ch2", "app2", "in", 0, MQ_SUCCESS,
         longLine + "ch2\t\tapp2\t\tin\r\n", {Add("app2")}},
        {"a line holding only ch1 is no record of ch1", "ch1\r\n", "ch1", "app1", "in", 0,
         MQ_SUCCESS, "ch1\r\n" + rec1, {Add("app1")}},
        {"19 characters fit the store", kMissing, "c234567890123456789", "app1", "in", 0,
         MQ_SUCCESS, "c234567890123456789\t\tapp1\t\tin\r\n", {Add("app1")}},
        {"registered under another case", rec1, "CH1", "app9", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"registered with leading blanks", " " + rec1, "ch1", "app9", "in", 0,
         MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"direction inout", rec1, "ch2", "app2", "inout", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"direction empty", rec1, "ch2", "app2", "", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"direction null", rec1, "ch2", "app2", nullptr, 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"flag X", rec1, "ch2", "app2", "in", 'X', MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"channel of 20 characters", kMissing, "c2345678901234567890", "app1", "in", 0,
         MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"empty channel", kMissing, "", "app1", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"channel with a space", kMissing, "ch 1", "app1", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"channel with a tab", kMissing, "ch\t1", "app1", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"channel with a line end", kMissing, "ch1\r\n", "app1", "in", 0, MQ_ERR_CHANNEL_REQUEST,
         kUnchanged, {}},
        {"application with a space", kMissing, "ch1", "my app", "in", 0, MQ_ERR_CHANNEL_REQUEST,
         kUnchanged, {}},
        {"empty application", kMissing, "ch1", "", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        // The directory's module list is comma-separated: "evil,victim"
        // would list two names that Del never removes.
        {"application with a comma", rec1, "ch2", "evil,victim", "in", 0, MQ_ERR_CHANNEL_REQUEST,
         kUnchanged, {}},
        {"channel with a comma", rec1, "ch,2", "app2", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"null channel", kMissing, nullptr, "app1", "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"null application", kMissing, "ch1", nullptr, "in", 0, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        regtest::Reset();
        unlink(install_.cfg().c_str());
        Seed(c.before);
        cChannel registry;
        int got = registry.Add(c.channel, c.application, c.type, c.flag);
        EXPECT_EQ(got, c.want) << "Add: got " << got << ", want " << c.want;
        std::string want = c.after == kUnchanged ? c.before : c.after;
        EXPECT_EQ(File(), want) << "file: got " << Show(File()) << ", want " << Show(want);
        EXPECT_EQ(regtest::Calls(), c.calls)
            << "directory calls: got " << Show(regtest::Calls()) << ", want " << Show(c.calls);
        EXPECT_FALSE(regtest::Exists(install_.tmp())) << "queue.tmp left behind";
    }
}

TEST_F(ChannelFile, Del) {
    const std::string rec1 = "ch1\t\tapp1\t\tin\r\n";
    struct {
        const char* name;
        std::string before;
        const char* channel;
        int failCall;  // directory call that fails, -1 none
        int want;
        std::string after;
        std::vector<std::string> calls;
    } cases[] = {
        {"all records of the channel, in file order, blank lines kept",
         "\r\nCH1\t\tappA\t\tin\r\n \t\r\nch2\t\tapp2\t\tout\t\tC\r\nch1\t\tappB\t\tout\r\n\n",
         "ch1", -1, MQ_SUCCESS, "\r\n \t\r\nch2\t\tapp2\t\tout\t\tC\r\n\n",
         {Del("appA"), Del("appB")}},
        {"a record with leading blanks", " \t" + rec1 + "ch2\t\tapp2\t\tin\r\n", "CH1", -1,
         MQ_SUCCESS, "ch2\t\tapp2\t\tin\r\n", {Del("app1")}},
        {"the last record, leaving an empty file", rec1, "ch1", -1, MQ_SUCCESS, "",
         {Del("app1")}},
        {"a two-field record's application without its line end", "ch1\t\tapp1\r\n", "ch1", -1,
         MQ_SUCCESS, "", {Del("app1")}},
        {"a record without application: nothing to take out", "ch1 \r\n" + rec1, "ch1", -1,
         MQ_SUCCESS, "", {Del("app1")}},
        {"directory refuses the second record", "ch1\t\tappA\t\tin\r\nch1\t\tappB\t\tin\r\n", "ch1",
         1, MQ_ERR_DIRECTORY_DEL, kUnchanged, {Del("appA"), Del("appB")}},
        {"directory refuses the first record", rec1, "ch1", 0, MQ_ERR_DIRECTORY_DEL, kUnchanged,
         {Del("app1")}},
        {"no channel file", kMissing, "ch1", -1, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"not registered", rec1, "ch2", -1, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"a line of only ch1 is no record of it", "ch1\r\n", "ch1", -1, MQ_ERR_CHANNEL_REQUEST,
         kUnchanged, {}},
        {"empty name never matches a blank line", "  ", "", -1, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
        {"null name", rec1, nullptr, -1, MQ_ERR_CHANNEL_REQUEST, kUnchanged, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        regtest::Reset();
        unlink(install_.cfg().c_str());
        Seed(c.before);
        regtest::FailDirectoryCall(c.failCall);
        cChannel registry;
        int got = registry.Del(c.channel);
        EXPECT_EQ(got, c.want) << "Del: got " << got << ", want " << c.want;
        std::string want = c.after == kUnchanged ? c.before : c.after;
        EXPECT_EQ(File(), want) << "file: got " << Show(File()) << ", want " << Show(want);
        EXPECT_EQ(regtest::Calls(), c.calls)
            << "directory calls: got " << Show(regtest::Calls()) << ", want " << Show(c.calls);
        EXPECT_FALSE(regtest::Exists(install_.tmp())) << "queue.tmp left behind";
    }
}

TEST_F(ChannelFile, IsExist) {
    struct {
        std::string file;
        const char* channel;
        bool want;
    } cases[] = {
        {kMissing, "ch1", false},
        {"ch1\t\tapp1\t\tin\r\n", "CH1", true},
        {"\r\nch2\t\tapp2\t\tin\r\n \tch1 app1 in", "ch1", true},
        {"ch1\r\n", "ch1", false},
        {"ch10\t\tapp1\t\tin\r\n", "ch1", false},
        {std::string(5000, 'x') + "\t\tapp\r\nch1\t\tapp1\r\n", "ch1", true},
        {"ch1\t\tapp1\t\tin\r\n", nullptr, false},
    };
    for (const auto& c : cases) {
        unlink(install_.cfg().c_str());
        Seed(c.file);
        cChannel registry;
        bool got = registry.IsExist(c.channel);
        EXPECT_EQ(got, c.want) << Show(c.file.substr(0, 60)) << " / "
                               << (c.channel ? c.channel : "null") << ": got " << got
                               << ", want " << c.want;
    }
}

TEST_F(ChannelFile, InstallDirectoryWithTrailingSlash) {
    ASSERT_TRUE(install_.WriteIni(install_.dir() + "/", kHost));
    cChannel registry;
    ASSERT_EQ(registry.Add("ch1", "app1", "in", 0), MQ_SUCCESS);
    EXPECT_EQ(File(), "ch1\t\tapp1\t\tin\r\n");
}

TEST_F(ChannelFile, StaleTemporaryFileIsEmptiedAndReused) {
    ASSERT_TRUE(regtest::WriteAll(install_.tmp(), "junk\t\tjunk\t\tin\r\nmore junk\r\n"));
    cChannel registry;
    ASSERT_EQ(registry.Add("ch1", "app1", "in", 0), MQ_SUCCESS);
    EXPECT_EQ(File(), "ch1\t\tapp1\t\tin\r\n");
    EXPECT_FALSE(regtest::Exists(install_.tmp()));
}

// Every way the file work can fail: the channel file stays byte for byte,
// no temporary file is left, and the result is MQ_ERR_FILE.
TEST_F(ChannelFile, FileFailures) {
    const std::string before = "ch1\t\tapp1\t\tin\r\n";
    std::string notADir = install_.root() + "/plain";
    ASSERT_TRUE(regtest::WriteAll(notADir, "x"));
    std::string lock = install_.dir() + "/queue.cfg.lck";
    struct {
        const char* name;
        std::function<void()> arrange;
        bool del;  // Del ch1 instead of Add ch2
        std::vector<std::string> calls;
    } cases[] = {
        {"installation directory under a plain file",
         [&] { ASSERT_TRUE(install_.WriteIni(notADir, kHost)); }, false, {}},
        {"lock file can't be opened", [&] { mkdir(lock.c_str(), 0755); }, false, {}},
        {"lock file can't be opened (Del)", [&] { mkdir(lock.c_str(), 0755); }, true, {}},
        {"queue.tmp is a directory", [&] { mkdir(install_.tmp().c_str(), 0755); }, false, {}},
        {"a full disk", [] { mqtest::FailSysCall("write", ENOSPC); }, false, {Add("app2")}},
        {"a write fails", [] { mqtest::FailSysCall("write", EIO); }, false, {Add("app2")}},
        {"a short write, then a full disk", [] { mqtest::FailSysCall("short write", ENOSPC); },
         false, {Add("app2")}},
        {"the sync fails", [] { mqtest::FailSysCall("sync", EIO); }, false, {Add("app2")}},
        {"the close fails", [] { mqtest::FailSysCall("close", EIO); }, false, {Add("app2")}},
        {"rename fails", [] { mqtest::FailSysCall("rename", EXDEV); }, false, {Add("app2")}},
        {"rename fails (Del)", [] { mqtest::FailSysCall("rename", EXDEV); }, true,
         {Del("app1")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        regtest::Reset();
        ASSERT_TRUE(install_.WriteIni(install_.dir(), kHost));
        rmdir(install_.tmp().c_str());
        unlink(install_.tmp().c_str());
        rmdir(lock.c_str());
        Seed(before);
        c.arrange();
        int got;
        {
            cChannel registry;
            got = c.del ? registry.Del("ch1") : registry.Add("ch2", "app2", "in", 0);
        }
        std::vector<std::string> calls = regtest::Calls();
        regtest::Reset();
        EXPECT_EQ(got, MQ_ERR_FILE) << "got " << got << ", want " << MQ_ERR_FILE;
        EXPECT_EQ(File(), before) << "file: got " << Show(File());
        EXPECT_EQ(calls, c.calls) << "directory calls: got " << Show(calls) << ", want "
                                  << Show(c.calls);
        struct stat st;
        bool tmpIsFile = lstat(install_.tmp().c_str(), &st) == 0 && S_ISREG(st.st_mode);
        EXPECT_FALSE(tmpIsFile) << "queue.tmp left behind";
    }
}

TEST_F(ChannelFile, LinkInPlaceOfTemporaryFileIsNeverFollowed) {
    std::string victim = install_.root() + "/victim";
    ASSERT_TRUE(regtest::WriteAll(victim, "keep"));
    ASSERT_EQ(symlink(victim.c_str(), install_.tmp().c_str()), 0);
    cChannel registry;
    ASSERT_EQ(registry.Add("ch1", "app1", "in", 0), MQ_SUCCESS);
    EXPECT_EQ(File(), "ch1\t\tapp1\t\tin\r\n");
    EXPECT_EQ(regtest::ReadAll(victim), "keep") << "the link's target was written";
    EXPECT_FALSE(regtest::Exists(install_.tmp()));
}

TEST_F(ChannelFile, ChannelFileUnreadable) {
    // A directory in the channel file's place opens but can't be read: a
    // registry read only in part must not be written back.
    ASSERT_EQ(mkdir(install_.cfg().c_str(), 0755), 0);
    cChannel registry;
    int got = registry.Add("ch1", "app1", "in", 0);
    EXPECT_EQ(got, MQ_ERR_FILE) << "got " << got << ", want " << MQ_ERR_FILE;
    EXPECT_TRUE(regtest::Calls().empty()) << "got " << Show(regtest::Calls());
    rmdir(install_.cfg().c_str());
}

// A full disk, for real: the child may write no more than the channel file's
// current size, so the successor can't be written out.
TEST_F(ChannelFile, WriteFailureOnFullDisk) {
    const std::string before(400, 'a');
    Seed(before + "\t\tapp1\t\tin\r\n");
    std::string seeded = File();
    pid_t child = mqtest::Spawn([] {
        signal(SIGXFSZ, SIG_IGN);
        struct rlimit limit = {200, 200};
        setrlimit(RLIMIT_FSIZE, &limit);
        cChannel registry;
        return registry.Add("ch2", "app2", "in", 0);
    });
    ASSERT_GE(child, 0);
    int got = mqtest::Wait(child);
    EXPECT_EQ(got, MQ_ERR_FILE) << "got " << got << ", want " << MQ_ERR_FILE;
    EXPECT_EQ(File(), seeded);
    EXPECT_FALSE(regtest::Exists(install_.tmp()));
}

TEST_F(ChannelFile, List) {
    Seed("\r\nch1\t\tapp1\t\tin\r\n  \r\nCH2\t\tapp2\t\tOUT\t\tC\r\nonly\r\n"
         "ch3\t\tapp3\t\tout\t\tc");
    std::vector<std::string> got;
    auto collect = [](void* context, const char* channel, const char* application,
                      const char* direction, char flag) {
        auto* out = static_cast<std::vector<std::string>*>(context);
        out->push_back(std::string(channel) + "|" + application + "|" + direction + "|" +
                       (flag ? std::string(1, flag) : "-"));
        return out->size() == 2 && std::string(channel) == "stop" ? 1 : 0;
    };
    cChannel registry;
    ASSERT_EQ(registry.List(collect, &got), MQ_SUCCESS);
    std::vector<std::string> want = {"ch1|app1|in|-", "CH2|app2|OUT|C", "ch3|app3|out|c"};
    EXPECT_EQ(got, want) << "got " << Show(got) << ", want " << Show(want);

    Seed("a\t\tb\t\tin\r\nstop\t\tb\t\tin\r\nc\t\tb\t\tin\r\n");
    got.clear();
    ASSERT_EQ(registry.List(collect, &got), MQ_SUCCESS);
    EXPECT_EQ(got.size(), 2u) << "a non-zero callback result must stop: got " << Show(got);

    unlink(install_.cfg().c_str());
    got.clear();
    EXPECT_EQ(registry.List(collect, &got), MQ_SUCCESS);
    EXPECT_TRUE(got.empty());
    EXPECT_EQ(registry.List(nullptr, nullptr), MQ_ERR_CHANNEL_REQUEST);
}

// Two threads of one process, each with its own cChannel, add and delete
// distinct channels: no operation may be lost to the other's rewrite.
TEST_F(ChannelFile, ThreadsOfOneProcess) {
    const int kRounds = 40;
    auto work = [](char tag) {
        cChannel registry;
        for (int i = 0; i < kRounds; ++i) {
            std::string ch = std::string(1, tag) + std::to_string(i);
            if (registry.Add(ch.c_str(), "app", "in", 0) != MQ_SUCCESS) return;
            if (i % 4 != 0 && registry.Del(ch.c_str()) != MQ_SUCCESS) return;
        }
    };
    std::thread a(work, 'a'), b(work, 'b');
    a.join();
    b.join();
    cChannel registry;
    for (char tag : {'a', 'b'}) {
        for (int i = 0; i < kRounds; ++i) {
            std::string ch = std::string(1, tag) + std::to_string(i);
            EXPECT_EQ(registry.IsExist(ch.c_str()), i % 4 == 0) << ch;
        }
    }
    std::string file = File();
    size_t lines = 0;
    for (char c : file) lines += c == '\n';
    EXPECT_EQ(lines, 2u * kRounds / 4) << "got " << Show(file);
}

}  // namespace
