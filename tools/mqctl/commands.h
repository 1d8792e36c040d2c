// commands.h - mqctl's commands: their names, help texts, options and the
// functions that run them.
//
// A run function gets the parsed words after the command's name (--help and
// --config already dealt with) and returns the process's exit code (cli.h);
// it prints its results on standard output and each error as one line on
// standard error.
//
// Thread safety: single-threaded. Ownership: the table is static.
#ifndef MQCTL_COMMANDS_H
#define MQCTL_COMMANDS_H

#include <string>
#include <vector>

#include "cli.h"

namespace mqctl {

using RunFn = int (*)(const std::string& command, const Args& args);

struct Command {
    const char* name;     // "list", or "channel add" for a group's command
    const char* usage;    // the synopsis after "mqctl "
    const char* summary;  // one line for mqctl --help
    const char* details;  // the rest of the command's --help
    std::vector<OptionDef> options;
    RunFn run;
};

// Every command, in the order mqctl --help lists them.
const std::vector<Command>& AllCommands();

int RunChannelAdd(const std::string& command, const Args& args);
int RunChannelDel(const std::string& command, const Args& args);
int RunChannelList(const std::string& command, const Args& args);
int RunPut(const std::string& command, const Args& args);
int RunGet(const std::string& command, const Args& args);
// Exit codes: 0 every entry delivered (or none waiting), 1 one was deferred
// or set aside, 75 the store or the command could not be used.
int RunDeliver(const std::string& command, const Args& args);
int RunShow(const std::string& command, const Args& args);
int RunList(const std::string& command, const Args& args);
int RunSummary(const std::string& command, const Args& args);
int RunDelete(const std::string& command, const Args& args);
int RunHold(const std::string& command, const Args& args);
int RunRelease(const std::string& command, const Args& args);
int RunRequeue(const std::string& command, const Args& args);
int RunFlush(const std::string& command, const Args& args);
int RunCheck(const std::string& command, const Args& args);
int RunMetrics(const std::string& command, const Args& args);
// Answers as a monitoring plugin: exit 0 OK, 1 WARNING, 2 CRITICAL,
// 3 UNKNOWN (usage errors included).
int RunMonitor(const std::string& command, const Args& args);

}  // namespace mqctl

#endif
