// The directory as sites run it, against real slapd servers with a CA and
// certificates made here with openssl: StartTLS and TLS from the start,
// certificates that must be refused before the password is sent, the
// password kept from an unprotected connection, and lists of servers whose
// first is down or silent. One table of set-ups, each tried through
// AddModuleName and read back with ldapsearch and the servers' own logs.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "log_tail.h"
#include "loopback_port.h"
#include "mqdirectory.h"
#include "slapd_fixture.h"

namespace {

using mqtest::LdapIni;
using Socket = mqtest::LoopbackPort;
using mqtest::RunProgram;
using mqtest::Slapd;
using Values = std::vector<std::string>;

const char kHost[] = "t1.example.org";
const char kHostDn[] = "host=t1.example.org,dc=t1,dc=example,dc=org";

// openssl with its arguments; "" on success, else its output.
std::string OpenSsl(const std::string& dir, std::vector<std::string> args) {
    args.insert(args.begin(), "openssl");
    std::string output;
    std::string cwd = "cd " + dir;
    std::vector<std::string> argv = {"sh", "-c", cwd + " && \"$@\"", "sh"};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, "", &output) == 0 ? "" : output;
}

// Makes in dir: ca.pem (with ca.key), other-ca.pem (a CA that signed
// nothing here), and two server directories, good/ and expired/, each with
// ca.pem, server.pem (for 127.0.0.1 and localhost, signed by ca.pem) and
// server.key; expired/'s certificate ended before it began. "" on success.
std::string MakeCertificates(const std::string& dir) {
    const std::vector<std::string> ec = {"-newkey", "ec", "-pkeyopt",
                                         "ec_paramgen_curve:prime256v1", "-nodes"};
    auto req = [&](std::vector<std::string> head, const std::vector<std::string>& tail) {
        head.insert(head.end(), ec.begin(), ec.end());
        head.insert(head.end(), tail.begin(), tail.end());
        return head;
    };
    std::string err = OpenSsl(dir, req({"req", "-x509"}, {"-keyout", "ca.key", "-out", "ca.pem",
                                                         "-days", "2", "-subj", "/CN=mqtest CA"}));
    if (err.empty())
        err = OpenSsl(dir, req({"req", "-x509"}, {"-keyout", "other-ca.key", "-out", "other-ca.pem",
                                                 "-days", "2", "-subj", "/CN=mqtest other CA"}));
    if (err.empty())
        err = OpenSsl(dir, req({"req", "-new"}, {"-keyout", "server.key", "-out", "server.csr",
                                                "-subj", "/CN=localhost"}));
    std::ofstream(dir + "/san.ext") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n";
    for (const char* kind : {"good", "expired"}) {
        if (!err.empty()) break;
        std::string sub = dir + "/" + kind;
        RunProgram({"mkdir", "-p", sub}, "", nullptr);
        // -days -1: the certificate's end lies a day before its start.
        err = OpenSsl(dir, {"x509", "-req", "-in", "server.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                            "-CAcreateserial", "-out", std::string(kind) + "/server.pem", "-days",
                            std::string(kind) == "good" ? "2" : "-1", "-extfile", "san.ext"});
        if (err.empty()) {
            RunProgram({"cp", dir + "/server.key", dir + "/ca.pem", sub}, "", nullptr);
            RunProgram({"chmod", "644", sub + "/server.key"}, "", nullptr);
        }
    }
    return err;
}

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// The binds a TLS server logged as the writer.
int WriterBinds(const Slapd& server) {
    std::string log = ReadAll(server.dir() + "/slapd.log");
    std::string needle = std::string("BIND dn=\"") + Slapd::kWriterDn + "\"";
    int n = 0;
    for (size_t at = log.find(needle); at != std::string::npos; at = log.find(needle, at + 1)) ++n;
    return n;
}

