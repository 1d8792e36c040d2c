// The directory client's server addresses, and when a password may cross a
// connection: the rules by table, then the refusal and its override on a
// real connection to an address that is not a loopback one (in a network
// namespace of the test's own, when run as root).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "ldapclient.h"
#include "ldapserver.h"
#include "child.h"  // Spawn, Wait
#include "slapd_fixture.h"

namespace {

using ldapserver::Tls;

TEST(ParseAddress, Forms) {
    struct Case {
        const char* text;
        int barePort;
        Tls bareTls;
        const char* url;  // null: refused
        Tls tls;
        const char* why;  // what the refusal says
    } cases[] = {
        {"ldap.example.org", 389, Tls::kNone, "ldap://ldap.example.org:389/", Tls::kNone, ""},
        {"ldap.example.org:1389", 389, Tls::kStartTls, "ldap://ldap.example.org:1389/",
         Tls::kStartTls, ""},
        {"ldap.example.org", 636, Tls::kLdaps, "ldaps://ldap.example.org:636/", Tls::kLdaps, ""},
        {"ldaps://ldap.example.org", 389, Tls::kNone, "ldaps://ldap.example.org:636/",
         Tls::kLdaps, ""},
        {"ldaps://ldap.example.org:1636/", 389, Tls::kNone, "ldaps://ldap.example.org:1636/",
         Tls::kLdaps, ""},
        // An URL's own port, whatever Port says.
        {"ldap://ldap.example.org", 1389, Tls::kNone, "ldap://ldap.example.org:389/", Tls::kNone,
         ""},
        // Never less protection than the TLS setting asks for.
        {"ldap://ldap.example.org", 636, Tls::kLdaps, "ldap://ldap.example.org:389/",
         Tls::kStartTls, ""},
        {"[::1]:1389", 389, Tls::kNone, "ldap://[::1]:1389/", Tls::kNone, ""},
        {"::1", 389, Tls::kNone, "ldap://[::1]:389/", Tls::kNone, ""},
        {"ldapi://%2Frun%2Fslapd", 389, Tls::kNone, nullptr, Tls::kNone, "no ldap:// or ldaps://"},
        {"ldap.example.org:0", 389, Tls::kNone, nullptr, Tls::kNone, "out of range"},
        {"ldap.example.org:38x", 389, Tls::kNone, nullptr, Tls::kNone, "out of range"},
        {"ldap.example.org", -5, Tls::kNone, nullptr, Tls::kNone, "port -5 is out of range"},
        {"ldap://ldap.example.org/dc=x", 389, Tls::kNone, nullptr, Tls::kNone, "no server address"},
        {"", 389, Tls::kNone, nullptr, Tls::kNone, "no server address"},
        {"[::1", 389, Tls::kNone, nullptr, Tls::kNone, "no server address"},
    };
    for (const Case& c : cases) {
        ldapserver::Address got;
        std::string why;
        bool ok = ldapserver::ParseAddress(c.text, c.barePort, c.bareTls, &got, &why);
        if (c.url == nullptr) {
            EXPECT_FALSE(ok) << c.text << ": got " << got.url << ", want a refusal";
            EXPECT_NE(why.find(c.why), std::string::npos)
                << c.text << ": got \"" << why << "\", want " << c.why;
            continue;
        }
        ASSERT_TRUE(ok) << c.text << ": " << why;
        EXPECT_EQ(got.url, c.url) << c.text;
        EXPECT_EQ(got.tls, c.tls) << c.text;
    }
}

sockaddr_storage Inet(const char* text) {
    sockaddr_storage ss{};
    if (std::strchr(text, ':') != nullptr) {
        auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
        in6->sin6_family = AF_INET6;
        inet_pton(AF_INET6, text, &in6->sin6_addr);
    } else {
        auto* in = reinterpret_cast<sockaddr_in*>(&ss);
        in->sin_family = AF_INET;
        inet_pton(AF_INET, text, &in->sin_addr);
    }
    return ss;
}

TEST(PasswordMayGo, OnlyOverTlsOrToThisMachine) {
    struct Case {
        const char* peer;  // null: a local socket
        bool tls;
        const char* password;
        bool allow;
        bool want;
    } cases[] = {
        {"127.0.0.1", false, "pw", false, true},
        {"127.5.6.7", false, "pw", false, true},
        {"::1", false, "pw", false, true},
        {"::ffff:127.0.0.1", false, "pw", false, true},
        {nullptr, false, "pw", false, true},
        {"10.0.0.1", false, "pw", false, false},
        {"128.0.0.1", false, "pw", false, false},
        {"::ffff:10.0.0.1", false, "pw", false, false},
        {"2001:db8::1", false, "pw", false, false},
        {"10.0.0.1", true, "pw", false, true},
        {"10.0.0.1", false, "pw", true, true},
        {"10.0.0.1", false, "", false, true},  // anonymous: no password to keep
    };
    for (const Case& c : cases) {
        sockaddr_storage ss{};
        if (c.peer == nullptr) {
            ss.ss_family = AF_UNIX;
        } else {
            ss = Inet(c.peer);
        }
        bool local = ldapserver::IsLocal(reinterpret_cast<sockaddr*>(&ss));
        bool got = ldapserver::PasswordMayGo(c.tls, local, c.password, c.allow);
        EXPECT_EQ(got, c.want) << (c.peer != nullptr ? c.peer : "local socket")
                               << (c.tls ? " TLS" : "") << " password \"" << c.password << "\""
                               << (c.allow ? " allowed" : "") << ": got " << got;
    }
}

// In a child, in a network namespace of its own whose loopback interface
// also holds 10.77.0.1 (not a loopback address): a listening socket of the
// test's own takes the connection, and what arrived on it is read once the
// client is done (an unanswered bind waits 5 s). Returns the number of
// failed checks (printed), or 77 when no namespace can be had.
int PlaintextChild() {
    std::string out;
    if (unshare(CLONE_NEWNET) != 0 ||
        mqtest::RunProgram({"ip", "link", "set", "lo", "up"}, "", &out) != 0 ||
        mqtest::RunProgram({"ip", "addr", "add", "10.77.0.1/32", "dev", "lo"}, "", &out) != 0) {
        return 77;
    }
    struct Case {
        const char* password;
        bool allow;
        bool wantSent;  // the bind, and the password in it, reached the server
    } cases[] = {
        {"pw-in-the-clear", false, false},
        {"pw-in-the-clear", true, true},
    };
    int failures = 0;
    for (const Case& c : cases) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        inet_pton(AF_INET, "10.77.0.1", &addr.sin_addr);
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) != 0 || listen(fd, 4) != 0) {
            std::perror("listener");
            return 1;
        }
        std::string server = "10.77.0.1:" + std::to_string(ntohs(addr.sin_port));
        ldapServerSettings s{};
        s.server = server.c_str();
        s.port = 389;
        s.allowPlaintext = c.allow ? 1 : 0;
        ldapServerReport report;
        ldapClient client;
        client.ldapClientOpen(&s, "cn=admin,dc=example,dc=org", c.password, &report);
        client.ldapClientUnbind();
        std::string received;
        int conn = accept(fd, nullptr, nullptr);
        char buf[512];
        for (ssize_t n; conn >= 0 && (n = read(conn, buf, sizeof buf)) > 0;)
            received.append(buf, static_cast<size_t>(n));
        if (conn >= 0) close(conn);
        close(fd);
        bool sent = received.find(c.password) != std::string::npos;
        const char* what = c.allow ? "with AllowPlaintextPassword" : "without";
        if (sent != c.wantSent || report.plaintextRefused != (c.wantSent ? 0 : 1)) {
            std::fprintf(stderr, "%s: got the password %s (plaintextRefused %d), want it %s\n",
                         what, sent ? "sent" : "kept", report.plaintextRefused,
                         c.wantSent ? "sent" : "kept");
            ++failures;
        }
        if (!c.wantSent && std::strstr(report.why, "AllowPlaintextPassword") == nullptr) {
            std::fprintf(stderr, "%s: the refusal \"%s\" does not name AllowPlaintextPassword\n",
                         what, report.why);
            ++failures;
        }
    }
    return failures;
}

TEST(PasswordMayGo, KeptFromAnotherMachineUnlessAllowed) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root for a network namespace of its own";
    pid_t child = mqtest::Spawn(PlaintextChild);
    ASSERT_GE(child, 0);
    int status = mqtest::Wait(child);
    ASSERT_GE(status, 0) << "the child died";
    if (status == 77) GTEST_SKIP() << "no network namespace to be had here";
    EXPECT_EQ(status, 0) << "failed checks (their lines are above)";
}

}  // namespace
