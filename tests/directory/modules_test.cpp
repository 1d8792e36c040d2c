// Module registration against a real slapd: the list rules, host names that
// need escaping, the 511-character limit, the port rule and the failures a
// real server gives. Every outcome is read back with ldapsearch.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_tail.h"
#include "loopback_port.h"
#include "mqdirectory.h"
#include "slapd_fixture.h"

namespace {

using mqtest::LdapIni;
using mqtest::Slapd;
using Values = std::vector<std::string>;

const char kHost[] = "m1.example.org";
const char kHostDn[] = "host=m1.example.org,dc=m1,dc=example,dc=org";

std::string Show(const Values& v) {
    std::string s = "{";
    for (const std::string& x : v) s += "\"" + x + "\" ";
    return s + "}";
}

class ModulesTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = Slapd::Get();
        ASSERT_NE(server_, nullptr) << Slapd::error();
        dir_ = mqtest::MakeTempDir("mqtest-modules");
        ASSERT_FALSE(dir_.empty());
        setenv("MQ_CONFIG_DIR", dir_.c_str(), 1);
        ASSERT_NE(WriteIni(Writer()), "");
    }
    void TearDown() override {
        unsetenv("MQ_CONFIG_DIR");
        mqtest::RemoveTree(dir_);
    }

    LdapIni Writer() const {
        LdapIni ini;
        ini.user = Slapd::kWriterDn;
        ini.password = Slapd::kWriterPassword;
        ini.hostname = "not-the-server.example.org";  // the registry's key, unused here
        return ini;
    }
    std::string WriteIni(const LdapIni& ini) { return server_->WriteIni(dir_, ini); }

    Slapd* server_ = nullptr;
    std::string dir_;
};

enum Op { kAdd, kDel };

bool Call(Op op, const char* host, const char* name) {
    return op == kAdd ? AddModuleName(host, name) : DelModuleName(host, name);
}

const char* OpName(Op op) { return op == kAdd ? "AddModuleName" : "DelModuleName"; }

