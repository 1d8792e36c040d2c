// session.h - where mqctl finds its installation (the configuration file the
// INI reader finds, its installation directory), opening the queue store,
// and small readers shared by the commands.
//
// The toolkit reads "daduv.ini" by that name only, looked up in
// MQ_CONFIG_DIR, else the current directory, else /etc. --config points
// MQ_CONFIG_DIR at the file's directory, so the store, the registry and the
// directory client all read the same file.
//
// Thread safety: single-threaded; ApplyConfigOption changes the process
// environment. Ownership: plain values, owned by the caller.
#ifndef MQCTL_SESSION_H
#define MQCTL_SESSION_H

#include <string>
#include <vector>

#include "status.h"

class cMQ;
class cEnvHeader;

namespace mqctl {

constexpr const char* kAppName = "mqctl";
constexpr const char* kIniName = "daduv.ini";

// ApplyConfigOption - --config PATH: a directory that holds "daduv.ini", or
// a file of that name. Sets MQ_CONFIG_DIR to its directory (absolute).
// Fails for another file name or an unusable path.
mq::Status ApplyConfigOption(const std::string& path);

struct Installation {
    std::string iniPath;     // the configuration file in use
    std::string installDir;  // its [Config] InstallDirectory
};

// FindInstallation - the configuration file as the toolkit finds it,
// readable, naming an installation directory. On failure the cause is one
// line that says what is wrong and what to do; *out holds what was found so
// far.
mq::Status FindInstallation(Installation* out);

// RequireInstallation - FindInstallation for a command: prints the error
// line on failure, and notes a fault of the set-up (NoteTempFail). Every command but check calls it before touching
// anything, so that a missing configuration never makes the registry fall
// back to "/queue.cfg".
bool RequireInstallation(const std::string& command, Installation* out);

// OpenStore - initialises the queue store for mqctl through mq. Returns
// false after printing the error line, with the cause the store logged, and
// noting a temporary fault (NoteTempFail).
bool OpenStore(cMQ& mq, const std::string& command);

// IsRegistered - true when channel is in the channel file (letter case
// ignored); on false prints MQ_ERR_NO_CHANNEL's error line and notes a fault
// of the set-up (NoteTempFail).
bool IsRegistered(const std::string& command, const std::string& channel);

// ReadWhole - the whole file, or standard input for "-", into *out.
// On failure the cause reads "open PATH: reason".
mq::Status ReadWhole(const std::string& path, std::string* out);

// Users - the addresses a header lists, in order; empty for null.
std::vector<std::string> Users(cEnvHeader* header);

}  // namespace mqctl

#endif
