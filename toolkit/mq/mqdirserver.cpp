// mqdirserver.cpp - reading the directory server's settings and trying its
// servers in turn.
#include "mqdirserver.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log.h"
#include "mqdirectory.h"
#include "profile.h"

namespace mqdir {
namespace {

const char kLogApp[] = "API_MQ";
const char kIniFile[] = "daduv.ini";
const long kMaxTimeoutSeconds = 300;

// One of the names a setting may take, letter case ignored; -1 for none.
int NameIndex(const char* value, std::initializer_list<const char*> names) {
    int i = 0;
    for (const char* name : names) {
        if (strcasecmp(value, name) == 0) return i;
        ++i;
    }
    return -1;
}

}  // namespace

Settings::Settings() {
    // Each is read whole (an INI line holds far less than the buffer) and one
    // longer than the client takes is refused, never cut: a cut password
    // binds as "wrong credentials", and nobody could tell why.
    auto read = [this](const char* key, char* out, size_t size) {
        char whole[1024] = "";
        GetPrivateProfileString("Ldap", key, "", whole, sizeof whole, kIniFile);
        size_t length = std::strlen(whole);
        if (length < size) {
            std::memcpy(out, whole, length + 1);
        } else if (problem.empty()) {
            problem = std::string(key) + " in section [Ldap] of " + kIniFile + " is " +
                      std::to_string(length) + " characters long, more than the " +
                      std::to_string(size - 1) + " the directory client takes; refused, not cut";
        }
    };
    read("HostName", server, sizeof server);
    GetPrivateProfileString("Ldap", "Port", "", port, sizeof port, kIniFile);
    read("Username", user, sizeof user);
    read("Password", password, sizeof password);
    read("TLSCACertFile", caFile, sizeof caFile);
    char tlsText[64] = "", verifyText[64] = "", plainText[64] = "", timeoutText[64] = "";
    read("TLS", tlsText, sizeof tlsText);
    read("Timeout", timeoutText, sizeof timeoutText);
    read("TLSVerify", verifyText, sizeof verifyText);
    read("AllowPlaintextPassword", plainText, sizeof plainText);
    if (!problem.empty()) return;

    int tlsIndex = tlsText[0] == '\0' ? 0 : NameIndex(tlsText, {"none", "starttls", "ldaps"});
    int verifyIndex = verifyText[0] == '\0' ? 0 : NameIndex(verifyText, {"demand", "never"});
    int plainIndex = plainText[0] == '\0'
                         ? 0
                         : NameIndex(plainText, {"no", "yes", "false", "true", "0", "1"});
    if (tlsIndex < 0) {
        problem = std::string("TLS = ") + tlsText + " in section [Ldap] of " + kIniFile +
                  " is none of none, starttls, ldaps";
        return;
    }
    if (verifyIndex < 0) {
        problem = std::string("TLSVerify = ") + verifyText + " in section [Ldap] of " +
                  kIniFile + " is neither demand nor never";
        return;
    }
    if (plainIndex < 0) {
        problem = std::string("AllowPlaintextPassword = ") + plainText +
                  " in section [Ldap] of " + kIniFile + " is neither yes nor no";
        return;
    }
    if (timeoutText[0] != '\0') {
        // Whole seconds, digits only: "5s" or "0x10" is refused, not read
        // as something the administrator did not write.
        size_t digits = std::strspn(timeoutText, "0123456789");
        long value = digits == std::strlen(timeoutText) && digits <= 3
                         ? std::strtol(timeoutText, nullptr, 10)
                         : 0;
        if (value < 1 || value > kMaxTimeoutSeconds) {
            problem = std::string("Timeout = ") + timeoutText + " in section [Ldap] of " +
                      kIniFile + " is not a number of seconds from 1 to " +
                      std::to_string(kMaxTimeoutSeconds);
            return;
        }
        timeoutSeconds = static_cast<int>(value);
    }
    tls = tlsIndex;
    verify = verifyIndex == 0;
    allowPlaintext = plainIndex % 2 == 1;

    // The CA file is read by the TLS library only once a handshake begins,
    // after a server took the connection: a missing one is told here, as a
    // fault of the settings, not as one of each server.
    bool usesTls = tls != LDAP_CLIENT_TLS_NONE;
    for (const std::string& s : Servers()) usesTls = usesTls || s.compare(0, 8, "ldaps://") == 0;
    if (usesTls && caFile[0] != '\0') {
        int fd = open(caFile, O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            problem = std::string("TLSCACertFile ") + caFile + " in section [Ldap] of " +
                      kIniFile + ": " + std::strerror(errno);
            return;
        }
        close(fd);
    }
}

std::vector<std::string> Settings::Servers() const {
    std::vector<std::string> out;
    std::string word;
    for (const char* p = server;; ++p) {
        if (*p == '\0' || *p == ' ' || *p == '\t') {
            if (!word.empty()) out.push_back(word);
            word.clear();
            if (*p == '\0') break;
        } else {
            word += *p;
        }
    }
    return out;
}

int Settings::BarePort() const {
    // The text as atoi reads it (clamped to int's range rather than
    // overflowing), 0 meaning the standard port.
    long value = std::strtol(port, nullptr, 10);
    if (value > INT_MAX) value = INT_MAX;
    if (value < INT_MIN) value = INT_MIN;
    if (value != 0) return static_cast<int>(value);
    return tls == LDAP_CLIENT_TLS_LDAPS ? 636 : 389;
}

ldapServerSettings Settings::For(const std::string& one) const {
    ldapServerSettings s{};
    s.server = one.c_str();
    s.port = BarePort();
    s.tls = tls;
    s.caFile = caFile;
    s.verifyPeer = verify ? 1 : 0;
    s.allowPlaintext = allowPlaintext ? 1 : 0;
    s.timeoutSeconds = timeoutSeconds;
    return s;
}

// The directory client's TLS-aware connection is newer than the old
// interface: referred to weakly, so that the toolkit still loads and runs on
// a site's own directory client, where OpenOne falls back on the old
// connect and bind (plain LDAP only).
}  // namespace mqdir
int ldapClientOpenServer(ldapClient* client, const ldapServerSettings* settings, const char* user,
                         const char* password, ldapServerReport* report) __attribute__((weak));
