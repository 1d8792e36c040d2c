// options.h - mqlmtpd's command line, and the set-up it checks before
// listening: the configuration file, the spool it names, and who may run
// the server over that spool.
//
// Thread safety: none (ParseOptions may change MQ_CONFIG_DIR).
// Failures: ParseOptions prints its error line and returns an exit code;
// the others return false or "" with *error.
#ifndef MQLMTPD_OPTIONS_H
#define MQLMTPD_OPTIONS_H

#include <string>
#include <vector>

#include "listeners.h"
#include "lmtpsession.h"

namespace mqlmtpd {

constexpr int kExitUsage = 64;
constexpr int kExitOsErr = 71;
constexpr int kExitConfig = 78;
constexpr const char* kIniName = "daduv.ini";

struct Options {
    std::string channel;
    std::vector<std::string> listen;
    SocketAccess access;
    SessionLimits limits;
    unsigned maxSessions = 64;
    int commandTimeout = 300;
    int dataTimeout = 600;
    std::string hostname;
};

// Parses argv into *o. Returns 0, or the exit code after printing why;
// --help and --version print and exit.
int ParseOptions(int argc, char** argv, Options* o);

// SpoolDirectory - the store's spool directory of the configuration in
// use, or "" with *error.
std::string SpoolDirectory(std::string* error);

// RootCheck - false with *error when running as root over a spool (or
// installation directory) that belongs to another user.
bool RootCheck(const std::string& spool, std::string* error);

}  // namespace mqlmtpd

#endif
