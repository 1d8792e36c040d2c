// The channel registry end to end: cChannel against a private slapd, the
// directory's state read back with ldapsearch after every step, crashes
// and concurrent registries in real processes.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "child.h"
#include "loopback_port.h"
#include "mqchannel.h"
#include "mqresult.h"
#include "registry_util.h"
#include "slapd_fixture.h"

namespace {

using regtest::Show;
const char kHost[] = "alpha.example.org";
const char kHostDn[] = "host=alpha.example.org,dc=alpha,dc=example,dc=org";

using mqtest::Spawn;
using mqtest::Wait;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

std::vector<std::string> SplitList(const std::string& list) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= list.size() && !list.empty()) {
        size_t end = list.find(',', start);
        if (end == std::string::npos) end = list.size();
        names.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return names;
}

std::string Record(const std::string& channel, const std::string& app, char flag) {
    return channel + "\t\t" + app + "\t\tin" + (flag ? std::string("\t\t") + flag : "") + "\r\n";
}

class Registry : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = mqtest::Slapd::Get();
        ASSERT_NE(server_, nullptr) << mqtest::Slapd::error();
        ASSERT_EQ(server_->AddHost(kHost, {}), "");
        ASSERT_TRUE(WriteIni(install_.configDir(), Writer()));
    }

    mqtest::LdapIni Writer() const {
        mqtest::LdapIni ini;
        ini.user = mqtest::Slapd::kWriterDn;
        ini.password = mqtest::Slapd::kWriterPassword;
        ini.hostname = kHost;
        ini.installDirectory = install_.dir();
        return ini;
    }
    bool WriteIni(const std::string& dir, const mqtest::LdapIni& ini) const {
        return !server_->WriteIni(dir, ini).empty();
    }

    // The host entry's module list as the server holds it ("" for none).
    std::string Modules() {
        bool ok = false;
        std::vector<std::string> values = server_->Modules(kHostDn, &ok);
        EXPECT_TRUE(ok) << "ldapsearch failed";
        EXPECT_LE(values.size(), 1u) << "got " << Show(values);
        return values.empty() ? "" : values[0];
    }
    std::string File() const { return regtest::ReadAll(install_.cfg()); }

    mqtest::Slapd* server_ = nullptr;
    regtest::Install install_;
};

TEST_F(Registry, FileAndDirectoryInStep) {
    const std::string rec1 = "ch1\t\tapp1\t\tin\r\n", rec2 = "ch2\t\tapp2\t\tOUT\t\tC\r\n";
    struct {
        const char* step;
        std::function<int(cChannel&)> op;
        int want;
        std::string file, modules;
    } steps[] = {
        {"add ch1", [](cChannel& r) { return r.Add("ch1", "app1", "in", 0); }, MQ_SUCCESS, rec1,
         "app1"},
        {"add ch2 with flag", [](cChannel& r) { return r.Add("ch2", "app2", "OUT", 'C'); },
         MQ_SUCCESS, rec1 + rec2, "app1,app2"},
        {"add CH1 again", [](cChannel& r) { return r.Add("CH1", "app3", "in", 0); },
         MQ_ERR_CHANNEL_REQUEST, rec1 + rec2, "app1,app2"},
        {"add with a bad direction", [](cChannel& r) { return r.Add("ch3", "app3", "inout", 0); },
         MQ_ERR_CHANNEL_REQUEST, rec1 + rec2, "app1,app2"},
        {"add a name the store can't hold",
         [](cChannel& r) { return r.Add("a-channel-name-too-long", "app3", "in", 0); },
         MQ_ERR_CHANNEL_REQUEST, rec1 + rec2, "app1,app2"},
        {"del CH1", [](cChannel& r) { return r.Del("CH1"); }, MQ_SUCCESS, rec2, "app2"},
        {"del ch1 again", [](cChannel& r) { return r.Del("ch1"); }, MQ_ERR_CHANNEL_REQUEST, rec2,
         "app2"},
        {"del ch2", [](cChannel& r) { return r.Del("ch2"); }, MQ_SUCCESS, "", ""},
    };
    for (const auto& s : steps) {
        SCOPED_TRACE(s.step);
        cChannel registry;
        int got = s.op(registry);
        EXPECT_EQ(got, s.want) << "got " << got << ", want " << s.want;
        EXPECT_EQ(File(), s.file) << "file: got " << Show(File()) << ", want " << Show(s.file);
        std::string modules = Modules();
        EXPECT_EQ(modules, s.modules) << "modules: got " << Show(modules) << ", want "
                                      << Show(s.modules);
    }
}