namespace mqdir {

namespace {

void Put(char* to, size_t size, const std::string& text) {
    std::snprintf(to, size, "%s", text.c_str());
}

// OldOpen - one server through the old interface's connect and bind: a bare
// host, host:port or ldap:// address, no TLS, the password kept from a
// server that is not named as this machine unless allowed.
int OldOpen(ldapClient& client, const ldapServerSettings& s, const char* user,
            const char* password, ldapServerReport* report) {
    std::memset(report, 0, sizeof *report);
    std::string host = s.server;
    if (host.compare(0, 7, "ldap://") == 0) host = host.substr(7);
    if (!host.empty() && host.back() == '/') host.pop_back();
    int port = s.port;
    size_t colon = host.rfind(':');
    if (colon != std::string::npos && host.find(':') == colon) {
        port = std::atoi(host.c_str() + colon + 1);
        host.erase(colon);
    }
    Put(report->address, sizeof report->address,
        "ldap://" + host + ":" + std::to_string(port) + "/");
    if (s.tls != LDAP_CLIENT_TLS_NONE || std::string(s.server).compare(0, 8, "ldaps://") == 0 ||
        host.find_first_of(":[]/") != std::string::npos) {
        Put(report->why, sizeof report->why,
            "this directory client speaks plain LDAP to a bare host only (no TLS, no "
            "address list forms)");
        return -1;
    }
    const bool local = host == "localhost" || host.compare(0, 4, "127.") == 0;
    if (password != nullptr && *password != '\0' && !local && s.allowPlaintext == 0) {
        report->plaintextRefused = 1;
        Put(report->why, sizeof report->why,
            "the password is not sent unencrypted to another machine, and this directory "
            "client has no TLS: set AllowPlaintextPassword = yes in section [Ldap]");
        return -1;
    }
    if (client.ldapClientConnect(host.c_str(), port) != 0) {
        Put(report->why, sizeof report->why, "can't be reached");
        return -1;
    }
    report->reached = 1;
    report->local = local ? 1 : 0;
    int rc = client.ldapClientBind(user, password);
    if (rc != 0) {
        if (rc > 0) report->ldapResult = rc;
        Put(report->why, sizeof report->why, "bind refused (LDAP result " + std::to_string(rc) + ")");
        return rc > 0 ? rc : -1;
    }
    report->bound = 1;
    return 0;
}

// OpenOne - one server, through the client's own TLS-aware connection where
// it has one.
int OpenOne(ldapClient& client, const ldapServerSettings& s, const char* user,
            const char* password, ldapServerReport* report) {
    if (ldapClientOpenServer != nullptr) {
        return ldapClientOpenServer(&client, &s, user, password, report);
    }
    return OldOpen(client, s, user, password, report);
}

}  // namespace

int Open(ldapClient& client, const Settings& settings, const std::string& what) {
    std::vector<std::string> servers = settings.Servers();
    std::string passed;  // "address: why" of each server passed over
    int result = -1;
    for (const std::string& one : servers) {
        ldapServerSettings s = settings.For(one);
        ldapServerReport report;
        int rc = OpenOne(client, s, settings.user, settings.password, &report);
        if (rc == 0) {
            if (!passed.empty()) {
                LogMessage(MQLOG_WARNING, mqdir::kLogApp,
                           (what + ": directory server " + passed + "; served by " +
                            report.address)
                               .c_str());
            }
            return 0;
        }
        if (rc > 0) result = rc;
        if (!passed.empty()) passed += "; ";
        passed += std::string(report.address) + ": " + report.why;
    }
    std::string line = servers.size() == 1 ? what + ": directory server " + passed
                                           : what + ": no directory server would serve: " + passed;
    LogMessage(MQLOG_ERROR, kLogApp, line.c_str());
    return result;
}

}  // namespace mqdir