// Waits until the server has logged a bind made now, as the reader: what any
// earlier connection sent has then been logged too.
void Fence(const Slapd& server) {
    std::string uri = "ldap://127.0.0.1:" + std::to_string(server.port()) + "/";
    RunProgram({"ldapwhoami", "-x", "-H", uri, "-D", Slapd::kReaderDn, "-w",
                Slapd::kReaderPassword, "-o", "nettimeout=5"},
               "", nullptr);
}

class TlsTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        certs_ = mqtest::MakeTempDir("mqtest-certs");
        std::string err = MakeCertificates(certs_);
        if (!err.empty()) {
            setupError_ = "making certificates: " + err;
            return;
        }
        good_ = Slapd::StartTls(certs_ + "/good", &setupError_).release();
        if (good_ != nullptr) expired_ = Slapd::StartTls(certs_ + "/expired", &setupError_).release();
    }
    static void TearDownTestSuite() {
        delete good_;
        delete expired_;
        good_ = expired_ = nullptr;
        mqtest::RemoveTree(certs_);
    }

    void SetUp() override {
        ASSERT_EQ(setupError_, "");
        ASSERT_NE(good_, nullptr);
        ASSERT_NE(expired_, nullptr);
        plain_ = Slapd::Get();
        ASSERT_NE(plain_, nullptr) << Slapd::error();
        dir_ = mqtest::MakeTempDir("mqtest-tls");
        ASSERT_FALSE(dir_.empty());
        setenv("MQ_CONFIG_DIR", dir_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("MQ_CONFIG_DIR");
        mqtest::RemoveTree(dir_);
    }

    static std::string certs_;
    static std::string setupError_;
    static Slapd* good_;
    static Slapd* expired_;
    Slapd* plain_ = nullptr;
    std::string dir_;
};

std::string TlsTest::certs_;
std::string TlsTest::setupError_;
Slapd* TlsTest::good_ = nullptr;
Slapd* TlsTest::expired_ = nullptr;

