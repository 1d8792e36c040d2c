// tool_errors_test.cpp - what mqctl does with bad input: one line on
// standard error naming what is wrong, a non-zero exit, nothing on standard
// output, and nothing changed in the channel file, the queue or the
// directory.
#include <sys/stat.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_harness.h"

namespace mqtest {
namespace {

struct BadCase {
    const char* name;
    std::vector<std::string> args;
    std::string input;
    int wantStatus;
    const char* wantInError;  // a part of the one error line
};

class ToolBadInput : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(inst_.error(), "");
        ASSERT_EQ(inst_.Run({"channel", "add", "RELAY", "relay", "out"}).status, 0);
        RunResult put = inst_.Run({"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org"}, "1");
        ASSERT_EQ(put.status, 0) << put.err;
        id_ = put.out.substr(0, put.out.find_first_of(" \n"));
        ASSERT_EQ(inst_.Run({"hold", id_}).status, 0);
    }
    Installation inst_;
    std::string id_;  // a held entry of RELAY
};

TEST_F(ToolBadInput, OneErrorLineNonZeroExitNothingChanged) {
    const BadCase cases[] = {
        {"unknown command", {"frobnicate"}, "", 64, "unknown command \"frobnicate\""},
        {"no command", {}, "", 64, "no command given"},
        {"unknown channel subcommand", {"channel", "rename", "A"}, "", 64, "unknown command"},
        {"unknown option", {"list", "--bogus"}, "", 64, "unknown option --bogus"},
        {"option without its value", {"list", "--from"}, "", 64, "--from needs a value"},
        {"two output forms", {"list", "--json", "--ids"}, "", 64, "--ids and --json exclude"},
        {"identifiers counted", {"list", "--count", "--ids"}, "", 64, "--ids and --count exclude"},
        {"an option but no command", {"--json"}, "", 64, "no command given"},
        {"value for a flag", {"get", "RELAY", "--delete=yes"}, "", 64, "takes no value"},
        {"bad sender", {"put", "RELAY", "--from", "1alice@example.org", "--to", "b@c.org"}, "x",
         65, "MQ_ERR_BAD_ADDRESS (4): the address fails the address check"},
        {"bad recipient", {"put", "RELAY", "--from", "a@b.org", "--to", "bob"}, "x", 65,
         "recipient bob: MQ_ERR_BAD_ADDRESS (4)"},
        {"no recipient", {"put", "RELAY", "--from", "a@b.org"}, "x", 64, "--to"},
        {"two senders", {"put", "RELAY", "--from", "a@b.org", "--from", "c@d.org", "--to", "e@f.org"},
         "x", 64, "exactly one --from"},
        {"put to unknown channel", {"put", "NOPE", "--from", "a@b.org", "--to", "c@d.org"}, "x",
         75, "channel NOPE is not in queue.cfg: MQ_ERR_NO_CHANNEL (5)"},
        {"put of a missing file", {"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org",
                                   "/nonexistent/body"}, "", 66, "open /nonexistent/body"},
        {"get of unknown channel", {"get", "NOPE"}, "", 75, "channel NOPE: MQ_ERR_NO_CHANNEL (5)"},
        {"list of unknown channel", {"list", "NOPE"}, "", 75, "MQ_ERR_NO_CHANNEL (5)"},
        {"bad regular expression", {"list", "--to", "(unclosed"}, "", 64, "--to (unclosed"},
        {"bad age", {"list", "--older-than", "5x"}, "", 64, "not an age"},
        {"show unknown id", {"show", "4000000000"}, "", 66, "no entry has identifier 4000000000"},
        {"show bad id", {"show", "12x"}, "", 64, "not an entry identifier: 12x"},
        {"show id 0", {"show", "0"}, "", 64, "not an entry identifier: 0"},
        {"delete of a malformed id on stdin", {"delete", "-"}, "12\nx7\n", 64,
         "not an entry identifier: x7"},
        {"delete all in small letters", {"delete", "all", "RELAY"}, "", 64,
         "not an entry identifier: all"},
        {"delete ALL without channel", {"delete", "ALL"}, "", 64, "ALL goes with one channel"},
        {"delete ALL of unknown channel", {"delete", "ALL", "NOPE"}, "", 75,
         "MQ_ERR_NO_CHANNEL (5)"},
        {"hold ALL", {"hold", "ALL", "RELAY"}, "", 64, "not ALL"},
        {"channel add twice", {"channel", "add", "relay", "other", "in"}, "", 1,
         "already registered: MQ_ERR_CHANNEL_REQUEST (19)"},
        {"channel add bad direction", {"channel", "add", "NEW", "app", "sideways"}, "", 1,
         "bad direction: in or out: MQ_ERR_CHANNEL_REQUEST (19)"},
        // "evil,victim" would list two modules in the host's entry.
        {"application name with a comma", {"channel", "add", "C2", "evil,victim", "in"}, "", 1,
         "bad application name"},
        {"channel name with a comma", {"channel", "add", "C,2", "app", "in"}, "", 1,
         "bad channel name"},
        {"channel del of a channel holding entries", {"channel", "del", "relay"}, "", 1,
         "still holds 1 entry (0 queued, 1 held, 0 failed)"},
        {"recipient with a line end", {"put", "RELAY", "--from", "a@b.org", "--to", "x@evil.org\n2"},
         "x", 65, "recipient x@evil.org\\n2: holds the control character \\x0a"},
        {"sender with a NUL-free control", {"put", "RELAY", "--from", "a@b.org\r", "--to", "c@d.org"},
         "x", 65, "MQ_ERR_BAD_ADDRESS (4)"},
        {"mistyped command", {"lsit"}, "", 64, "did you mean \"list\""},
        {"mistyped channel command", {"channel", "dle", "RELAY"}, "", 64,
         "did you mean \"channel del\""},
        {"help of an unknown command", {"help", "frobnicate"}, "", 64, "unknown command"},
        {"channel add bad flag", {"channel", "add", "NEW", "app", "in", "--flag", "CC"}, "", 64,
         "--flag takes one letter"},
        {"channel del unknown", {"channel", "del", "NOPE"}, "", 1,
         "not registered: MQ_ERR_CHANNEL_REQUEST (19)"},
        {"config of another name", {"--config", "/etc/passwd", "list"}, "", 64,
         "named daduv.ini"},
    };
    // Each case's snapshot afterwards is the next one's before: every run
    // of mqctl counts, above all under an emulator.
    std::string before = inst_.Snapshot();
    for (BadCase tc : cases) {
        // "" in the arguments stands for the held entry's identifier.
        for (std::string& a : tc.args) {
            if (a.empty()) a = id_;
        }
        RunResult r = inst_.Run(tc.args, tc.input);
        EXPECT_EQ(r.status, tc.wantStatus) << tc.name << ": stderr " << r.err;
        std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << tc.name << ": got stderr\n" << r.err;
        EXPECT_EQ(lines[0].rfind("mqctl: ", 0), 0u) << tc.name << ": got " << lines[0];
        EXPECT_NE(lines[0].find(tc.wantInError), std::string::npos)
            << tc.name << ": got " << lines[0] << ", want it to hold " << tc.wantInError;
        EXPECT_EQ(r.out, "") << tc.name;
        std::string after = inst_.Snapshot();
        EXPECT_EQ(after, before) << tc.name << ": something changed";
        before = after;
    }
    // The registry logs each refusal's cause as well, for other callers.
    std::string log = ReadFileText(inst_.dir() + "/mq.log");
    for (const char* cause : {"add channel \"C2\": refused: bad application name",
                              "add channel \"relay\": refused: already registered",
                              "delete channel \"NOPE\": refused: not registered"}) {
        EXPECT_NE(log.find(cause), std::string::npos) << "log lacks " << cause << ":\n" << log;
    }
}

