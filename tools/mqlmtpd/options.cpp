// options.cpp - mqlmtpd's command line and its set-up checks.
#include "options.h"

#include <getopt.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <profile.h>
#include <profilepath.h>

namespace mqlmtpd {

namespace {

void Usage(FILE* to) {
    std::fprintf(to,
                 "usage: mqlmtpd --channel NAME [--listen unix:PATH|HOST:PORT|PORT]...\n"
                 "               [--socket-owner USER] [--socket-group GROUP] [--socket-mode MODE]\n"
                 "               [--max-size BYTES] [--max-sessions N] [--max-recipients N]\n"
                 "               [--command-timeout SECONDS] [--data-timeout SECONDS]\n"
                 "               [--hostname NAME] [--config PATH]\n");
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long* out) {
    if (text == nullptr || *text < '0' || *text > '9') return false;
    char* end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text, &end, 10);
    if (errno != 0 || *end != '\0' || v > max) return false;
    *out = v;
    return true;
}

// ApplyConfig - --config PATH, a directory holding daduv.ini or that file:
// the toolkit reads its configuration from MQ_CONFIG_DIR.
bool ApplyConfig(const std::string& path) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return false;
    std::string dir = path;
    if (!S_ISDIR(st.st_mode)) {
        size_t slash = path.rfind('/');
        if (path.substr(slash == std::string::npos ? 0 : slash + 1) != kIniName) return false;
        dir = slash == std::string::npos ? "." : path.substr(0, slash);
    }
    char real[PATH_MAX];
    if (realpath(dir.c_str(), real) == nullptr) return false;
    return setenv("MQ_CONFIG_DIR", real, 1) == 0;
}

}  // namespace

int ParseOptions(int argc, char** argv, Options* o) {
    enum { kOwner = 256, kGroup, kMode, kMaxSize, kMaxSessions, kMaxRcpt, kCmdTimeout,
           kDataTimeout, kHostname, kConfig, kHelp, kVersion };
    static const struct option kLong[] = {
        {"channel", required_argument, nullptr, 'c'},
        {"listen", required_argument, nullptr, 'l'},
        {"socket-owner", required_argument, nullptr, kOwner},
        {"socket-group", required_argument, nullptr, kGroup},
        {"socket-mode", required_argument, nullptr, kMode},
        {"max-size", required_argument, nullptr, kMaxSize},
        {"max-sessions", required_argument, nullptr, kMaxSessions},
        {"max-recipients", required_argument, nullptr, kMaxRcpt},
        {"command-timeout", required_argument, nullptr, kCmdTimeout},
        {"data-timeout", required_argument, nullptr, kDataTimeout},
        {"hostname", required_argument, nullptr, kHostname},
        {"config", required_argument, nullptr, kConfig},
        {"help", no_argument, nullptr, kHelp},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0}};
    int c;
    unsigned long long v = 0;
    while ((c = getopt_long(argc, argv, "c:l:", kLong, nullptr)) != -1) {
        auto bad = [&](const char* what) {
            std::fprintf(stderr, "mqlmtpd: %s: %s\n", what, optarg);
            return kExitUsage;
        };
        switch (c) {
            case 'c': o->channel = optarg; break;
            case 'l': o->listen.push_back(optarg); break;
            case kOwner: {
                struct passwd* pw = getpwnam(optarg);
                unsigned long long id = 0;
                if (pw != nullptr) {
                    o->access.owner = pw->pw_uid;
                } else if (ParseNumber(optarg, UINT_MAX - 1, &id)) {
                    o->access.owner = static_cast<uid_t>(id);
                } else {
                    return bad("--socket-owner: no such user");
                }
                break;
            }
            case kGroup: {
                struct group* gr = getgrnam(optarg);
                unsigned long long id = 0;
                if (gr != nullptr) {
                    o->access.group = gr->gr_gid;
                } else if (ParseNumber(optarg, UINT_MAX - 1, &id)) {
                    o->access.group = static_cast<gid_t>(id);
                } else {
                    return bad("--socket-group: no such group");
                }
                break;
            }
            case kMode: {
                char* end = nullptr;
                unsigned long m = std::strtoul(optarg, &end, 8);
                if (*optarg == '\0' || *end != '\0' || m > 0777) return bad("--socket-mode: want octal");
                o->access.mode = static_cast<mode_t>(m);
                break;
            }
            case kMaxSize:
                if (!ParseNumber(optarg, 1ull << 40, &v) || v == 0) return bad("--max-size");
                o->limits.maxSize = v;
                break;
            case kMaxSessions:
                if (!ParseNumber(optarg, 10000, &v) || v == 0) return bad("--max-sessions");
                o->maxSessions = static_cast<unsigned>(v);
                break;
            case kMaxRcpt:
                if (!ParseNumber(optarg, 1000000, &v) || v == 0) return bad("--max-recipients");
                o->limits.maxRecipients = static_cast<size_t>(v);
                break;
            case kCmdTimeout:
                if (!ParseNumber(optarg, 86400, &v) || v == 0) return bad("--command-timeout");
                o->commandTimeout = static_cast<int>(v);
                break;
            case kDataTimeout:
                if (!ParseNumber(optarg, 86400, &v) || v == 0) return bad("--data-timeout");
                o->dataTimeout = static_cast<int>(v);
                break;
            case kHostname: o->hostname = optarg; break;
            case kConfig:
                if (!ApplyConfig(optarg)) return bad("--config: not daduv.ini or its directory");
                break;
            case kHelp: Usage(stdout); std::exit(0);
            case kVersion: std::printf("mqlmtpd %s\n", MQLMTPD_VERSION); std::exit(0);
            default: Usage(stderr); return kExitUsage;
        }
    }
    if (optind < argc) {
        std::fprintf(stderr, "mqlmtpd: unexpected argument %s\n", argv[optind]);
        return kExitUsage;
    }
    if (o->channel.empty()) {
        std::fprintf(stderr, "mqlmtpd: --channel NAME is needed\n");
        return kExitUsage;
    }
    if (o->hostname.empty()) {
        char host[256] = "localhost";
        gethostname(host, sizeof host - 1);
        o->hostname = host;
    }
    return 0;
}