TEST_F(TlsTest, ServerSetUps) {
    Socket closed(false), silent(true);
    const std::string ca = "TLSCACertFile=" + certs_ + "/ca.pem\n";
    const std::string otherCa = "TLSCACertFile=" + certs_ + "/other-ca.pem\n";
    const std::string g = std::to_string(good_->port());
    const std::string gs = std::to_string(good_->ldapsPort());
    const std::string xs = std::to_string(expired_->ldapsPort());
    const std::string p = std::to_string(plain_->port());
    enum Server { kGood, kExpired, kPlain };
    struct Case {
        const char* what;
        std::string hostName;
        std::string port;  // "" leaves Port out
        std::string extra;  // further [Ldap] lines
        Server server;      // the server that holds the entry
        bool want;
        const char* logged;  // what the log holds (on failure, its one line)
    };
    const Case cases[] = {
        {"StartTLS", "127.0.0.1", g, "TLS=starttls\n" + ca, kGood, true, nullptr},
        {"ldaps by the TLS setting", "127.0.0.1", gs, "TLS=ldaps\n" + ca, kGood, true, nullptr},
        {"ldaps URL", "ldaps://127.0.0.1:" + gs, "", ca, kGood, true, nullptr},
        {"ldap URL upgraded by TLS=starttls", "ldap://127.0.0.1:" + g, "", "TLS=starttls\n" + ca,
         kGood, true, nullptr},
        {"wrong CA, ldaps", "127.0.0.1", gs, "TLS=ldaps\n" + otherCa, kGood, false,
         "TLS handshake"},
        {"wrong CA, StartTLS", "127.0.0.1", g, "TLS=starttls\n" + otherCa, kGood, false,
         "StartTLS"},
        {"wrong host name", "127.0.0.2", g, "TLS=starttls\n" + ca, kGood, false, "StartTLS"},
        {"wrong host name, TLSVerify=never", "127.0.0.2", gs, "TLS=ldaps\nTLSVerify=never\n",
         kGood, true, nullptr},
        {"expired certificate", "127.0.0.1", xs, "TLS=ldaps\n" + ca, kExpired, false,
         "TLS handshake"},
        {"no StartTLS offered", "127.0.0.1", p, "TLS=starttls\n" + ca, kPlain, false, "StartTLS"},
        {"CA file missing", "127.0.0.1", gs, "TLS=ldaps\nTLSCACertFile=" + certs_ + "/none.pem\n",
         kGood, false, "TLSCACertFile"},
        {"TLS value unknown", "127.0.0.1", g, "TLS=yes\n", kGood, false, "TLS = yes"},
        {"TLSVerify value unknown", "127.0.0.1", g, "TLS=starttls\nTLSVerify=maybe\n", kGood,
         false, "TLSVerify = maybe"},
        {"no TLS to a loopback address", "127.0.0.1", p, "", kPlain, true, nullptr},
        {"first down, second serves", "127.0.0.1:" + closed.text() + " ldaps://127.0.0.1:" + gs,
         "", ca, kGood, true, nullptr},
        // A silent server is waited for the settings' Timeout, as its
        // reason says, and passed over.
        {"first silent over ldaps, second serves",
         "ldaps://127.0.0.1:" + silent.text() + " 127.0.0.1:" + gs, "",
         "TLS=ldaps\nTimeout=1\n" + ca, kGood, true, "TLS handshake: no answer within 1 s"},
        {"first silent over StartTLS, second serves",
         "127.0.0.1:" + silent.text() + " 127.0.0.1:" + g, "", "TLS=starttls\nTimeout=1\n" + ca,
         kGood, true, "StartTLS: no answer within 1 s"},
        {"every server down", "127.0.0.1:" + closed.text() + " ldaps://127.0.0.1:" + silent.text(),
         "", "Timeout=1\n" + ca, kGood, false, "no directory server would serve"},
    };
    // The first TLS session a server or a process makes readies its TLS
    // library, which a loaded machine may take seconds over (seen in the
    // i386 root): made once here, before the rows.
    // Sets the case's server up with the host entry and writes its settings.
    auto setUp = [this](const Case& c, Slapd* holder) {
        ASSERT_EQ(holder->AddHost(kHost, {"archive"}), "") << c.what;
        LdapIni ini = LdapIni::Writer(c.hostName, c.port, c.extra);
        if (c.extra.find("Timeout=") != std::string::npos) ini.timeout.clear();  // the row's own
        ASSERT_NE(holder->WriteIni(dir_, ini), "") << c.what;
    };
    {
        setUp(cases[0], good_);
        mqtest::LogTail quiet;
        AddModuleName(kHost, "scan");
    }
    for (const Case& c : cases) {
        Slapd* holder = c.server == kGood ? good_ : c.server == kExpired ? expired_ : plain_;
        setUp(c, holder);
        if (HasFatalFailure()) return;
        int bindsBefore = WriterBinds(*good_) + WriterBinds(*expired_);

        mqtest::LogTail log;
        auto start = std::chrono::steady_clock::now();
        bool got = AddModuleName(kHost, "scan");
        double took = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        std::vector<std::string> lines = log.NewLines();

        // Every connection of the call has ended: what it sent is logged.
        Fence(*good_);
        Fence(*expired_);
        int bindsAfter = WriterBinds(*good_) + WriterBinds(*expired_);

        EXPECT_EQ(got, c.want) << c.what << ": got " << got << ", want " << c.want
                               << mqtest::JoinLines(lines);
        // No call waits out the fixture's Timeout of 30 s, however loaded
        // the machine.
        EXPECT_LT(took, 20) << c.what << ": took " << took << " s";
        Values after = holder->Modules(kHostDn);
        EXPECT_EQ(after, c.want ? Values{"archive,scan"} : Values{"archive"}) << c.what;
        if (c.want) {
            if (c.logged != nullptr) {
                EXPECT_NE(mqtest::JoinLines(lines).find(c.logged), std::string::npos)
                    << c.what << ": no \"" << c.logged << "\" in" << mqtest::JoinLines(lines);
            }
            continue;
        }
        ASSERT_EQ(lines.size(), 1u) << c.what << ": got " << lines.size()
                                    << " log lines, want 1" << mqtest::JoinLines(lines);
        EXPECT_NE(lines[0].find(c.logged), std::string::npos)
            << c.what << ": got " << lines[0] << ", want " << c.logged;
        // Refused before the password was sent: neither TLS server saw the
        // writer's bind.
        EXPECT_EQ(bindsAfter, bindsBefore) << c.what << ": a TLS server saw the writer's bind";
    }
}

