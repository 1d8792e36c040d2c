// cmd_check.cpp - check: the installation's health, one finding a line,
// each problem with what to do about it.
//
// The checks run in order and a check that later ones depend on stops them
// when it fails: without a configuration there is no spool to look at.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include <ldapclient.h>
#include <mqadmin.h>
#include <mqapi.h>
#include <profile.h>

#include "commands.h"
#include "output.h"
#include "session.h"

namespace mqctl {

namespace {

// A body younger than this may still be on its way from its writer (the
// rename pattern); an older missing one is a problem.
const int64_t kBodyGraceSeconds = 60;

struct Finding {
    std::string check;
    bool ok;
    std::string detail;
    std::string fix;  // what to do; empty when ok
};

class Report {
public:
    void Ok(const std::string& check, const std::string& detail) {
        findings_.push_back({check, true, detail, ""});
    }
    void Problem(const std::string& check, const std::string& detail, const std::string& fix) {
        findings_.push_back({check, false, detail, fix});
    }
    bool Healthy() const {
        for (const Finding& f : findings_) {
            if (!f.ok) return false;
        }
        return true;
    }
    void Print(bool json) const {
        for (const Finding& f : findings_) {
            if (json) {
                JsonObject o;
                o.Str("check", f.check).Bool("ok", f.ok).Str("detail", f.detail);
                if (!f.ok) o.Str("fix", f.fix);
                o.Print();
                continue;
            }
            std::printf("%-8s %-13s %s\n", f.ok ? "ok" : "PROBLEM", f.check.c_str(),
                        f.detail.c_str());
            if (!f.ok) std::printf("%-8s %-13s fix: %s\n", "", "", f.fix.c_str());
        }
    }

private:
    std::vector<Finding> findings_;
};

// CheckSpoolSafety - reports a spool that others could redirect or fill:
// a symbolic link (whoever can change it moves the queue), or a directory
// any user may write to. Nothing is reported when all is well (the store
// checks that follow say so) or when there is no spool yet.
void CheckSpoolSafety(const std::string& spool, Report* report) {
    struct stat st;
    if (lstat(spool.c_str(), &st) != 0) return;
    if (S_ISLNK(st.st_mode)) {
        report->Problem("spool",
                        spool + " is a symbolic link: whoever can change it moves the queue",
                        "replace it with the directory itself, or set InstallDirectory to where "
                        "it points");
    } else if (S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0) {
        report->Problem("spool", spool + " is writable by every user",
                        "chmod o-w " + spool);
    }
}

std::string Setting(const std::string& ini, const char* section, const char* key) {
    char buf[256] = "";
    GetPrivateProfileString(section, key, "", buf, sizeof buf, ini.c_str());
    return buf;
}

// RFC 4515: a filter value with '*', '(', ')', '\' and NUL written as \hh.
std::string EscapeFilter(const std::string& value) {
    std::string out;
    for (unsigned char c : value) {
        if (c == '*' || c == '(' || c == ')' || c == '\\' || c == 0) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "\\%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int CountChannel(void* context, const char*, const char*, const char*, char) {
    ++*static_cast<int*>(context);
    return 0;
}

void CheckStoreFiles(Report* report) {
    cMQ mq;
    if (mq.OpenMQChannel(kAppName, kIniName) != MQ_SUCCESS) {
        report->Problem("store", "the queue store can't be opened (the log says why)",
                        "read the log (MQ_LOG=stderr mqctl check shows it), then mend the "
                        "spool's permissions or the channel file");
        return;
    }
    std::string spool = mqadmin::SpoolDirectory();
    mqadmin::HealthReport health;
    if (!mqadmin::CheckStore(&health)) {
        report->Problem("database", "the database under " + spool + " can't be checked",
                        "read the log; stop the mail system and restore the spool");
        return;
    }
    if (health.integrity == "ok") {
        report->Ok("database", "integrity ok, spool " + spool);
    } else {
        report->Problem("database", "integrity check failed: " + health.integrity,
                        "stop the mail system and restore the database under " + spool +
                            " from a backup");
    }
    if (health.orphanFiles.empty()) {
        report->Ok("orphan files", "every message file belongs to an entry");
    } else {
        report->Problem("orphan files",
                        std::to_string(health.orphanFiles.size()) +
                            " file(s) belong to no entry: " + Join(health.orphanFiles, " "),
                        "look at them, then remove them with rm");
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::vector<std::string> stale, fresh;
    for (const mqadmin::EntryInfo& e : health.missingBodies) {
        (now - e.created > kBodyGraceSeconds ? stale : fresh).push_back(std::to_string(e.id));
    }
    if (stale.empty()) {
        report->Ok("message files", fresh.empty() ? "every entry has its message file"
                                                  : "entries " + Join(fresh, " ") +
                                                        " are still being written");
    } else {
        report->Problem("message files",
                        "entries without a message file: " + Join(stale, " "),
                        "mqctl delete " + Join(stale, " "));
    }
}

void CheckDirectory(const std::string& ini, Report* report) {
    std::string server = Setting(ini, "Ldap", "HostName");
    std::string portText = Setting(ini, "Ldap", "Port");
    std::string host = Setting(ini, "Ldap", "Hostname");
    if (server.empty()) {
        report->Problem("directory", "no directory server set",
                        "set HostName in section [Ldap] of " + ini);
        return;
    }
    int port = std::atoi(portText.c_str());
    if (port <= 0) port = 389;
    std::string where = server + ":" + std::to_string(port);
    ldapClient client;
    if (client.ldapClientConnect(server.c_str(), port) != 0) {
        report->Problem("directory", "the directory server " + where + " can't be reached",
                        "start it, or correct HostName and Port in section [Ldap] of " + ini);
        return;
    }
    std::string user = Setting(ini, "Ldap", "Username");
    int rc = client.ldapClientBind(user.c_str(), Setting(ini, "Ldap", "Password").c_str());
    if (rc != 0) {
        report->Problem("directory",
                        where + " refused the bind as " + (user.empty() ? "anonymous" : user) +
                            " (LDAP result " + std::to_string(rc) + ")",
                        "correct Username and Password in section [Ldap] of " + ini);
        return;
    }
    if (host.empty()) {
        report->Problem("host entry", "no host set whose entry lists the modules",
                        "set Hostname in section [Ldap] of " + ini);
        return;
    }
    std::string filter = "(&(objectclass=ZUDudivor)(host=" + EscapeFilter(host) + "))";
    int count = 0;
    SearchReq* found = client.ldapClientSearch(nullptr, 2, 0, filter.c_str(), &count);
    std::string dn = found != nullptr ? found->dn : "";
    client.srch_free(found);
    if (count < 0) {
        report->Problem("host entry", "searching " + where + " for " + host + " failed",
                        "read the log; check the account may read the host entries");
    } else if (count == 0) {
        report->Problem("host entry", "no entry of class ZUDudivor for host " + host,
                        "add host=" + host + " below its domain components (see the README)");
    } else {
        report->Ok("directory", where + " answers");
        report->Ok("host entry", dn);
    }
}

}  // namespace

int RunCheck(const std::string& command, const Args& args) {
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    Report report;
    Installation inst;
    std::string error;
    if (!FindInstallation(&inst, &error)) {
        // No file, an unreadable one, or one naming no installation directory.
        if (inst.iniPath.empty() || access(inst.iniPath.c_str(), R_OK) != 0) {
            report.Problem("configuration", error, "see the README's Configuration section");
        } else {
            report.Ok("configuration", inst.iniPath);
            report.Problem("install dir", error, "see the README's Configuration section");
        }
        report.Print(args.Has("json"));
        return kExitRefused;
    }
    report.Ok("configuration", inst.iniPath);
    struct stat st;
    bool exists = stat(inst.installDir.c_str(), &st) == 0;
    if (!exists || !S_ISDIR(st.st_mode)) {
        report.Problem("install dir",
                       inst.installDir + ": " + (exists ? "not a directory" : std::strerror(errno)),
                       "create it, or correct InstallDirectory in " + inst.iniPath);
        report.Print(args.Has("json"));
        return kExitRefused;
    }
    report.Ok("install dir", inst.installDir);
    int channels = 0;
    cChannel registry;
    if (registry.List(CountChannel, &channels) == MQ_SUCCESS) {
        report.Ok("channel file", std::to_string(channels) + " channel(s) registered");
    } else {
        report.Problem("channel file", inst.installDir + "/queue.cfg can't be read",
                       "make it readable for this user");
    }
    CheckSpoolSafety(inst.installDir + "/spool", &report);
    CheckStoreFiles(&report);
    CheckDirectory(inst.iniPath, &report);
    report.Print(args.Has("json"));
    return report.Healthy() ? kExitOk : kExitRefused;
}

}  // namespace mqctl
