// tool_follow_test.cpp - deliver --follow, the delivery service, as a real
// process: mail handed on as it arrives, several commands at once, a
// deferral retried on its schedule, SIGTERM and SIGKILL with nothing lost,
// and the command lines it refuses.
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <map>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "child.h"  // Program, Spawn, Wait
#include "tool_harness.h"

namespace {

using namespace mqtest;

class ToolFollow : public ::testing::Test {
  protected:
    ToolFollow() : inst_("MinimalBackoff=1s") {}
    void SetUp() override {
        ASSERT_EQ(inst_.error(), "");
        // Records the entry's id, then exits as its body says: "defer" once
        // per marker file, "slow" after a while.
        script_ = ReadyToDeliver(
            inst_, "case \"$body\" in\n"
                   "  defer*) if [ ! -e " + inst_.dir() + "/deferred-$1 ]; then\n"
                   "      touch " + inst_.dir() + "/deferred-$1; echo 'relay down' >&2;"
                   " exit 75; fi;;\n"
                   "  slow*) sleep 0.4;;\n"
                   "  stuck*) sleep 30;;\n"
                   "esac\n"
                   "echo $1 >> " + inst_.dir() + "/handed\n");
        ASSERT_NE(script_, "");
    }
    void TearDown() override {
        if (service_ > 0) {
            kill(service_, SIGKILL);
            mqtest::Wait(service_);
        }
    }

