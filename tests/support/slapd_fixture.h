// slapd_fixture.h - a private LDAP server for one test program, and the real
// OpenLDAP command-line clients to load and inspect it.
//
// mqtest::Slapd::Get() starts the server on first use (tests/support/slapd.sh
// in a fresh temporary directory, on 127.0.0.1 at a free port) and returns
// the same server for the rest of the program. The server is stopped by its
// process id when the program exits (atexit), when it dies of SIGTERM,
// SIGINT, SIGHUP, SIGABRT, SIGSEGV or SIGBUS, and, should it be killed
// outright, by the script's watchdog, which stops the server once the test
// program is gone. A process forked from the test program never stops it.
//
// The directory: see slapd.sh. Host entries are added with AddHost or Add;
// Values reads the server's real state with ldapsearch.
//
// Thread safety: use from the test program's main thread only.
#ifndef MQTEST_SLAPD_FIXTURE_H
#define MQTEST_SLAPD_FIXTURE_H

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

#include "child.h"     // RunProgram
#include "temp_dir.h"  // MakeTempDir, RemoveTree

namespace mqtest {

// Settings of the "Ldap" section (and "Config" InstallDirectory) written to
// a test's daduv.ini. Fields left empty are written as empty values;
// omitPort leaves the "Port" key out altogether.
struct LdapIni {
    std::string server = "127.0.0.1";  // "HostName": the directory server
    std::string port;                  // "Port"; empty: the fixture's port
    bool omitPort = false;
    std::string user;                  // "Username"
    std::string password;              // "Password"
    std::string hostname;              // "Hostname": the host whose entry lists modules
    std::string installDirectory;      // [Config] "InstallDirectory", when not empty
    std::string extra;                 // further lines of section "Ldap", as they are
    // "Timeout", the wait for each answer; "" leaves it out. Long, so that a
    // loaded machine's stall of a few seconds fails no test; a test of the
    // wait itself sets its own.
    std::string timeout = "30";

    // Binding as the writer to server (Port left out when port is empty).
    static LdapIni Writer(const std::string& server, const std::string& port,
                          const std::string& extra = "");
};

class Slapd {
public:
    static constexpr const char* kOrgSuffix = "dc=example,dc=org";
    static constexpr const char* kNetSuffix = "dc=example,dc=net";
    // May write anywhere, in both naming contexts.
    static constexpr const char* kWriterDn = "cn=admin,dc=example,dc=org";
    static constexpr const char* kWriterPassword = "secret";
    // May read, never write.
    static constexpr const char* kReaderDn = "cn=reader,dc=example,dc=org";
    static constexpr const char* kReaderPassword = "reader";

    // The program's server, started on first call. When it can't be started,
    // returns null and error() tells why.
    static Slapd* Get();
    static const std::string& error();

    // A server of the caller's own that also speaks TLS with the
    // certificate, key and CA in tlsDir (server.pem, server.key, ca.pem):
    // StartTLS on port(), TLS from the start on ldapsPort(), both on
    // 127.0.0.1 and 127.0.0.2; it logs each operation to dir()/slapd.log.
    // Stopped when the pointer is released (or by the watchdog, should the
    // program be killed). Null with *error set when it can't be started.
    static std::unique_ptr<Slapd> StartTls(const std::string& tlsDir, std::string* error);
    int ldapsPort() const { return ldapsPort_; }
    ~Slapd() { Stop(); }

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    const std::string& uri() const { return uri_; }
    const std::string& dir() const { return dir_; }

    // Adds the LDIF entries with ldapadd as the rootdn of the naming context
    // of the first entry. Returns "" on success, else ldapadd's output.
    std::string Add(const std::string& ldif);
    // Applies LDIF change records with ldapmodify (as Add chooses the
    // account). Returns "" on success, else ldapmodify's output.
    std::string Modify(const std::string& ldif);

    // Adds the entry host=<host>,dc=<label>,... of class ZUDudivor with one
    // "modules" value per element of modules, creating the missing
    // dc entries above it. host must be an ordinary dotted name below one of
    // the two suffixes (e.g. alpha.example.org). Replaces an existing entry.
    // Returns "" on success, else the clients' output.
    std::string AddHost(const std::string& host, const std::vector<std::string>& modules);
    // Deletes an entry; "" on success or when it did not exist.
    std::string Delete(const std::string& dn);

    // The values of attr of the entries below base that match filter, in
    // the order ldapsearch prints them (base64 values decoded). Sets *ok
    // (when given) to whether ldapsearch succeeded.
    std::vector<std::string> Values(const std::string& base, const std::string& filter,
                                     const std::string& attr, bool* ok = nullptr);
    // The "modules" values of the entry dn, read with ldapsearch.
    std::vector<std::string> Modules(const std::string& dn, bool* ok = nullptr);

    // Writes dir/daduv.ini for these settings. Returns the file's path, or
    // "" when it can't be written.
    std::string WriteIni(const std::string& dir, const LdapIni& ini) const;

    // Stops the server (also done at exit). Idempotent.
    void Stop();

    Slapd(const Slapd&) = delete;
    Slapd& operator=(const Slapd&) = delete;

private:
    Slapd() = default;
    bool Start(std::string* error, const std::string& tlsDir = "");
    std::string AccountFor(const std::string& dn) const;
    std::vector<std::string> Search(const std::string& base, const char* scope,
                                    const std::string& filter, const std::string& attr,
                                    bool* ok);

    std::string dir_;
    std::string uri_;
    int port_ = 0;
    int ldapsPort_ = 0;
    pid_t pid_ = 0;
};

inline LdapIni LdapIni::Writer(const std::string& server, const std::string& port,
                               const std::string& extra) {
    LdapIni ini;
    ini.server = server;
    ini.port = port;
    ini.omitPort = port.empty();
    ini.user = Slapd::kWriterDn;
    ini.password = Slapd::kWriterPassword;
    ini.extra = extra;
    return ini;
}

}  // namespace mqtest

#endif