// The server says no: the result names the failed side and neither the file
// nor the directory changes.
TEST_F(Registry, DirectoryRefuses) {
    const std::string seeded = "ch1\t\tapp0\t\tin\r\n";
    mqtest::LoopbackPort closed(false);  // bound, nothing listens
    ASSERT_NE(closed.port(), 0);
    struct {
        const char* name;
        std::function<void(mqtest::LdapIni*)> change;
    } cases[] = {
        {"read-only account",
         [](mqtest::LdapIni* ini) {
             ini->user = mqtest::Slapd::kReaderDn;
             ini->password = mqtest::Slapd::kReaderPassword;
         }},
        {"wrong password", [](mqtest::LdapIni* ini) { ini->password = "wrong"; }},
        {"no entry for the host", [](mqtest::LdapIni* ini) { ini->hostname = "beta.example.org"; }},
        {"nothing listens", [&](mqtest::LdapIni* ini) { ini->port = closed.text(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(server_->AddHost(kHost, {"app0"}), "");
        ASSERT_TRUE(regtest::WriteAll(install_.cfg(), seeded));
        mqtest::LdapIni ini = Writer();
        c.change(&ini);
        ASSERT_TRUE(WriteIni(install_.configDir(), ini));
        cChannel registry;
        int got = registry.Add("ch2", "app2", "in", 0);
        EXPECT_EQ(got, MQ_ERR_DIRECTORY_ADD) << "Add: got " << got;
        got = registry.Del("ch1");
        EXPECT_EQ(got, MQ_ERR_DIRECTORY_DEL) << "Del: got " << got;
        EXPECT_EQ(File(), seeded) << "file: got " << Show(File());
        EXPECT_EQ(Modules(), "app0");
        EXPECT_FALSE(regtest::Exists(install_.tmp())) << "queue.tmp left behind";
    }
}

TEST_F(Registry, UnwritablePlaceTouchesNeitherSide) {
    std::string plain = install_.root() + "/plain";
    ASSERT_TRUE(regtest::WriteAll(plain, "x"));
    mqtest::LdapIni ini = Writer();
    ini.installDirectory = plain + "/mq";
    ASSERT_TRUE(WriteIni(install_.configDir(), ini));
    cChannel registry;
    int got = registry.Add("ch1", "app1", "in", 0);
    EXPECT_EQ(got, MQ_ERR_FILE) << "got " << got << ", want " << MQ_ERR_FILE;
    EXPECT_EQ(Modules(), "");
}

// A registry killed while it holds the lock, its successor half written and
// its directory call unanswered: the channel file is the old one, the lock
// goes with the process, and a waiting registry then goes ahead.
TEST_F(Registry, KilledWhileHoldingTheLock) {
    {
        cChannel registry;
        ASSERT_EQ(registry.Add("ch1", "app1", "in", 0), MQ_SUCCESS);
    }
    const std::string before = File();
    mqtest::LoopbackPort silent(true);  // takes connections, never answers
    ASSERT_NE(silent.port(), 0);
    std::string stuckConfig = install_.root() + "/stuck";
    mkdir(stuckConfig.c_str(), 0755);
    mqtest::LdapIni ini = Writer();
    ini.port = silent.text();
    ASSERT_TRUE(WriteIni(stuckConfig, ini));

    pid_t stuck = Spawn([&] {
        setenv("MQ_CONFIG_DIR", stuckConfig.c_str(), 1);
        cChannel registry;
        return registry.Add("ch2", "app2", "in", 0);
    });
    ASSERT_GT(stuck, 0);
    for (int i = 0; i < 500 && !regtest::Exists(install_.tmp()); ++i) usleep(10 * 1000);
    ASSERT_TRUE(regtest::Exists(install_.tmp())) << "the stuck registry never began its rewrite";

    pid_t waiting = Spawn([] {
        cChannel registry;
        return registry.Add("ch3", "app3", "in", 0);
    });
    ASSERT_GT(waiting, 0);
    usleep(300 * 1000);
    int status = 0;
    EXPECT_EQ(waitpid(waiting, &status, WNOHANG), 0) << "a second registry ran beside the first";
    EXPECT_EQ(File(), before) << "file changed under the lock: " << Show(File());

    kill(stuck, SIGKILL);
    EXPECT_EQ(Wait(stuck), -SIGKILL);
    EXPECT_EQ(Wait(waiting), MQ_SUCCESS);
    std::string want = before + "ch3\t\tapp3\t\tin\r\n";
    EXPECT_EQ(File(), want) << "got " << Show(File()) << ", want " << Show(want);
    EXPECT_EQ(Modules(), "app1,app3");
    EXPECT_FALSE(regtest::Exists(install_.tmp()));
}

// Killed at arbitrary moments of adding and deleting: after every kill the
// channel file is a whole registry, the seeded record and at most one other.
TEST_F(Registry, KilledAtRandomMomentsLeavesAWholeFile) {
    const std::string seed = "ch1\t\tapp1\t\tin\r\n";
    ASSERT_TRUE(regtest::WriteAll(install_.cfg(), seed));
    std::mt19937 random(12345);
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        pid_t child = Spawn([round] {
            cChannel registry;
            for (int i = 0;; ++i) {
                std::string ch = "v" + std::to_string(round) + "x" + std::to_string(i);
                registry.Add(ch.c_str(), "appv", "in", 0);
                registry.Del(ch.c_str());
            }
            return 0;
        });
        ASSERT_GT(child, 0);
        usleep(static_cast<useconds_t>(20000 + random() % 150000));
        kill(child, SIGKILL);
        Wait(child);
        int seeds = 0, others = 0;
        for (const std::string& line : Lines(File())) {
            if (line == seed) {
                ++seeds;
            } else {
                size_t tab = line.find('\t');
                ASSERT_NE(tab, std::string::npos) << "a broken line: " << Show(line);
                EXPECT_EQ(line.rfind("v" + std::to_string(round) + "x", 0), 0u) << Show(line);
                EXPECT_EQ(line.substr(tab), "\t\tappv\t\tin\r\n") << Show(line);
                ++others;
            }
        }
        EXPECT_EQ(seeds, 1) << "got " << Show(File());
        EXPECT_LE(others, 1) << "got " << Show(File());
        // Whatever the killed registry left, the next one goes ahead.
        std::vector<std::string> lines = Lines(File());
        cChannel registry;
        for (const std::string& line : lines) {
            if (line == seed) continue;
            ASSERT_EQ(registry.Del(line.substr(0, line.find('\t')).c_str()), MQ_SUCCESS);
        }
        ASSERT_EQ(File(), seed);
    }
}

// Four processes add and delete distinct channels at once, fifty each; the
// records kept and the module names kept are exactly the expected ones.
TEST_F(Registry, FourProcessesUnderLoad) {
    const int kProcesses = 4, kRounds = 50;
    auto kept = [](int i) { return i % 10 == 0 || i % 10 == 5; };
    auto channel = [](int p, int i) { return "p" + std::to_string(p) + "c" + std::to_string(i); };
    auto app = [](int p, int i) { return "m" + std::to_string(p) + "x" + std::to_string(i); };
    std::vector<pid_t> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(Spawn([&, p] {
            cChannel registry;
            int failures = 0;
            for (int i = 0; i < kRounds; ++i) {
                char flag = i % 2 ? 'C' : 0;
                if (registry.Add(channel(p, i).c_str(), app(p, i).c_str(), "in", flag) != 0) {
                    ++failures;
                } else if (!kept(i) && registry.Del(channel(p, i).c_str()) != 0) {
                    ++failures;
                }
            }
            return std::min(failures, 100);
        }));
        ASSERT_GT(children.back(), 0);
    }
    for (pid_t child : children) EXPECT_EQ(Wait(child), 0) << "failed operations in a child";

    std::map<std::string, int> want;  // record -> its process's next expected rank
    std::vector<std::string> wantNames;
    for (int p = 0; p < kProcesses; ++p) {
        for (int i = 0; i < kRounds; ++i) {
            if (!kept(i)) continue;
            want[Record(channel(p, i), app(p, i), i % 2 ? 'C' : 0)] = p * 1000 + i;
            wantNames.push_back(app(p, i));
        }
    }
    std::string file = File();
    std::vector<std::string> lines = Lines(file);
    EXPECT_EQ(lines.size(), want.size()) << "got " << Show(file);
    std::vector<int> lastOfProcess(kProcesses, -1);
    for (const std::string& line : lines) {
        auto it = want.find(line);
        ASSERT_NE(it, want.end()) << "unexpected line " << Show(line);
        int p = it->second / 1000, i = it->second % 1000;
        EXPECT_GT(i, lastOfProcess[p]) << "records of process " << p << " out of order";
        lastOfProcess[p] = i;
        want.erase(it);
    }
    EXPECT_TRUE(want.empty()) << want.size() << " expected records missing";

    std::vector<std::string> names = SplitList(Modules());
    std::sort(names.begin(), names.end());
    std::sort(wantNames.begin(), wantNames.end());
    EXPECT_EQ(names, wantNames) << "modules: got " << Show(names) << ", want " << Show(wantNames);
}

}  // namespace
