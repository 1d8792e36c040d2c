// The directory client against a real slapd: connecting, binding, the shape
// of search results, modifications checked with ldapsearch, and the
// failures a real server (or none) gives.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ldapclient.h"
#include "log_tail.h"
#include "loopback_port.h"
#include "slapd_fixture.h"

namespace {

using mqtest::Slapd;
using Socket = mqtest::LoopbackPort;

const char kHostDn[] = "host=c1.example.org,dc=c1,dc=example,dc=org";
const char kNetHostDn[] = "host=c2.example.net,dc=c2,dc=example,dc=net";

class LdapClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        server_ = Slapd::Get();
        ASSERT_NE(server_, nullptr) << Slapd::error();
        ASSERT_EQ(server_->AddHost("c1.example.org", {"archive", "relay"}), "");
        ASSERT_EQ(server_->AddHost("c2.example.net", {"scan"}), "");
    }

    // A client connected and bound as the writer.
    void Open(ldapClient& client) {
        ASSERT_EQ(client.ldapClientConnect("127.0.0.1", server_->port()), 0);
        ASSERT_EQ(client.ldapClientBind(Slapd::kWriterDn, Slapd::kWriterPassword), 0);
    }

    Slapd* server_ = nullptr;
};

// The records of an entry's chain before the terminator, as "name=value".
std::vector<std::string> Records(const SearchReq* entry) {
    std::vector<std::string> out;
    for (const attrval* a = entry->attr; a->next != nullptr; a = a->next)
        out.push_back(std::string(a->attrib) + "=" + a->value);
    return out;
}

const attrval* Terminator(const SearchReq* entry) {
    const attrval* a = entry->attr;
    while (a->next != nullptr) a = a->next;
    return a;
}

bool ZeroFilled(const attrval* a) {
    static const attrval zero{};
    return std::memcmp(a, &zero, sizeof zero) == 0;
}

TEST_F(LdapClientTest, ConnectFailsWhereNoServerIs) {
    Socket closed(false);  // bound, not listening: connections are refused
    ASSERT_GT(closed.port(), 0);
    struct Case {
        const char* what;
        const char* host;
        int port;
    } cases[] = {
        {"nothing listens", "127.0.0.1", closed.port()},
        {"port 0", "127.0.0.1", 0},
        {"negative port", "127.0.0.1", -389},
        {"port above 65535", "127.0.0.1", 65536 + server_->port()},
        {"empty host", "", server_->port()},
        {"null host", nullptr, server_->port()},
        {"host with URL syntax", "127.0.0.1/x?y", server_->port()},
    };
    for (const Case& c : cases) {
        mqtest::LogTail log;
        ldapClient client;
        int rc = client.ldapClientConnect(c.host, c.port);
        EXPECT_NE(rc, 0) << c.what << ": got 0 (connected), want a failure";
        std::vector<std::string> lines = log.NewLines();
        EXPECT_EQ(lines.size(), 1u) << c.what << ": got " << lines.size()
                                    << " log lines, want 1:" << mqtest::JoinLines(lines);
        // Nothing is left to talk to.
        EXPECT_NE(client.ldapClientBind("", ""), 0) << c.what << ": bound without a connection";
    }
}

TEST_F(LdapClientTest, ConnectLogsLibldapsReason) {
    Socket closed(false);
    mqtest::LogTail log;
    ldapClient client;
    ASSERT_NE(client.ldapClientConnect("127.0.0.1", closed.port()), 0);
    std::string lines = mqtest::JoinLines(log.NewLines());
    EXPECT_NE(lines.find("Can't contact LDAP server"), std::string::npos)
        << "got log" << lines << ", want libldap's error text";
}

TEST_F(LdapClientTest, Bind) {
    struct Case {
        const char* what;
        const char* user;
        const char* password;
        int want;  // 0, or the LDAP result code
    } cases[] = {
        {"writer", Slapd::kWriterDn, Slapd::kWriterPassword, 0},
        {"reader", Slapd::kReaderDn, Slapd::kReaderPassword, 0},
        {"anonymous", "", "", 0},
        {"wrong password", Slapd::kWriterDn, "wrong", 49},
        {"unknown account", "cn=nobody,dc=example,dc=org", "x", 49},
        {"reader with the writer's password", Slapd::kReaderDn, Slapd::kWriterPassword, 49},
    };
    for (const Case& c : cases) {
        ldapClient client;
        ASSERT_EQ(client.ldapClientConnect("127.0.0.1", server_->port()), 0);
        int rc = client.ldapClientBind(c.user, c.password);
        EXPECT_EQ(rc, c.want) << c.what << ": got " << rc << ", want " << c.want;
    }
}

