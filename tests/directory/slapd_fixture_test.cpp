// The private slapd must go away with the test program, however the program
// ends: a failed assertion, an abort, or SIGKILL.
#include <signal.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "slapd_fixture.h"

namespace {

bool Alive(pid_t pid) {
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string field;
    for (int i = 0; i < 3 && stat >> field; ++i) {
    }
    return stat && field != "Z";
}

// Waits up to about five seconds for pid to be gone.
bool GoneSoon(pid_t pid) {
    for (int i = 0; i < 100; ++i) {
        if (!Alive(pid)) return true;
        usleep(50 * 1000);
    }
    return false;
}

// Runs this program's own ChildServer case in a child, which starts a
// server, prints "server=<pid>" and then ends as how says. Returns the
// server's pid, or 0.
pid_t RunChild(const char* how) {
    mqtest::Child child(mqtest::Program({"/proc/self/exe", "--gtest_filter=SlapdChild.Server"},
                                        {std::string("MQTEST_SLAPD_CHILD=") + how}),
                        true);
    std::string text;
    char buf[512];
    ssize_t n;
    pid_t server = 0;
    while ((n = read(child.output(), buf, sizeof buf)) > 0) {
        text.append(buf, static_cast<size_t>(n));
        size_t at = text.find("server=");
        if (at != std::string::npos && text.find('\n', at) != std::string::npos) {
            server = static_cast<pid_t>(std::atol(text.c_str() + at + 7));
            if (std::string(how) == "kill") kill(child.pid(), SIGKILL);
        }
    }
    child.Finish("", nullptr, nullptr);
    return server;
}

}  // namespace

// Not a test of its own: the body of the child that RunChild starts.
TEST(SlapdChild, Server) {
    const char* how = std::getenv("MQTEST_SLAPD_CHILD");
    if (how == nullptr) GTEST_SKIP() << "runs only as a child of SlapdFixture tests";
    mqtest::Slapd* server = mqtest::Slapd::Get();
    ASSERT_NE(server, nullptr) << mqtest::Slapd::error();
    std::printf("server=%d\n", static_cast<int>(server->pid()));
    std::fflush(stdout);
    std::string mode = how;
    if (mode == "abort") std::abort();
    if (mode == "kill") pause();  // the parent kills us
    if (mode == "fail") FAIL() << "a failing test must still stop the server";
}

TEST(SlapdFixture, ServerGoesWithTheProgram) {
    for (const char* how : {"fail", "abort", "kill"}) {
        pid_t server = RunChild(how);
        ASSERT_GT(server, 0) << how << ": the child reported no server";
        EXPECT_TRUE(GoneSoon(server)) << how << ": got slapd " << server
                                      << " still running, want it stopped";
    }
}

TEST(SlapdFixture, LoadsAndReadsHostEntries) {
    mqtest::Slapd* server = mqtest::Slapd::Get();
    ASSERT_NE(server, nullptr) << mqtest::Slapd::error();
    ASSERT_EQ(server->AddHost("fix.example.net", {"archive", "relay"}), "");
    bool ok = false;
    auto got = server->Modules("host=fix.example.net,dc=fix,dc=example,dc=net", &ok);
    ASSERT_TRUE(ok);
    EXPECT_EQ(got, (std::vector<std::string>{"archive", "relay"}));
}
