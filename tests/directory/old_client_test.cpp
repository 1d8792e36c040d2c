// The toolkit on a directory client of the old interface only (a site's
// own, without ldapClientOpenServer): the registry falls back on the old
// connect and bind, which speaks plain LDAP to a bare host. Run with the
// directory client built here without that call first on the library path
// (see CMakeLists.txt), against the fixture's slapd.
#include <dlfcn.h>
#include <unistd.h>

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

const char kHost[] = "old1.example.org";
const char kHostDn[] = "host=old1.example.org,dc=old1,dc=example,dc=org";

TEST(OldDirectoryClient, RegistersOverPlainLdapAndRefusesWhatItCantKeep) {
    // Without this the table would test the newer client by mistake.
    const char* newer =
        "_Z20ldapClientOpenServerP10ldapClientPK18ldapServerSettingsPKcS5_P16ldapServerReport";
    ASSERT_EQ(dlsym(RTLD_DEFAULT, newer), nullptr)
        << "the directory client loaded has the newer call: check LD_LIBRARY_PATH";
    Slapd* slapd = Slapd::Get();
    ASSERT_NE(slapd, nullptr) << Slapd::error();
    mqtest::TempDir config("mqtest-oldclient");
    ASSERT_FALSE(config.path().empty());
    setenv("MQ_CONFIG_DIR", config.path().c_str(), 1);
    mqtest::LoopbackPort closed(false);
    const std::string port = std::to_string(slapd->port());

    struct Case {
        const char* what;
        std::string hostName;
        std::string port;   // "" leaves Port out
        std::string extra;  // further [Ldap] lines
        bool want;
        const char* logged;  // what the error line holds, on failure
    } cases[] = {
        {"a bare host and Port", "127.0.0.1", port, "", true, nullptr},
        {"host:port", "127.0.0.1:" + port, "", "", true, nullptr},
        {"an ldap:// address", "ldap://127.0.0.1:" + port + "/", "", "", true, nullptr},
        {"the first down, the second serves", "127.0.0.1:" + closed.text() + " 127.0.0.1:" + port,
         "", "", true, nullptr},
        {"StartTLS asked for", "127.0.0.1", port, "TLS=starttls\n", false, "plain LDAP"},
        {"an ldaps:// address", "ldaps://127.0.0.1:" + port, "", "", false, "plain LDAP"},
        // Refused before any connection: nothing is sent to that address.
        {"the password to another machine", "192.0.2.1", port, "", false,
         "AllowPlaintextPassword"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(slapd->AddHost(kHost, {"archive"}), "");
        ASSERT_NE(slapd->WriteIni(config.path(), LdapIni::Writer(c.hostName, c.port, c.extra)), "");

        mqtest::LogTail log;
        EXPECT_EQ(AddModuleName(kHost, "scan"), c.want);
        EXPECT_EQ(slapd->Modules(kHostDn), c.want ? Values{"archive,scan"} : Values{"archive"});
        if (c.want) continue;
        std::vector<std::string> lines = log.NewLines();
        ASSERT_EQ(lines.size(), 1u) << mqtest::JoinLines(lines);
        EXPECT_NE(lines[0].find(c.logged), std::string::npos) << lines[0];
    }
    unsetenv("MQ_CONFIG_DIR");
}

}  // namespace
