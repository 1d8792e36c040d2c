// cmd_check.cpp - check: the installation's health, one finding a line,
// each problem with what to do about it.
//
// The checks run in order and a check that later ones depend on stops them
// when it fails: without a configuration there is no spool to look at.
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <strings.h>

#include <mqadmin.h>
#include <mqapi.h>
#include <mqdirectory.h>
#include <profile.h>

#include "commands.h"
#include "entryview.h"
#include "output.h"
#include "reading.h"
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

// ShellQuote - text as one word for a POSIX shell, quoted only when it
// holds anything but letters, digits and -_./:,=+@ (the fix lines are meant
// to be pasted).
std::string ShellQuote(const std::string& text) {
    bool plain = !text.empty();
    for (unsigned char c : text) {
        plain = plain && (isalnum(c) || strchr("-_./:,=+@", c) != nullptr);
    }
    if (plain) return text;
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string UserName(uid_t uid) {
    struct passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string GroupName(gid_t gid) {
    struct group* gr = getgrgid(gid);
    return gr != nullptr ? gr->gr_name : std::to_string(gid);
}

// CheckSpoolSafety - reports a spool that others could redirect, fill or
// read: a symbolic link (whoever can change it moves the queue), a
// directory any user may write to or read, or one that belongs to another
// user than the installation directory (the queue's owner): a spool made
// by root's first mqctl run locks the applications out. Nothing is
// reported when all is well (the store checks that follow say so) or when
// there is no spool yet.
void CheckSpoolSafety(const std::string& installDir, Report* report) {
    std::string spool = installDir + "/spool";
    struct stat st;
    if (lstat(spool.c_str(), &st) != 0) return;
    struct stat top;
    bool haveTop = stat(installDir.c_str(), &top) == 0;
    if (S_ISLNK(st.st_mode)) {
        report->Problem("spool",
                        spool + " is a symbolic link: whoever can change it moves the queue",
                        "replace it with the directory itself, or set InstallDirectory to where "
                        "it points");
    } else if (S_ISDIR(st.st_mode) && (st.st_mode & S_IWOTH) != 0) {
        report->Problem("spool", spool + " is writable by every user",
                        "chmod o-rwx " + ShellQuote(spool));
    } else if (S_ISDIR(st.st_mode) && (st.st_mode & (S_IROTH | S_IXOTH)) != 0) {
        report->Problem("spool", spool + " is readable by every user: anyone may read the messages",
                        "chmod o-rwx " + ShellQuote(spool));
    } else if (haveTop && st.st_uid != top.st_uid) {
        std::string owner = UserName(top.st_uid) + ":" + GroupName(top.st_gid);
        report->Problem("spool",
                        spool + " belongs to " + UserName(st.st_uid) + ", " + installDir +
                            " to " + UserName(top.st_uid) + ": the queue's owner can't use it",
                        "chown -R " + ShellQuote(owner) + " " + ShellQuote(spool));
    }
}

// CheckSettingsFile - the settings file, a problem when it holds the
// directory's password while every user may read it.
void CheckSettingsFile(const std::string& ini, Report* report) {
    struct stat st;
    char password[256] = "";
    GetPrivateProfileString("Ldap", "Password", "", password, sizeof password, ini.c_str());
    if (password[0] != '\0' && stat(ini.c_str(), &st) == 0 && (st.st_mode & S_IROTH) != 0) {
        report->Problem("configuration",
                        ini + " holds the directory's password and every user can read it",
                        "chmod o-r " + ShellQuote(ini));
    } else {
        report->Ok("configuration", ini);
    }
}

std::string Setting(const std::string& ini, const char* section, const char* key) {
    char buf[256] = "";
    GetPrivateProfileString(section, key, "", buf, sizeof buf, ini.c_str());
    return buf;
}

// CheckSchedule - the retry schedule's settings: a value the store can't
// read is a problem (the store logs it and uses the default).
void CheckSchedule(const std::string& ini, Report* report) {
    std::vector<std::string> bad;
    for (const char* key : {"MinimalBackoff", "MaximalBackoff", "QueueLifetime"}) {
        std::string text = Setting(ini, "Config", key);
        int64_t seconds = 0;
        if (text.empty()) continue;
        bool zeroAllowed = std::string(key) == "QueueLifetime";
        if (!mqadmin::ParseDuration(text.c_str(), &seconds) || (seconds == 0 && !zeroAllowed)) {
            bad.push_back(std::string(key) + " \"" + Printable(text) + "\"");
        }
    }
    if (bad.empty()) {
        report->Ok("schedule", "MinimalBackoff, MaximalBackoff and QueueLifetime are readable");
    } else {
        report->Problem("schedule",
                        ini + ": " + Join(bad, ", ") +
                            " is no duration (seconds, or a number with s, m, h or d): "
                            "its default is used",
                        "set it to, say, 5m (MinimalBackoff), 1h (MaximalBackoff) or 5d "
                        "(QueueLifetime, 0 for never)");
    }
}

struct ChannelRecord {
    std::string channel, application;
};

int CollectRecord(void* context, const char* channel, const char* application, const char*,
                  char) {
    static_cast<std::vector<ChannelRecord>*>(context)->push_back({channel, application});
    return 0;
}

// Entries of channels the channel file no longer lists: no reader asks for
// them.
void CheckStranded(const std::vector<ChannelRecord>& records, Report* report) {
    std::vector<mqadmin::ChannelCount> counts;
    if (!mqadmin::CountEntries(&counts)) return;  // the database check said why
    std::vector<std::string> stranded;
    std::string first;
    for (const mqadmin::ChannelCount& c : counts) {
        bool known = false;
        for (const ChannelRecord& r : records) {
            known = known || strcasecmp(r.channel.c_str(), c.channel.c_str()) == 0;
        }
        uint32_t n = c.queued + c.held + c.failed;
        if (known || n == 0) continue;
        stranded.push_back(Printable(c.channel) + " (" + std::to_string(n) +
                           (n == 1 ? " entry)" : " entries)"));
        if (first.empty()) first = ShellQuote(Printable(c.channel));
    }
    if (stranded.empty()) {
        report->Ok("stranded", "every entry's channel is registered");
    } else {
        report->Problem("stranded",
                        "entries of channels not registered: " + Join(stranded, ", "),
                        "register the channel again (mqctl channel add " + first +
                            " APP in|out), or remove them (mqctl delete ALL " + first + ")");
    }
}

// Progress - how far the long parts of the store's check are, on one line
// of standard error rewritten in place; nothing unless it is a terminal.
class Progress {
public:
    Progress() : on_(isatty(STDERR_FILENO) == 1) {}
    ~Progress() { Clear(); }
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // The store's progress callback, or none when nothing is shown.
    std::function<void(const char*, uint64_t, uint64_t)> Callback() {
        if (!on_) return nullptr;
        return [this](const char* part, uint64_t done, uint64_t total) {
            Show(part, done, total);
        };
    }

private:
    void Show(const char* part, uint64_t done, uint64_t total) {
        char line[128];
        if (std::strcmp(part, "database") == 0) {
            std::snprintf(line, sizeof line, "check: database integrity scan, %llu s",
                          static_cast<unsigned long long>(done));
        } else if (total > 0) {
            std::snprintf(line, sizeof line, "check: %s %llu of %llu (%llu%%)", part,
                          static_cast<unsigned long long>(done),
                          static_cast<unsigned long long>(total),
                          static_cast<unsigned long long>(done * 100 / total));
        } else {
            std::snprintf(line, sizeof line, "check: %s %llu", part,
                          static_cast<unsigned long long>(done));
        }
        std::fprintf(stderr, "\r%s\033[K", line);
        shown_ = true;
    }
    void Clear() {
        if (shown_) std::fprintf(stderr, "\r\033[K");
        shown_ = false;
    }

    bool on_;
    bool shown_ = false;
};

void CheckStoreFiles(const std::string& installDir, const std::vector<ChannelRecord>& records,
                     bool quick, Report* report) {
    if (!PrepareReading(installDir)) {
        // check makes nothing: the first put makes the spool.
        report->Ok("store", "no spool yet under " + installDir + " (nothing was ever put)");
        return;
    }
    // Only reads, even for a user who may write: no clean-up after dead
    // processes, no file written, so that stopping it changes nothing.
    mqadmin::SetReadOnly(true);
    cMQ mq;
    if (mq.OpenMQChannel(kAppName, kIniName) != MQ_SUCCESS) {
        report->Problem("store", "the queue store can't be opened (the log says why)",
                        "read the log (MQ_LOG=stderr mqctl check shows it), then mend the "
                        "spool's permissions or the channel file");
        return;
    }
    std::string spool = mqadmin::SpoolDirectory();
    mqadmin::HealthReport health;
    mqadmin::CheckOptions options;
    options.quick = quick;
    bool checked;
    {
        Progress progress;
        options.progress = progress.Callback();
        checked = mqadmin::CheckStore(&health, options);
    }
    if (!checked) {
        report->Problem("database", "the database under " + spool + " can't be checked",
                        "read the log; stop the mail system and restore the spool");
        return;
    }
    if (health.integrity == "ok") {
        report->Ok("database", std::string(health.complete ? "integrity ok"
                                                           : "header and schema ok (--quick: "
                                                             "no integrity scan)") +
                                   ", spool " + spool);
    } else {
        report->Problem("database", "integrity check failed: " + health.integrity,
                        "stop the mail system and restore the database under " + spool +
                            " from a backup");
    }
    report->Ok("space", "database " + std::to_string(health.databaseBytes) + " bytes (" +
                            std::to_string(health.databaseFree) +
                            " free for reuse), write-ahead log " +
                            std::to_string(health.walBytes) + " bytes");
    if (!health.complete) {
        // The walks of every entry and file are the full check's; the
        // counts per channel come from the store's totals, cheap at any
        // depth.
        CheckStranded(records, report);
        return;
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
        bool old = AgeSince(now, e.created) > kBodyGraceSeconds;
        (old ? stale : fresh).push_back(std::to_string(e.id));
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
    CheckStranded(records, report);
}

// ServerFinding - one line for one directory server: reachable or not,
// TLS or not, bound or why not, and what to do when it does not serve.
void ServerFinding(const std::string& ini, const std::string& user, const MQServerCheck& s,
                   Report* report) {
    std::string address = s.address;
    std::string state = s.reached ? std::string("reachable, ") + (s.tls ? "TLS" : "no TLS")
                                  : std::string("not reachable");
    if (s.bound) {
        report->Ok("directory", address + " " + state + ", bound as " + user);
        return;
    }
    std::string in = " in section [Ldap] of " + ini;
    std::string fix;
    if (s.plaintextRefused) {
        fix = "set TLS = starttls or ldaps" + in + " (AllowPlaintextPassword = yes sends the "
              "password in the clear)";
    } else if (s.ldapResult != 0) {
        fix = "correct Username and Password" + in;
    } else if (s.reached) {
        fix = "check the server's TLS set-up and certificate, and TLS, TLSCACertFile and "
              "TLSVerify" + in;
    } else {
        fix = "start it, or correct HostName and Port" + in;
    }
    report->Problem("directory", address + " " + state + ", not bound: " + s.why, fix);
}

// The directory through the toolkit's own calls, so that check and the
// registry agree on the settings, the servers, the port and the search:
// each server of HostName on a line of its own, then the host's entry as
// the first that serves finds it. An installation without a directory
// server is no fault: channels are then kept in queue.cfg by hand.
void CheckDirectory(const std::string& ini, const std::vector<ChannelRecord>& records,
                    Report* report) {
    std::string host = Setting(ini, "Ldap", "Hostname");
    std::string user = Setting(ini, "Ldap", "Username");
    if (user.empty()) user = "anonymous";
    MQServerCheck servers[16];
    char why[512] = "";
    int n = CheckDirectoryServers(servers, 16, why, sizeof why);
    if (n < 0) {
        report->Problem("directory", why, "correct it in " + ShellQuote(ini) + " (see daduv.ini(5))");
        return;
    }
    if (n == 0) {
        report->Ok("directory", "not configured (no HostName in section [Ldap]); channels "
                                "are kept in queue.cfg alone");
        return;
    }
    bool serving = false;
    for (int i = 0; i < n; ++i) {
        ServerFinding(ini, user, servers[i], report);
        serving = serving || servers[i].bound;
    }
    if (!serving) return;  // the lines above say why
    MQHostEntry entry;
    int rc = LookupHostEntry(host.c_str(), &entry);
    if (rc != MQ_HOST_FOUND && rc != MQ_HOST_SEARCH_FAILED && rc != MQ_HOST_NO_ENTRY) {
        report->Problem("directory", "no server serves the search any more (read the log)",
                        "run mqctl check again; read the log (MQ_LOG=stderr mqctl check)");
        return;
    }
    std::string where = "the directory";
    if (host.empty()) {
        report->Problem("host entry", "no host set whose entry lists the modules",
                        "set Hostname in section [Ldap] of " + ini);
        return;
    }
    if (rc == MQ_HOST_SEARCH_FAILED) {
        report->Problem("host entry", "searching " + where + " for " + host + " failed",
                        "read the log; check the account may read the host entries");
        return;
    }
    if (rc == MQ_HOST_NO_ENTRY) {
        report->Problem("host entry", "no entry of class ZUDudivor for host " + host,
                        "add host=" + host + " below its domain components (see registry.md "
                            "in /usr/share/doc/mqtoolkit-common/docs/)");
        return;
    }
    report->Ok("host entry", entry.dn);
    // Every registered channel's application must be listed, or the host's
    // other software does not know it serves the channel.
    std::vector<std::string> listed;
    std::string modules = entry.modules;
    for (size_t start = 0; start <= modules.size();) {
        size_t comma = modules.find(',', start);
        if (comma == std::string::npos) comma = modules.size();
        listed.push_back(modules.substr(start, comma - start));
        start = comma + 1;
    }
    std::vector<std::string> missing;
    for (const ChannelRecord& r : records) {
        bool found = false;
        for (const std::string& m : listed) {
            found = found || strcasecmp(m.c_str(), r.application.c_str()) == 0;
        }
        if (!found) missing.push_back(Printable(r.channel) + " (" + Printable(r.application) + ")");
    }
    if (missing.empty()) {
        report->Ok("modules", "every channel's application is listed");
    } else {
        report->Problem("modules",
                        "applications missing from the modules of " + host + ": " +
                            Join(missing, ", "),
                        "register the channel again: mqctl channel del --force NAME, then "
                        "mqctl channel add NAME APP in|out");
    }
}

}  // namespace

int RunCheck(const std::string& command, const Args& args) {
    // check --nagios is monitor, under the name monitoring set-ups look for.
    if (args.Has("nagios")) return RunMonitor(command, args);
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    Report report;
    Installation inst;
    mq::Status found = FindInstallation(&inst);
    if (!found.ok()) {
        // No file, an unreadable one, or one naming no installation directory.
        if (inst.iniPath.empty() || access(inst.iniPath.c_str(), R_OK) != 0) {
            report.Problem("configuration", found.Cause(), "see daduv.ini(5)");
        } else {
            report.Ok("configuration", inst.iniPath);
            report.Problem("install dir", found.Cause(), "see daduv.ini(5)");
        }
        report.Print(args.Has("json"));
        return kExitRefused;
    }
    CheckSettingsFile(inst.iniPath, &report);
    CheckSchedule(inst.iniPath, &report);
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
    std::vector<ChannelRecord> records;
    cChannel registry;
    if (registry.List(CollectRecord, &records) == MQ_SUCCESS) {
        report.Ok("channel file", std::to_string(records.size()) + " channel(s) registered");
    } else {
        report.Problem("channel file", inst.installDir + "/queue.cfg can't be read",
                       "make it readable for this user");
    }
    CheckSpoolSafety(inst.installDir, &report);
    CheckStoreFiles(inst.installDir, records, args.Has("quick"), &report);
    CheckDirectory(inst.iniPath, records, &report);
    report.Print(args.Has("json"));
    return report.Healthy() ? kExitOk : kExitRefused;
}

}  // namespace mqctl