// A server that takes the connection and then never answers must make the
// request fail, not hang the caller.
TEST_F(LdapClientTest, SilentServerFailsTheRequest) {
    Socket silent(true);
    ASSERT_GT(silent.port(), 0);
    ldapClient client;
    ASSERT_EQ(client.ldapClientConnect("127.0.0.1", silent.port()), 0);
    EXPECT_NE(client.ldapClientBind("", ""), 0) << "got a bind answered by a silent server";
}

TEST_F(LdapClientTest, NullBaseSearchesEveryNamingContext) {
    ldapClient client;
    Open(client);
    int count = -2;
    SearchReq* found =
        client.ldapClientSearch(nullptr, 2, 0, "(objectClass=ZUDudivor)", &count);
    ASSERT_NE(found, nullptr);
    std::vector<std::string> dns;
    for (const SearchReq* e = found; e != nullptr; e = e->next) dns.push_back(e->dn);
    client.srch_free(found);
    EXPECT_EQ(count, static_cast<int>(dns.size()));
    bool org = false, net = false;
    for (const std::string& dn : dns) {
        org |= dn == kHostDn;
        net |= dn == kNetHostDn;
    }
    EXPECT_TRUE(org && net) << "got " << dns.size() << " entries, want both " << kHostDn
                            << " and " << kNetHostDn;
}

TEST_F(LdapClientTest, ResultChains) {
    ldapClient client;
    Open(client);
    struct Case {
        const char* what;
        int attrsonly;
        std::vector<std::string> want;
    } cases[] = {
        {"values", 0,
         {"objectClass=ZUDudivor", "host=c1.example.org", "modules=archive", "modules=relay"}},
        {"names only", 1, {"objectClass=", "host=", "modules="}},
    };
    for (const Case& c : cases) {
        int count = -2;
        SearchReq* found = client.ldapClientSearch(kHostDn, 0, c.attrsonly, nullptr, &count);
        ASSERT_NE(found, nullptr) << c.what;
        EXPECT_EQ(count, 1) << c.what;
        EXPECT_STREQ(found->dn, kHostDn) << c.what;
        EXPECT_EQ(found->next, nullptr) << c.what << ": got a second entry";
        EXPECT_EQ(Records(found), c.want) << c.what;
        EXPECT_TRUE(ZeroFilled(Terminator(found))) << c.what << ": terminator not zero-filled";
        client.srch_free(found);
    }
}

TEST_F(LdapClientTest, SearchWithoutResult) {
    ldapClient client;
    Open(client);
    struct Case {
        const char* what;
        const char* base;
        const char* filter;
        int count;  // 0 nothing found, -1 failed
    } cases[] = {
        {"no match", nullptr, "(host=nosuch.example.org)", 0},
        {"no such base", "dc=nosuch,dc=example,dc=org", "(objectClass=*)", 0},
        {"bad filter", nullptr, "(host=", -1},
    };
    for (const Case& c : cases) {
        int count = -2;
        SearchReq* found = client.ldapClientSearch(c.base, 2, 0, c.filter, &count);
        EXPECT_EQ(found, nullptr) << c.what;
        client.srch_free(found);
        EXPECT_EQ(count, c.count) << c.what << ": got count " << count << ", want " << c.count;
    }
    ldapClient unconnected;
    int count = -2;
    EXPECT_EQ(unconnected.ldapClientSearch(nullptr, 2, 0, "(objectClass=*)", &count), nullptr);
    EXPECT_EQ(count, -1) << "search without a connection";
}

// A value longer than a record holds fails the search rather than handing
// out a cut value that a caller would write back.
TEST_F(LdapClientTest, ValueTooLongForItsRecordFailsTheSearch) {
    std::string fits(511, 'f');
    std::string tooLong(512, 'x');
    for (const std::string* value : {&fits, &tooLong}) {
        ASSERT_EQ(server_->AddHost("c1.example.org", {*value}), "");
        ldapClient client;
        Open(client);
        int count = -2;
        SearchReq* found = client.ldapClientSearch(kHostDn, 0, 0, nullptr, &count);
        if (value == &fits) {
            ASSERT_NE(found, nullptr) << "a 511-character value must fit";
            EXPECT_EQ(Records(found).back(), "modules=" + fits);
        } else {
            EXPECT_EQ(found, nullptr) << "got a result for a 512-character value, want none";
            EXPECT_EQ(count, -1);
        }
        client.srch_free(found);
    }
}