// SpoolDirectory - the store's spool directory of the configuration in
// use, or empty with *error.
std::string SpoolDirectory(std::string* error) {
    std::string ini = mqcommon::ResolveProfilePath(kIniName);
    if (ini.empty()) {
        *error = std::string("configuration file ") + kIniName +
                 " not found (MQ_CONFIG_DIR, the current directory, /etc; or --config)";
        return "";
    }
    char install[PATH_MAX] = "";
    GetPrivateProfileString("Config", "InstallDirectory", "", install, sizeof install, ini.c_str());
    if (install[0] == '\0') {
        *error = ini + ": no InstallDirectory in section Config";
        return "";
    }
    std::string dir = install;
    if (dir[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr) {
            *error = std::string("getcwd: ") + std::strerror(errno);
            return "";
        }
        dir = std::string(cwd) + "/" + dir;
    }
    return dir + "/spool";
}

// RootCheck - refuses root over a queue that belongs to another user: the
// files root would create there (the database's log, a body) would be
// unwritable for the queue's own programs. Returns false with *error.
bool RootCheck(const std::string& spool, std::string* error) {
    if (geteuid() != 0) return true;
    struct stat st;
    std::string what = spool;
    if (stat(spool.c_str(), &st) != 0) {
        what = spool.substr(0, spool.rfind('/'));
        if (stat(what.c_str(), &st) != 0) return true;
    }
    if (st.st_uid == 0) return true;
    struct passwd* pw = getpwuid(st.st_uid);
    *error = "refusing to run as root: " + what + " belongs to " +
             (pw != nullptr ? std::string(pw->pw_name) : std::to_string(st.st_uid)) +
             "; run mqlmtpd as that user";
    return false;
}

}  // namespace mqlmtpd
