// slapd_fixture.cpp - starts tests/support/slapd.sh once per test program and
// makes sure the server dies with the program, however the program ends.
#include "slapd_fixture.h"

#include <ftw.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#ifndef MQTEST_SLAPD_SCRIPT
#error "MQTEST_SLAPD_SCRIPT must name tests/support/slapd.sh"
#endif

namespace mqtest {
namespace {

// Read by the exit and signal handlers: plain values only.
volatile pid_t g_ownerPid = 0;   // the test program that started the server
volatile pid_t g_serverPid = 0;  // the server, 0 once stopped

Slapd* g_server = nullptr;
std::string g_error;
bool g_tried = false;

const int kFatalSignals[] = {SIGTERM, SIGINT, SIGHUP, SIGABRT, SIGSEGV, SIGBUS};

// Async-signal-safe: only kill(2) and re-raising. The watchdog of slapd.sh
// finishes the job should the server outlive the program.
void OnFatalSignal(int sig) {
    if (getpid() == g_ownerPid && g_serverPid > 0) kill(g_serverPid, SIGTERM);
    signal(sig, SIG_DFL);
    raise(sig);
}

void OnExit() {
    if (getpid() != g_ownerPid) return;  // a forked child exiting
    if (g_server != nullptr) g_server->Stop();
}

void InstallHandlers() {
    std::atexit(OnExit);
    for (int sig : kFatalSignals) {
        struct sigaction sa {};
        sigaction(sig, nullptr, &sa);
        // Leave handlers alone that someone (a sanitizer) installed first.
        if (sa.sa_handler != SIG_DFL) continue;
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESETHAND;
        sigaction(sig, &sa, nullptr);
    }
}

std::string ReadValue(const std::string& output, const std::string& key) {
    std::istringstream in(output);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, key.size() + 1, key + "=") == 0) return line.substr(key.size() + 1);
    }
    return "";
}

int Base64Value(char c) {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
}

std::string DecodeBase64(const std::string& text) {
    std::string out;
    unsigned bits = 0;
    int count = 0;
    for (char c : text) {
        int v = Base64Value(c);
        if (v < 0) continue;  // padding, white space
        bits = (bits << 6) | static_cast<unsigned>(v);
        count += 6;
        if (count >= 8) {
            count -= 8;
            out.push_back(static_cast<char>((bits >> count) & 0xFF));
        }
    }
    return out;
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

Slapd* Slapd::Get() {
    if (g_tried) return g_server;
    g_tried = true;
    Slapd* server = new Slapd();
    if (!server->Start(&g_error)) {
        delete server;
        return nullptr;
    }
    g_server = server;
    return g_server;
}

const std::string& Slapd::error() { return g_error; }

std::unique_ptr<Slapd> Slapd::StartTls(const std::string& tlsDir, std::string* error) {
    std::unique_ptr<Slapd> server(new Slapd());
    if (!server->Start(error, tlsDir)) return nullptr;
    return server;
}

bool Slapd::Start(std::string* error, const std::string& tlsDir) {
    dir_ = MakeTempDir("mqtest-slapd");
    if (dir_.empty()) {
        *error = std::string("mkdtemp: ") + std::strerror(errno);
        return false;
    }
    // A program killed outright can't clean up: let the watchdog do it.
    std::ofstream(dir_ + "/remove-when-orphaned").put('\n');
    g_ownerPid = getpid();
    InstallHandlers();
    std::string output;
    std::vector<std::string> argv = {MQTEST_SLAPD_SCRIPT, "start", dir_, std::to_string(getpid())};
    if (!tlsDir.empty()) argv.push_back(tlsDir);
    int rc = RunProgram(argv, "", &output);
    port_ = std::atoi(ReadValue(output, "port").c_str());
    ldapsPort_ = std::atoi(ReadValue(output, "ldaps_port").c_str());
    pid_ = static_cast<pid_t>(std::atol(ReadValue(output, "pid").c_str()));
    if (rc != 0 || port_ <= 0 || pid_ <= 0) {
        *error = "slapd.sh start " + dir_ + " failed: " + output;
        RemoveTree(dir_);
        return false;
    }
    if (tlsDir.empty()) g_serverPid = pid_;
    uri_ = "ldap://127.0.0.1:" + std::to_string(port_) + "/";
    return true;
}

void Slapd::Stop() {
    if (pid_ == 0) return;
    if (g_serverPid == pid_) g_serverPid = 0;
    std::string output;
    if (RunProgram({MQTEST_SLAPD_SCRIPT, "stop", dir_}, "", &output) != 0) {
        std::fprintf(stderr, "slapd fixture: stopping %d failed: %s\n", static_cast<int>(pid_),
                     output.c_str());
    }
    pid_ = 0;
    RemoveTree(dir_);
}

std::string Slapd::AccountFor(const std::string& dn) const {
    return EndsWith(Lower(dn), kNetSuffix) ? "cn=admin,dc=example,dc=net" : kWriterDn;
}

namespace {

// The dn of the first record of an LDIF text.
std::string FirstDn(const std::string& ldif) {
    std::istringstream in(ldif);
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 4, "dn: ") == 0) return line.substr(4);
    }
    return "";
}

}  // namespace

