// Tests of GetPrivateProfileString and the lookup of configuration files,
// on real files in a temporary directory.
#include "profile.h"
#include "profilepath.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "temp_dir.h"

namespace {

// Reads one setting through a generous buffer.
std::string Get(const char* section, const char* key, const char* def, const std::string& file) {
    char buffer[1024];
    int n = GetPrivateProfileString(section, key, def, buffer, sizeof buffer, file.c_str());
    EXPECT_EQ(n, static_cast<int>(std::string(buffer).size())) << "returned count vs text";
    return buffer;
}

struct LookupCase {
    const char* name;
    std::string content;
    std::string section;
    std::string key;
    const char* def;
    std::string want;
};

const std::string kLong197 = "K=" + std::string(195, 'x');  // the longest line taken

std::vector<LookupCase> LookupCases() {
    const std::string ldap = "[Ldap]\nHostName = server.example.org\nHostname = me.example.org\n";
    return {
        {"section case ignored", ldap, "LDAP", "HostName", "d", "server.example.org"},
        {"section lower case", "[ldap]\nPort=389\n", "Ldap", "Port", "d", "389"},
        {"key case kept: HostName", ldap, "Ldap", "HostName", "d", "server.example.org"},
        {"key case kept: Hostname", ldap, "Ldap", "Hostname", "d", "me.example.org"},
        {"key case kept: hostname", ldap, "Ldap", "hostname", "d", "d"},
        {"value trimmed", "[S]\n  K  =  \t v a l \t \n", "S", "K", "d", "v a l"},
        {"empty value is no default", "[S]\nK=\n", "S", "K", "d", ""},
        {"missing section", "[S]\nK=v\n", "T", "K", "d", "d"},
        {"missing key", "[S]\nK=v\n", "S", "L", "dflt", "dflt"},
        {"null default", "[S]\nK=v\n", "S", "L", nullptr, ""},
        {"empty file", "", "S", "K", "d", "d"},
        {"first of two wins", "[S]\nK=first\nK=second\n", "S", "K", "d", "first"},
        {"section met twice", "[S]\nA=1\n[T]\nK=t\n[S]\nK=s\n", "S", "K", "d", "s"},
        {"key before any section", "K=v\n[S]\nA=1\n", "S", "K", "d", "d"},
        {"line comments", "; K=a\n# K=b\n[S]\n;K=c\n#K=d\nK=v\n", "S", "K", "d", "v"},
        {"commented out key", "[S]\n; K=v\n", "S", "K", "d", "d"},
        {"inline comment after space", "[S]\nK = v ; note\n", "S", "K", "d", "v"},
        {"semicolon inside value", "[S]\nK=a;b\n", "S", "K", "d", "a;b"},
        {"comment after section", "[S] ; the S\nK=v\n", "S", "K", "d", "v"},
        {"CR LF line ends", "[S]\r\nK=v\r\nL=w\r\n", "S", "L", "d", "w"},
        {"no final line end", "[S]\nK=v", "S", "K", "d", "v"},
        {"colon separates", "[S]\nK: v\n", "S", "K", "d", "v"},
        {"indented key is a key", "[S]\nA=1\n  K=2\n", "S", "K", "d", "2"},
        {"indented key leaves the one above", "[S]\nA=1\n  K=2\n", "S", "A", "d", "1"},
        {"spaces inside brackets", "[ S ]\nK=v\n", "S", "K", "d", "v"},
        {"byte order mark", "\xEF\xBB\xBF[S]\nK=v\n", "S", "K", "d", "v"},
        {"longest line taken", "[S]\n" + kLong197 + "\n", "S", "K", "d", kLong197.substr(2)},
        {"longest line with CR LF", "[S]\n" + kLong197 + "\r\n", "S", "K", "d", kLong197.substr(2)},
        {"one more is no setting", "[S]\n" + kLong197 + "x\n", "S", "K", "d", "d"},
        {"over-long line not cut into two", "[S]\nL=" + std::string(197, 'x') + "K=evil\n", "S",
         "K", "d", "d"},
        {"over-long line leaves others", "[S]\nL=" + std::string(500, 'x') + "\nK=v\n", "S", "K",
         "d", "v"},
        {"over-long section hides its keys", "[S]\nK=s\n[" + std::string(300, 'T') + "]\nK=evil\n",
         "S", "K", "d", "s"},
        {"keys after an over-long section", "[" + std::string(300, 'T') + "]\nK=x\n[S]\nK=v\n", "S",
         "K", "d", "v"},
        {"48-character section", "[" + std::string(48, 'A') + "]\nK=v\n", std::string(48, 'A'), "K",
         "d", "v"},
        {"long section not cut to a short one", "[" + std::string(60, 'A') + "]\nK=v\n",
         std::string(49, 'A'), "K", "d", "d"},
        {"long indented section not cut to a short one", "[ " + std::string(60, 'A') + "]\nK=v\n",
         std::string(48, 'A'), "K", "d", "d"},
        {"long section name asked for", "[" + std::string(60, 'A') + "]\nK=v\n",
         std::string(60, 'A'), "K", "d", "d"},
        {"unclosed section hides its keys", "[S]\nK=s\n[T\nK=t\n", "S", "K", "d", "s"},
        {"section closed after a comment", "[S]\nK=s\n[T ;x]\nK=t\n", "S", "K", "d", "s"},
        {"NUL inside a line", std::string("[S]\nK=ab\0cd\n", 12), "S", "K", "d", "d"},
        {"line without separator", "[S]\ngarbage\nK=v\n", "S", "K", "d", "v"},
        {"binary bytes", std::string("\x01\xff[\x80]\n=\n\n\xfe=\xfd\n", 13) + "[S]\nK=v\n", "S",
         "K", "d", "v"},
        {"empty key asked for", "[S]\n=v\n", "S", "", "d", "d"},
    };
}

TEST(ProfileLookup, Table) {
    mqtest::TempDir dir;
    ASSERT_FALSE(dir.path().empty());
    for (const LookupCase& c : LookupCases()) {
        std::string file = dir.Write("case.ini", c.content);
        std::string got = Get(c.section.c_str(), c.key.c_str(), c.def, file);
        EXPECT_EQ(got, c.want) << c.name << ": got \"" << got << "\", want \"" << c.want << "\"";
    }
}

struct BufferCase {
    const char* name;
    const char* key;  // "K" holds "abcdef"; anything else takes the default
    const char* def;
    int size;
    std::string want;
};

TEST(ProfileBuffer, TruncatesToSizeMinusOne) {
    mqtest::TempDir dir;
    std::string file = dir.Write("b.ini", "[S]\nK=abcdef\n");
    const BufferCase cases[] = {
        {"value fits", "K", "d", 7, "abcdef"},
        {"value cut", "K", "d", 4, "abc"},
        {"room for the NUL only", "K", "d", 1, ""},
        {"default cut", "L", "defaults", 5, "defa"},
        {"default fits", "L", "defaults", 9, "defaults"},
    };
    for (const BufferCase& c : cases) {
        char buffer[16];
        std::memset(buffer, '#', sizeof buffer);
        int n = GetPrivateProfileString("S", c.key, c.def, buffer, c.size, file.c_str());
        EXPECT_EQ(std::string(buffer), c.want) << c.name;
        EXPECT_EQ(n, static_cast<int>(c.want.size())) << c.name << ": returned count";
        EXPECT_EQ(buffer[c.size], '#') << c.name << ": wrote past size";
    }
}

TEST(ProfileBuffer, NoBufferCopiesNothing) {
    mqtest::TempDir dir;
    std::string file = dir.Write("b.ini", "[S]\nK=abcdef\n");
    char buffer[4] = {'#', '#', '#', '#'};
    EXPECT_EQ(GetPrivateProfileString("S", "K", "d", nullptr, 8, file.c_str()), 0);
    for (int size : {0, -1}) {
        EXPECT_EQ(GetPrivateProfileString("S", "K", "d", buffer, size, file.c_str()), 0)
            << "size " << size;
        EXPECT_EQ(buffer[0], '#') << "size " << size << ": buffer touched";
    }
}

TEST(ProfileBadInput, GivesTheDefault) {
    mqtest::TempDir dir;
    std::string file = dir.Write("b.ini", "[S]\nK=v\n");
    struct {
        const char* name;
        const char* section;
        const char* key;
        const char* fileName;
    } cases[] = {
        {"null section", nullptr, "K", file.c_str()},
        {"null key", "S", nullptr, file.c_str()},
        {"null file name", "S", "K", nullptr},
        {"empty file name", "S", "K", ""},
        {"missing file", "S", "K", "/nonexistent/dir/daduv.ini"},
        {"a directory", "S", "K", dir.path().c_str()},
    };
    for (const auto& c : cases) {
        char buffer[16];
        errno = 0;
        int n =
            GetPrivateProfileString(c.section, c.key, "dflt", buffer, sizeof buffer, c.fileName);
        EXPECT_EQ(std::string(buffer), "dflt") << c.name;
        EXPECT_EQ(n, 4) << c.name;
        EXPECT_EQ(errno, 0) << c.name << ": errno changed";
    }
}

// Sets or clears an environment variable for one test, and puts it back.
class ScopedEnv {
  public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        hadOld_ = old != nullptr;
        if (hadOld_) old_ = old;
        if (value != nullptr)
            setenv(name, value, 1);
        else
            unsetenv(name);
    }
    ~ScopedEnv() {
        if (hadOld_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

  private:
    const char* name_;
    bool hadOld_;
    std::string old_;
};

// Runs the test in another current directory, and goes back.
class ScopedCwd {
  public:
    explicit ScopedCwd(const std::string& dir) {
        char buffer[4096];
        if (getcwd(buffer, sizeof buffer) != nullptr) old_ = buffer;
        ok_ = chdir(dir.c_str()) == 0;
    }
    ~ScopedCwd() {
        if (!old_.empty() && chdir(old_.c_str()) != 0) std::abort();
    }
    bool ok() const { return ok_; }

  private:
    std::string old_;
    bool ok_;
};

TEST(ProfilePath, LookupOrder) {
    mqtest::TempDir configDir, workDir;
    configDir.Write("daduv.ini", "[Config]\nInstallDirectory=/from/config-dir\n");
    workDir.Write("daduv.ini", "[Config]\nInstallDirectory=/from/cwd\n");
    workDir.Write("cwd-only.ini", "[Config]\nInstallDirectory=/from/cwd-only\n");
    std::string absolute = workDir.File("cwd-only.ini");
    ScopedCwd cwd(workDir.path());
    ASSERT_TRUE(cwd.ok());

    struct {
        const char* name;
        const char* configEnv;  // null: unset
        const char* file;
        std::string wantPath;
        std::string wantValue;  // of [Config] InstallDirectory, "d" by default
    } cases[] = {
        {"config dir first", configDir.path().c_str(), "daduv.ini", configDir.File("daduv.ini"),
         "/from/config-dir"},
        {"config dir only: no fall-back", configDir.path().c_str(), "cwd-only.ini", "", "d"},
        {"unset: current directory", nullptr, "daduv.ini", "daduv.ini", "/from/cwd"},
        {"empty counts as unset", "", "daduv.ini", "daduv.ini", "/from/cwd"},
        {"then /etc", nullptr, "passwd", "/etc/passwd", "d"},
        {"found nowhere", nullptr, "no-such-file.ini", "", "d"},
        {"slash: used as given", configDir.path().c_str(), "./cwd-only.ini", "./cwd-only.ini",
         "/from/cwd-only"},
        {"slash: missing file", nullptr, "./absent.ini", "./absent.ini", "d"},
        {"absolute path", nullptr, absolute.c_str(), absolute, "/from/cwd-only"},
    };

    for (const auto& c : cases) {
        ScopedEnv env("MQ_CONFIG_DIR", c.configEnv);
        std::string path = mqcommon::ResolveProfilePath(c.file);
        EXPECT_EQ(path, c.wantPath) << c.name;
        EXPECT_EQ(Get("Config", "InstallDirectory", "d", c.file), c.wantValue) << c.name;
    }
    EXPECT_EQ(mqcommon::ResolveProfilePath(nullptr), "");
    EXPECT_EQ(mqcommon::ResolveProfilePath(""), "");
}

}  // namespace