// Lines of text holding needle.
std::vector<std::string> LinesWith(const std::string& text, const std::string& needle) {
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.find(needle) != std::string::npos) out.push_back(line);
    }
    return out;
}

// Runs mqctl with args.
int Mqctl(const std::vector<std::string>& args, std::string* out) {
    std::vector<std::string> argv = {MQTEST_MQCTL};
    argv.insert(argv.end(), args.begin(), args.end());
    return RunProgram(argv, "", out);
}

// mqctl check reports each server of the list on a line of its own, and
// channel add, refused by a certificate, says why in one line and leaves
// the channel file alone.
TEST_F(TlsTest, Mqctl) {
    Socket closed(false);
    const std::string gs = std::to_string(good_->ldapsPort());
    const std::string p = std::to_string(plain_->port());
    std::string inst = dir_ + "/inst";
    ASSERT_EQ(RunProgram({"mkdir", inst}, "", nullptr), 0);
    ASSERT_EQ(good_->AddHost(kHost, {"archive"}), "");
    LdapIni ini = LdapIni::Writer("127.0.0.1:" + closed.text() + " ldaps://127.0.0.2:" + gs +
                                      " ldaps://127.0.0.1:" + gs + " 127.0.0.1:" + p,
                                  "", "TLSCACertFile=" + certs_ + "/ca.pem\n");
    ini.hostname = kHost;
    ini.installDirectory = inst;
    ASSERT_NE(good_->WriteIni(dir_, ini), "");

    std::string out;
    Mqctl({"check"}, &out);
    struct Want {
        std::string server;
        const char* state;  // what its line says, after the address
        bool ok;
    } wants[] = {
        {"ldap://127.0.0.1:" + closed.text() + "/", "not reachable, not bound: Can't contact", false},
        {"ldaps://127.0.0.2:" + gs + "/", "reachable, no TLS, not bound: TLS handshake: the "
                                          "server's certificate was refused", false},
        {"ldaps://127.0.0.1:" + gs + "/", "reachable, TLS, bound as cn=admin,dc=example,dc=org",
         true},
        {"ldap://127.0.0.1:" + p + "/", "reachable, no TLS, bound as cn=admin", true},
    };
    for (const Want& w : wants) {
        std::vector<std::string> lines = LinesWith(out, " " + w.server + " ");
        ASSERT_EQ(lines.size(), 1u) << w.server << ": got " << lines.size()
                                    << " lines, want 1, in\n" << out;
        EXPECT_NE(lines[0].find(w.server + " " + w.state), std::string::npos)
            << "got " << lines[0] << ", want " << w.state;
        EXPECT_EQ(lines[0].compare(0, 2, "ok") == 0, w.ok) << lines[0];
    }
    EXPECT_EQ(LinesWith(out, "host entry").size(), 1u) << out;

    // One server, whose certificate names another host.
    ini.server = "ldaps://127.0.0.2:" + gs;
    ASSERT_NE(good_->WriteIni(dir_, ini), "");
    int rc = Mqctl({"channel", "add", "tlsch", "scan", "in"}, &out);
    EXPECT_NE(rc, 0) << out;
    std::vector<std::string> lines = LinesWith(out, "mqctl");
    ASSERT_EQ(lines.size(), 1u) << out;
    EXPECT_NE(lines[0].find("ldaps://127.0.0.2:" + gs + "/"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find("certificate was refused"), std::string::npos) << lines[0];
    EXPECT_EQ(ReadAll(inst + "/queue.cfg"), "") << "the channel file changed";
    EXPECT_EQ(good_->Modules(kHostDn), Values{"archive"});
}

}  // namespace
