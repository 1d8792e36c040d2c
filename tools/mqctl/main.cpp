// mqctl - the administrator's tool: channels, messages and the queue of a
// toolkit installation from the shell.
//
//   mqctl [--config PATH] COMMAND [ARGS] [--help]
//
// Exit codes: 0 done, 1 refused (by the store, the registry, the directory,
// or a check found a problem), 2 usage, 3 the store failed where it should
// have answered (get). Results go to standard output,
// errors to standard error, one line each.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli.h"
#include "commands.h"
#include "session.h"

#ifndef MQCTL_VERSION
#define MQCTL_VERSION "0"
#endif

namespace {

using namespace mqctl;

const char kExitCodes[] =
    "Exit codes: 0 done, 1 refused (the error line says why), 2 usage,\n"
    "3 the store failed (get: a read error, not an empty channel).\n";

void PrintOverview() {
    std::printf("usage: mqctl [--config PATH] COMMAND [ARGS] [--help]\n\n"
                "Commands:\n");
    for (const Command& c : AllCommands()) std::printf("  %-13s %s\n", c.name, c.summary);
    std::printf("\nOptions:\n"
                "  --config PATH   the daduv.ini to use (or its directory); by default\n"
                "                  it is looked up in MQ_CONFIG_DIR, else the current\n"
                "                  directory, else /etc\n"
                "  --json          JSON Lines output (reading commands)\n"
                "  --help          help on mqctl or on one command\n"
                "  --version       print the version\n\n%s",
                kExitCodes);
}

void PrintCommandHelp(const Command& c) {
    std::printf("usage: mqctl %s\n\n%s.\n", c.usage, c.summary);
    if (c.details[0] != '\0') std::printf("\n%s", c.details);
    std::printf("\n%s", kExitCodes);
}

const Command* Find(const std::string& name) {
    for (const Command& c : AllCommands()) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

int Run(std::vector<std::string> words) {
    // Options before the command: --config, --help, --version.
    std::string config;
    while (!words.empty() && words[0].rfind("--", 0) == 0) {
        std::string w = words[0];
        words.erase(words.begin());
        if (w == "--help") {
            PrintOverview();
            return kExitOk;
        }
        if (w == "--version") {
            std::printf("mqctl %s\n", MQCTL_VERSION);
            return kExitOk;
        }
        if (w == "--config" || w.rfind("--config=", 0) == 0) {
            if (w == "--config") {
                if (words.empty()) return UsageError("", "--config needs a PATH");
                config = words[0];
                words.erase(words.begin());
            } else {
                config = w.substr(9);
            }
            continue;
        }
        return UsageError("", "unknown option " + w);
    }
    if (words.empty()) return UsageError("", "no command given");

    std::string name = words[0];
    size_t skip = 1;
    if (name == "channel") {
        if (words.size() < 2 || words[1] == "--help") {
            std::printf("usage:\n");
            for (const char* sub : {"channel add", "channel del", "channel list"}) {
                std::printf("  mqctl %s\n", Find(sub)->usage);
            }
            return words.size() < 2 ? kExitUsage : kExitOk;
        }
        name += " " + words[1];
        skip = 2;
    }
    const Command* command = Find(name);
    if (command == nullptr) return UsageError("", "unknown command \"" + name + "\"");

    std::vector<OptionDef> options = command->options;
    options.push_back({"help", false});
    options.push_back({"config", true});
    Args args;
    std::string error;
    if (!args.Parse(std::vector<std::string>(words.begin() + skip, words.end()), options,
                    &error)) {
        return UsageError(name, error);
    }
    if (args.Has("help")) {
        PrintCommandHelp(*command);
        return kExitOk;
    }
    if (args.Has("config")) config = args.Value("config");
    if (!config.empty() && !ApplyConfigOption(config, &error)) {
        PrintError(name, error);
        return kExitUsage;
    }
    return command->run(name, args);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    int rc = Run(words);
    if (std::fflush(stdout) != 0 && rc == kExitOk) {
        // A full disk or a closed pipe: the results did not arrive.
        PrintError("", std::string("writing the output: ") + std::strerror(errno));
        rc = kExitRefused;
    }
    return rc;
}