    // Starts deliver --follow with extra options; its standard error goes
    // to follow.err.
    void StartService(const std::vector<std::string>& options) {
        std::vector<std::string> args{"deliver", "OUT", "--follow"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--", script_, "{id}"});
        args.insert(args.begin(), MQCTL_BIN);
        Program mqctl(args, {"MQ_CONFIG_DIR=" + inst_.dir(), "MQ_LOG=" + inst_.dir() + "/mq.log"});
        std::string err = inst_.dir() + "/follow.err";
        service_ = mqtest::Spawn([&]() -> int {
            freopen(err.c_str(), "a", stderr);
            mqctl.Exec();
        });
    }
    // The service's exit status (-1 when a signal ended it).
    int StopService(int signal) {
        kill(service_, signal);
        int status = mqtest::Wait(service_);
        service_ = 0;
        return status < 0 ? -1 : status;
    }
    std::string Put(const std::string& body) {
        std::string out = Ok(inst_, {"put", "OUT", "--from", "a@b.org", "--to", "x@y.org"}, body).out;
        return out.substr(0, out.find_first_of(" \n"));
    }
    // How often each entry was handed on.
    std::map<std::string, int> Handed() const {
        std::map<std::string, int> counts;
        std::istringstream in(ReadFileText(inst_.dir() + "/handed"));
        for (std::string id; std::getline(in, id);) ++counts[id];
        return counts;
    }
    // Waits (at most 20 s) until n entries were handed on.
    bool WaitHanded(size_t n) const {
        for (int i = 0; i < 400; ++i) {
            if (Handed().size() >= n) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        return false;
    }
    // A pgrep pattern for the command run for entry id, which does not
    // match the shell that runs pgrep.
    std::string Pattern(const std::string& id) const {
        return script_.substr(0, script_.size() - 1) + "[h] " + id;
    }
    std::string Log() const { return ReadFileText(inst_.dir() + "/follow.err"); }

    Installation inst_;
    std::string script_;
    pid_t service_ = 0;
};

// Mail put while the service runs is handed on, each message once, several
// at a time; a deferred one comes again after its backoff; one log line per
// attempt.
TEST_F(ToolFollow, HandsOnMailAsItArrivesAndRetriesDeferredMail) {
    StartService({"--concurrency", "4"});
    std::vector<std::string> ids;
    for (int i = 0; i < 8; ++i) ids.push_back(Put("slow"));
    std::string deferred = Put("defer");
    ASSERT_TRUE(WaitHanded(9)) << Log();
    EXPECT_EQ(StopService(SIGTERM), 0);
    std::map<std::string, int> handed = Handed();
    for (const std::string& id : ids) EXPECT_EQ(handed[id], 1) << "entry " << id;
    EXPECT_EQ(handed[deferred], 1);
    std::string log = Log();
    EXPECT_NE(log.find("id=" + deferred + " channel=OUT status=deferred attempt=1 delay="),
              std::string::npos)
        << log;
    EXPECT_NE(log.find("reason=\"exit 75: relay down\""), std::string::npos) << log;
    EXPECT_NE(log.find("id=" + deferred + " channel=OUT status=sent attempt=2 "),
              std::string::npos)
        << log;
    EXPECT_EQ(Ok(inst_, {"list", "--count"}).out, "0\n");
}

// SIGTERM waits for the running command up to --stop-timeout, then stops
// it and gives its entry back untried; SIGKILL leaves the store to give
// back what it held. Nothing is lost either way.
TEST_F(ToolFollow, StoppedOrKilledItLosesNothing) {
    struct Case {
        const char* name;
        int signal;
        int exit;  // -1: killed
    } cases[] = {{"SIGTERM", SIGTERM, 0}, {"SIGINT", SIGINT, 0}, {"SIGKILL", SIGKILL, -1}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::string stuck = Put("stuck");
        std::string waiting = Put("ok");
        StartService({"--stop-timeout", "1"});
        // The stuck command holds the only slot.
        for (int i = 0; i < 200 &&
                        system(("pgrep -f '" + Pattern(stuck) + "' > /dev/null").c_str()) != 0;
             ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        EXPECT_EQ(StopService(c.signal), c.exit);
        // Both stay queued, due now, nothing counted but for the dead reader.
        std::vector<Json> shown;
        ASSERT_TRUE(Ok(inst_, {"list", "--json"}).Json(&shown));
        ASSERT_EQ(shown.size(), 2u);
        for (const Json& e : shown) {
            EXPECT_EQ(e["state"].str, "queued");
            EXPECT_EQ(e["next_attempt"].Int(), 0) << "entry " << e["id"].Int();
            EXPECT_EQ(e["deferrals"].Int(), 0);
        }
        ASSERT_EQ(Ok(inst_, {"delete", stuck, waiting, "-q"}).status, 0);
        // The stuck command's sleep, left by the SIGKILL (its script's
        // unique path names it).
        if (system(("pkill -f '" + Pattern(stuck) + "'").c_str()) < 0) ADD_FAILURE();
    }
}

// Numbers that make no sense, and options without --follow, are usage
// errors; a command that can't be run stops the service with 75.
TEST_F(ToolFollow, RefusesNonsenseAndStopsWhenTheCommandCantRun) {
    const std::vector<std::vector<std::string>> bad = {
        {"--follow", "--concurrency", "0"},   {"--follow", "--concurrency", "-2"},
        {"--follow", "--concurrency", "many"}, {"--follow", "--stop-timeout", "0"},
        {"--follow", "--stop-timeout", "1.5"}, {"--concurrency", "2"},
        {"--follow", "--max", "3"},
    };
    for (const auto& options : bad) {
        std::vector<std::string> args{"deliver", "OUT"};
        args.insert(args.end(), options.begin(), options.end());
        args.insert(args.end(), {"--", script_});
        RunResult r = inst_.Run(args);
        EXPECT_EQ(r.status, 64) << options[options.size() - 1] << ": " << r.err;
    }
    std::string id = Put("ok");
    RunResult missing =
        inst_.Run({"deliver", "OUT", "--follow", "--", inst_.dir() + "/no-such-command"});
    EXPECT_EQ(missing.status, 75) << missing.err;
    std::vector<Json> shown;
    ASSERT_TRUE(Ok(inst_, {"show", id, "--json"}).Json(&shown));
    EXPECT_EQ(shown[0]["state"].str, "queued");
    EXPECT_EQ(shown[0]["next_attempt"].Int(), 0) << "given back untried";
}

}  // namespace