std::string Slapd::Add(const std::string& ldif) {
    std::string output;
    int rc = RunProgram({"ldapadd", "-x", "-H", uri_, "-D", AccountFor(FirstDn(ldif)), "-w",
                         kWriterPassword, "-o", "nettimeout=5"},
                        ldif, &output);
    return rc == 0 ? "" : "ldapadd: " + output;
}

std::string Slapd::Modify(const std::string& ldif) {
    std::string output;
    int rc = RunProgram({"ldapmodify", "-x", "-H", uri_, "-D", AccountFor(FirstDn(ldif)), "-w",
                         kWriterPassword, "-o", "nettimeout=5"},
                        ldif, &output);
    return rc == 0 ? "" : "ldapmodify: " + output;
}

std::string Slapd::Delete(const std::string& dn) {
    std::string output;
    int rc = RunProgram({"ldapdelete", "-x", "-H", uri_, "-D", AccountFor(dn), "-w",
                         kWriterPassword, "-o", "nettimeout=5", dn},
                        "", &output);
    if (rc == 0 || rc == 32) return "";  // 32: no such object
    return "ldapdelete: " + output;
}

std::string Slapd::AddHost(const std::string& host, const std::vector<std::string>& modules) {
    // The labels of host, each a dc entry; the suffix's two already exist.
    std::vector<std::string> labels;
    std::string label;
    for (char c : host + ".") {
        if (c == '.') {
            if (!label.empty()) labels.push_back(label);
            label.clear();
        } else {
            label.push_back(c);
        }
    }
    if (labels.size() < 3) return "AddHost: " + host + " is not below a suffix";
    std::vector<std::string> dcs;  // dcs[i]: labels i.. as dc components
    for (size_t i = 0; i < labels.size(); ++i) {
        std::string dn;
        for (size_t j = i; j < labels.size(); ++j) dn += (dn.empty() ? "dc=" : ",dc=") + labels[j];
        dcs.push_back(dn);
    }
    // Parents from the suffix down; an existing one (68) is fine.
    for (size_t i = labels.size() - 2; i-- > 0;) {
        std::string output;
        std::string ldif = "dn: " + dcs[i] + "\nobjectClass: domain\ndc: " + labels[i] + "\n";
        int rc = RunProgram({"ldapadd", "-x", "-H", uri_, "-D", AccountFor(dcs[i]), "-w",
                             kWriterPassword, "-o", "nettimeout=5"},
                            ldif, &output);
        if (rc != 0 && rc != 68) return "ldapadd " + dcs[i] + ": " + output;
    }
    std::string dn = "host=" + host + "," + dcs[0];
    std::string err = Delete(dn);
    if (!err.empty()) return err;
    std::string ldif = "dn: " + dn + "\nobjectClass: ZUDudivor\nhost: " + host + "\n";
    for (const std::string& m : modules) ldif += "modules: " + m + "\n";
    return Add(ldif);
}

namespace {

// The values of attr in ldapsearch's -LLL output, base64 ones decoded.
std::vector<std::string> ParseValues(const std::string& output, const std::string& attr) {
    std::vector<std::string> values;
    std::istringstream in(output);
    std::string line;
    std::string plain = Lower(attr) + ": ";
    std::string coded = Lower(attr) + ":: ";
    while (std::getline(in, line)) {
        std::string head = Lower(line.substr(0, coded.size()));
        if (head.compare(0, plain.size(), plain) == 0) {
            values.push_back(line.substr(plain.size()));
        } else if (head == coded) {
            values.push_back(DecodeBase64(line.substr(coded.size())));
        }
    }
    return values;
}

}  // namespace

std::vector<std::string> Slapd::Search(const std::string& base, const char* scope,
                                       const std::string& filter, const std::string& attr,
                                       bool* ok) {
    std::string output;
    int rc = RunProgram({"ldapsearch", "-x", "-LLL", "-o", "ldif-wrap=no", "-o",
                         "nettimeout=5", "-H", uri_, "-D", AccountFor(base), "-w",
                         kWriterPassword, "-s", scope, "-b", base, filter, attr},
                        "", &output);
    if (ok != nullptr) *ok = rc == 0;
    if (rc != 0) return {};
    return ParseValues(output, attr);
}

std::vector<std::string> Slapd::Values(const std::string& base, const std::string& filter,
                                       const std::string& attr, bool* ok) {
    return Search(base, "sub", filter, attr, ok);
}

std::vector<std::string> Slapd::Modules(const std::string& dn, bool* ok) {
    return Search(dn, "base", "(objectClass=*)", "modules", ok);
}

std::string Slapd::WriteIni(const std::string& dir, const LdapIni& ini) const {
    std::string path = dir + "/daduv.ini";
    std::ofstream out(path, std::ios::trunc);
    if (!out) return "";
    if (!ini.installDirectory.empty()) {
        out << "[Config]\nInstallDirectory=" << ini.installDirectory << "\n\n";
    }
    out << "[Ldap]\n";
    out << "HostName=" << ini.server << "\n";
    if (!ini.omitPort) out << "Port=" << (ini.port.empty() ? std::to_string(port_) : ini.port) << "\n";
    out << "Username=" << ini.user << "\n";
    out << "Password=" << ini.password << "\n";
    out << "Hostname=" << ini.hostname << "\n";
    if (!ini.timeout.empty()) out << "Timeout=" << ini.timeout << "\n";
    out << ini.extra;
    out.close();
    return out ? path : "";
}

}  // namespace mqtest