// Configuration that can't be used: every command refuses before touching
// anything; check says what is wrong.
TEST(ToolConfiguration, MissingOrUnreadableConfigurationIsRefused) {
    struct Case {
        const char* name;
        void (*spoil)(const std::string& dir);
        const char* wantInError;
    } cases[] = {
        {"missing", [](const std::string& d) { std::remove((d + "/daduv.ini").c_str()); },
         "daduv.ini not found"},
        // A directory in the file's place: unreadable as a file, for root too.
        {"not a file",
         [](const std::string& d) {
             std::remove((d + "/daduv.ini").c_str());
             mkdir((d + "/daduv.ini").c_str(), 0700);
         },
         "is not a regular file"},
        {"no installation directory",
         [](const std::string& d) { WriteFileText(d + "/daduv.ini", "[Config]\n"); },
         "no InstallDirectory"},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"channel", "add", "RELAY", "relay", "out"},
        {"channel", "list"},
        {"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org"},
        {"list"},
        {"delete", "1"},
        {"summary"},
    };
    for (const Case& tc : cases) {
        Installation inst;
        ASSERT_EQ(inst.error(), "");
        tc.spoil(inst.dir());
        for (const auto& args : commands) {
            RunResult r = inst.Run(args, "body");
            EXPECT_EQ(r.status, 75) << tc.name << " " << args[0];
            ASSERT_EQ(r.ErrLines().size(), 1u) << tc.name << " " << args[0] << ": " << r.err;
            EXPECT_NE(r.err.find(tc.wantInError), std::string::npos)
                << tc.name << " " << args[0] << ": got " << r.err;
            EXPECT_EQ(r.out, "");
        }
        struct stat st;
        EXPECT_NE(stat((inst.dir() + "/queue.cfg").c_str(), &st), 0) << tc.name;
        EXPECT_NE(stat((inst.dir() + "/spool").c_str(), &st), 0) << tc.name;
        EXPECT_TRUE(inst.Modules().empty()) << tc.name;

        RunResult check = inst.Run({"check"});
        EXPECT_EQ(check.status, 1) << tc.name;
        EXPECT_NE(check.out.find("PROBLEM"), std::string::npos) << tc.name << ": " << check.out;
        EXPECT_NE(check.out.find("fix: "), std::string::npos) << tc.name;
    }
}

TEST(ToolConfiguration, ConfigOptionNamesTheInstallation) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    // MQ_CONFIG_DIR points elsewhere; --config wins, by file or by directory.
    for (const std::string& path : {inst.dir() + "/daduv.ini", inst.dir()}) {
        RunResult r = inst.Run({"--config", path, "channel", "list", "--json"}, "",
                               {"MQ_CONFIG_DIR=/nonexistent"});
        EXPECT_EQ(r.status, 0) << path << ": " << r.err;
        RunResult after = inst.Run({"list", "--config=" + path}, "", {"MQ_CONFIG_DIR=/nonexistent"});
        EXPECT_EQ(after.status, 0) << path << ": " << after.err;
    }
}

}  // namespace
}  // namespace mqtest