// CheckDirectoryServers - every server of the list, reported one by one.
int CheckDirectoryServers(MQServerCheck* out, int max, char* why, int whySize) {
    if (why != nullptr && whySize > 0) why[0] = '\0';
    try {
        mqdir::Settings settings;
        if (!settings.problem.empty()) {
            if (why != nullptr && whySize > 0) {
                std::snprintf(why, static_cast<size_t>(whySize), "%s", settings.problem.c_str());
            }
            return -1;
        }
        int n = 0;
        for (const std::string& one : settings.Servers()) {
            if (out == nullptr || n >= max) break;
            ldapServerSettings s = settings.For(one);
            ldapServerReport report;
            ldapClient client;
            if (mqdir::OpenOne(client, s, settings.user, settings.password, &report) != 0) {
                LogMessage(MQLOG_WARNING, mqdir::kLogApp,
                           (std::string("directory check: directory server ") + report.address +
                            ": " + report.why)
                               .c_str());
            }
            MQServerCheck& c = out[n++];
            std::memset(&c, 0, sizeof c);
            std::memcpy(c.address, report.address, sizeof c.address);
            c.reached = report.reached;
            c.tls = report.tls;
            c.local = report.local;
            c.bound = report.bound;
            c.plaintextRefused = report.plaintextRefused;
            c.ldapResult = report.ldapResult;
            std::memcpy(c.why, report.why, sizeof c.why);
        }
        return n;
    } catch (...) {
        if (why != nullptr && whySize > 0) std::snprintf(why, static_cast<size_t>(whySize), "out of memory");
        return -1;
    }
}