TEST_F(ModulesTest, ListRules) {
    struct Case {
        Values stored;  // the entry's "modules" values before
        Op op;
        const char* name;
        Values want;  // after, as ldapsearch reads them
    } cases[] = {
        {{}, kAdd, "relay", {"relay"}},
        {{}, kDel, "relay", {}},
        {{"archive,relay"}, kAdd, "Relay", {"archive,relay"}},
        {{"archive,relay"}, kAdd, "scan", {"archive,relay,scan"}},
        {{",archive,,"}, kAdd, "scan", {",archive,,,scan"}},
        {{"relay,archive,relay"}, kDel, "RELAY", {"archive"}},
        {{"archive"}, kDel, "archive", {}},
        {{",archive,,relay"}, kDel, "relay", {"archive"}},
        {{"archive"}, kDel, "relay", {"archive"}},
        {{"x"}, kAdd, "a,b", {"x,a,b"}},
        {{"x,a,b"}, kDel, "a,b", {"x,a,b"}},
        {{}, kAdd, "", {}},
        {{"archive"}, kAdd, "", {"archive,"}},
        {{"archive"}, kDel, "", {"archive"}},
        {{"ar chive"}, kAdd, "ar", {"ar chive,ar"}},  // spaces belong to the names
        {{"archive", "relay"}, kAdd, "scan", {"relay,scan"}},
        {{"archive", "relay"}, kAdd, "archive", {"archive", "relay"}},
        {{"archive", "relay"}, kDel, "archive", {"relay"}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(server_->AddHost(kHost, c.stored), "");
        bool got = Call(c.op, kHost, c.name);
        std::string what = std::string(OpName(c.op)) + "(\"" + c.name + "\") on " + Show(c.stored);
        EXPECT_TRUE(got) << what << ": got false, want true";
        bool ok = false;
        Values after = server_->Modules(kHostDn, &ok);
        ASSERT_TRUE(ok) << what << ": ldapsearch failed";
        EXPECT_EQ(after, c.want) << what << ": got " << Show(after) << ", want " << Show(c.want);
    }
}

// Host names that need escaping reach their own entry, and only it; an
// ordinary name of the same shape is unaffected.
TEST_F(ModulesTest, HostNamesAreEscaped) {
    struct Case {
        const char* host;
        const char* dn;  // as a directory client escapes it
        const char* parent;
        const char* label;
    } cases[] = {
        {"we,ird+x.example.org", "host=we\\,ird\\+x.example.org,dc=we\\,ird\\+x,dc=example,dc=org",
         "dc=we\\,ird\\+x,dc=example,dc=org", "we,ird+x"},
        {"p(a)r.example.org", "host=p(a)r.example.org,dc=p(a)r,dc=example,dc=org",
         "dc=p(a)r,dc=example,dc=org", "p(a)r"},
        {"back\\slash.example.org",
         "host=back\\\\slash.example.org,dc=back\\\\slash,dc=example,dc=org",
         "dc=back\\\\slash,dc=example,dc=org", "back\\slash"},
        {"#hash.example.org", "host=\\#hash.example.org,dc=\\#hash,dc=example,dc=org",
         "dc=\\#hash,dc=example,dc=org", "#hash"},
    };
    for (const Case& c : cases) {
        server_->Add(std::string("dn: ") + c.parent + "\nobjectClass: domain\ndc: " + c.label +
                     "\n");
        ASSERT_EQ(server_->Delete(c.dn), "");
        ASSERT_EQ(server_->Add(std::string("dn: ") + c.dn + "\nobjectClass: ZUDudivor\nhost: " +
                               c.host + "\nmodules: own\n"),
                  "")
            << c.host;
        EXPECT_TRUE(AddModuleName(c.host, "scan")) << c.host << ": got false, want true";
        EXPECT_EQ(server_->Modules(c.dn), (Values{"own,scan"})) << c.host;
        EXPECT_TRUE(DelModuleName(c.host, "own")) << c.host << ": got false, want true";
        EXPECT_EQ(server_->Modules(c.dn), (Values{"scan"})) << c.host;
    }
}

// A wildcard in a host name is a character of the name, not a pattern: it
// must not find other hosts' entries.
TEST_F(ModulesTest, WildcardHostFindsOnlyItsOwnEntry) {
    ASSERT_EQ(server_->AddHost(kHost, {"archive"}), "");
    EXPECT_FALSE(DelModuleName("*.example.org", "archive"))
        << "got true for a host that has no entry";
    EXPECT_FALSE(AddModuleName("m1*", "scan")) << "got true for a host that has no entry";
    EXPECT_EQ(server_->Modules(kHostDn), (Values{"archive"}));
}

TEST_F(ModulesTest, ListLongerThan511IsRefused) {
    std::string base(504, 'm');
    struct Case {
        const char* what;
        Values stored;
        Op op;
        std::string name;
        bool want;
        Values after;
    } cases[] = {
        {"511 exactly", {base}, kAdd, "abcdef", true, {base + ",abcdef"}},
        {"512", {base}, kAdd, "abcdefg", false, {base}},
        {"gathered from two values", {"x," + std::string(300, 'a'), std::string(300, 'b')},
         kDel, "x", false, {"x," + std::string(300, 'a'), std::string(300, 'b')}},
        {"stored value too long to read", {std::string(600, 'z')}, kAdd, "scan", false,
         {std::string(600, 'z')}},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(server_->AddHost(kHost, c.stored), "");
        mqtest::LogTail log;
        bool got = Call(c.op, kHost, c.name.c_str());
        EXPECT_EQ(got, c.want) << c.what << ": got " << got << ", want " << c.want;
        EXPECT_EQ(server_->Modules(kHostDn), c.after) << c.what << ": the entry changed";
        if (!c.want) {
            EXPECT_EQ(log.NewLines().size(), 1u) << c.what << ": want the refusal logged once";
        }
    }
}

TEST_F(ModulesTest, FailuresWriteNothingAndLogOnce) {
    struct Case {
        const char* what;
        LdapIni ini;
        const char* host;
        const char* logged;  // text the one log line holds
    };
    LdapIni wrongPassword = Writer();
    wrongPassword.password = "wrong";
    LdapIni reader = Writer();
    reader.user = Slapd::kReaderDn;
    reader.password = Slapd::kReaderPassword;
    mqtest::LoopbackPort closed(false);
    ASSERT_NE(closed.port(), 0);
    LdapIni deadPort = Writer();
    deadPort.port = closed.text();
    LdapIni noServer = Writer();
    noServer.server = "";
    const Case cases[] = {
        {"no such host entry", Writer(), "nosuch.example.org", "no directory entry"},
        {"refused credentials", wrongPassword, kHost, "Invalid credentials"},
        {"read-only account", reader, kHost, "Insufficient access"},
        {"nothing listens", deadPort, kHost, "Can't contact LDAP server"},
        {"no server configured", noServer, kHost, "no directory server set"},
    };
    for (Op op : {kAdd, kDel}) {
        for (const Case& c : cases) {
            ASSERT_EQ(server_->AddHost(kHost, {"archive"}), "");
            ASSERT_NE(WriteIni(c.ini), "");
            mqtest::LogTail log;
            EXPECT_FALSE(Call(op, c.host, op == kAdd ? "scan" : "archive"))
                << OpName(op) << ", " << c.what << ": got true, want false";
            EXPECT_EQ(server_->Modules(kHostDn), (Values{"archive"}))
                << OpName(op) << ", " << c.what << ": the entry changed";
            std::vector<std::string> lines = log.NewLines();
            ASSERT_EQ(lines.size(), 1u) << OpName(op) << ", " << c.what << ": got "
                                        << lines.size() << " log lines, want 1"
                                        << mqtest::JoinLines(lines);
            EXPECT_NE(lines[0].find(c.logged), std::string::npos)
                << OpName(op) << ", " << c.what << ": got " << lines[0] << ", want " << c.logged;
        }
    }
}

bool Port389Answers() {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(389);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool open = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    close(fd);
    return open;
}

TEST_F(ModulesTest, PortRule) {
    if (Port389Answers()) GTEST_SKIP() << "something listens on 127.0.0.1:389";
    std::string port = std::to_string(server_->port());
    struct Case {
        std::string text;
        bool omit;
        const char* logged;  // null: connects to the fixture and succeeds
    } cases[] = {
        {"0", false, "127.0.0.1:389/"},
        {"abc", false, "127.0.0.1:389/"},
        {"", false, "127.0.0.1:389/"},
        {"", true, "127.0.0.1:389/"},
        {"636x", false, "127.0.0.1:636/"},
        {"-5", false, "port -5 is out of range"},
        {" " + port + "junk", false, nullptr},
        {"+" + port, false, nullptr},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(server_->AddHost(kHost, {}), "");
        LdapIni ini = Writer();
        // A blank reads back empty (values are trimmed); "" would be the fixture's port.
        ini.port = c.text.empty() ? " " : c.text;
        ini.omitPort = c.omit;
        ASSERT_NE(WriteIni(ini), "");
        mqtest::LogTail log;
        bool got = AddModuleName(kHost, "scan");
        std::string lines = mqtest::JoinLines(log.NewLines());
        std::string what = c.omit ? "missing Port" : "Port \"" + c.text + "\"";
        if (c.logged == nullptr) {
            EXPECT_TRUE(got) << what << ": got false, want true" << lines;
            EXPECT_EQ(server_->Modules(kHostDn), (Values{"scan"})) << what;
        } else {
            EXPECT_FALSE(got) << what;
            EXPECT_NE(lines.find(c.logged), std::string::npos)
                << what << ": got log" << lines << ", want " << c.logged;
        }
    }
}

TEST_F(ModulesTest, NullArgumentsFail) {
    EXPECT_FALSE(AddModuleName(nullptr, "scan"));
    EXPECT_FALSE(AddModuleName(kHost, nullptr));
    EXPECT_FALSE(DelModuleName(nullptr, "scan"));
    EXPECT_FALSE(DelModuleName(kHost, nullptr));
}

}  // namespace