// Two records and a terminator: oper, attribute, value each.
std::vector<attrval> Chain(std::vector<attrval> records) {
    records.push_back(attrval{});
    for (size_t i = 0; i + 1 < records.size(); ++i) records[i].next = &records[i + 1];
    return records;
}

attrval Mod(int oper, const char* attrib, const char* value) {
    attrval a{};
    a.oper = oper;
    std::strcpy(a.attrib, attrib);
    std::strcpy(a.value, value);
    return a;
}

TEST_F(LdapClientTest, ModifyAsTheDirectorySeesIt) {
    struct Case {
        const char* what;
        std::vector<attrval> mods;
        std::vector<std::string> want;  // modules values after, by ldapsearch
    } cases[] = {
        {"replace", {Mod(2, "modules", "scan")}, {"scan"}},
        {"replace with the empty value removes", {Mod(2, "modules", "")}, {}},
        {"add", {Mod(0, "modules", "scan")}, {"archive", "relay", "scan"}},
        {"delete a value", {Mod(1, "modules", "archive")}, {"relay"}},
        {"delete all values", {Mod(1, "modules", "")}, {}},
        {"two records in one request",
         {Mod(1, "modules", "relay"), Mod(0, "modules", "scan")},
         {"archive", "scan"}},
        {"terminator alone", {}, {"archive", "relay"}},
    };
    for (Case& c : cases) {
        ASSERT_EQ(server_->AddHost("c1.example.org", {"archive", "relay"}), "");
        ldapClient client;
        Open(client);
        std::vector<attrval> chain = Chain(c.mods);
        int rc = client.ldapClientModify(kHostDn, chain.data());
        EXPECT_EQ(rc, 0) << c.what << ": got " << rc << ", want 0";
        bool ok = false;
        EXPECT_EQ(server_->Modules(kHostDn, &ok), c.want) << c.what;
        EXPECT_TRUE(ok);
    }
}

TEST_F(LdapClientTest, ModifyRefused) {
    struct Case {
        const char* what;
        const char* user;
        const char* password;
        const char* dn;
        attrval mod;
        int want;
    } cases[] = {
        {"read-only account", Slapd::kReaderDn, Slapd::kReaderPassword, kHostDn,
         Mod(2, "modules", "scan"), 50},
        {"anonymous", "", "", kHostDn, Mod(2, "modules", "scan"), 8},  // stronger auth required
        {"no such entry", Slapd::kWriterDn, Slapd::kWriterPassword,
         "host=nosuch.example.org,dc=nosuch,dc=example,dc=org", Mod(2, "modules", "scan"), 32},
        {"unknown oper", Slapd::kWriterDn, Slapd::kWriterPassword, kHostDn,
         Mod(7, "modules", "scan"), -1},
        {"unknown attribute", Slapd::kWriterDn, Slapd::kWriterPassword, kHostDn,
         Mod(2, "nosuchattr", "scan"), 17},
    };
    for (Case& c : cases) {
        ldapClient client;
        ASSERT_EQ(client.ldapClientConnect("127.0.0.1", server_->port()), 0);
        ASSERT_EQ(client.ldapClientBind(c.user, c.password), 0) << c.what;
        std::vector<attrval> chain = Chain({c.mod});
        int rc = client.ldapClientModify(c.dn, chain.data());
        EXPECT_EQ(rc, c.want) << c.what << ": got " << rc << ", want " << c.want;
        EXPECT_EQ(server_->Modules(kHostDn), (std::vector<std::string>{"archive", "relay"}))
            << c.what << ": the entry changed";
    }
}

TEST_F(LdapClientTest, UnbindIsHarmlessAgainAndBeforeConnecting) {
    ldapClient never;
    never.ldapClientUnbind();
    never.ldapClientUnbind();

    ldapClient client;
    Open(client);
    client.ldapClientUnbind();
    client.ldapClientUnbind();
    EXPECT_EQ(client.ldapClientSearch(kHostDn, 0, 0, nullptr, nullptr), nullptr)
        << "searched after unbinding";
    // The same client connects again.
    Open(client);
    SearchReq* found = client.ldapClientSearch(kHostDn, 0, 0, nullptr, nullptr);
    EXPECT_NE(found, nullptr);
    client.srch_free(found);
    client.srch_free(nullptr);
}  // the destructor unbinds once more

}  // namespace
