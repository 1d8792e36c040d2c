// mqctl - the administrator's tool: channels, messages and the queue of a
// toolkit installation from the shell.
//
//   mqctl [OPTIONS] COMMAND [ARGS] [OPTIONS]
//
// Exit codes (cli.h; sysexits.h's above 1, which a mail system's pipe
// transport understands): 0 done, 1 refused in part, 64 usage, 65 input the
// queue refuses, 66 no such entry or input file, 75 a temporary fault or one
// of the set-up. Results go to standard output, errors to standard error,
// one line each, naming the cause.
#include <cstdio>
#include <algorithm>
#include <cerrno>
#include <cstddef>
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
    "Exit codes: 0 done; 1 the command ran but (part of) it was refused, each\n"
    "refusal named on standard error (check: a problem found; get, deliver:\n"
    "nothing waiting); and by sysexits.h, for mail systems: 64 usage error;\n"
    "65 an address or other input the queue refuses; 66 no entry with that\n"
    "identifier, or an input file missing; 75 a temporary fault or a fault of\n"
    "the set-up (daduv.ini missing or unreadable, channel not in queue.cfg, the\n"
    "store can't be opened or written: locked, read-only, disk full, I/O\n"
    "error): the same command may succeed later. Every error is one line on\n"
    "standard error, ending in its cause.\n";

void PrintOverview() {
    std::printf("usage: mqctl [OPTIONS] COMMAND [ARGS] [OPTIONS]\n\n"
                "Commands:\n");
    for (const Command& c : AllCommands()) std::printf("  %-13s %s\n", c.name, c.summary);
    std::printf("  %-13s %s\n", "help", "help on mqctl or on one command");
    std::printf("\nOptions (before or after the command):\n"
                "  --config PATH   the daduv.ini to use (or its directory); by default\n"
                "                  it is looked up in MQ_CONFIG_DIR, else the current\n"
                "                  directory, else /etc\n"
                "  --json          JSON Lines output (reading commands)\n"
                "  -h, --help      help on mqctl or on one command\n"
                "  -V, --version   print the version\n\n"
                "mqctl help COMMAND (or mqctl COMMAND --help) shows a command's options.\n"
                "%s",
                kExitCodes);
}

void PrintCommandHelp(const Command& c) {
    std::printf("usage: mqctl %s\n\n%s.\n", c.usage, c.summary);
    if (c.details[0] != '\0') std::printf("\n%s", c.details);
    // monitor's details name its own exit codes, a monitoring plugin's.
    if (std::strcmp(c.name, "monitor") != 0) std::printf("\n%s", kExitCodes);
}

const Command* Find(const std::string& name) {
    for (const Command& c : AllCommands()) {
        if (name == c.name) return &c;
    }
    return nullptr;
}

void PrintChannelUsage() {
    std::printf("usage:\n");
    for (const char* sub : {"channel add", "channel del", "channel list"}) {
        std::printf("  mqctl %s\n", Find(sub)->usage);
    }
}

// The command named by words (one word, or two for "channel ..."); on
// failure prints the usage error, with a guess at what was meant, and
// returns null. *used is how many words named it.
const Command* Resolve(const std::vector<std::string>& words, size_t* used, int* exitCode) {
    std::string name = words[0];
    *used = 1;
    if (name == "channel" && words.size() >= 2 && words[1][0] != '-') {
        name += " " + words[1];
        *used = 2;
    }
    if (const Command* c = Find(name)) return c;
    std::vector<std::string> known;
    for (const Command& c : AllCommands()) known.push_back(c.name);
    known.push_back("help");
    std::string guess = Suggest(name, known);
    if (guess.empty() && *used == 1) {
        // "channel" alone, or a group word mistyped: "chanel list".
        for (std::string& k : known) k = k.substr(0, k.find(' '));
        std::string group = Suggest(name, known);
        if (group == "channel" && words.size() >= 2) guess = Suggest("channel " + words[1], known);
    }
    std::string what = name == "channel" ? "channel needs add, del or list"
                                         : "unknown command \"" + name + "\"";
    if (!guess.empty() && guess != name) what += " (did you mean \"" + guess + "\"?)";
    *exitCode = UsageError("", what);
    return nullptr;
}

// Help - "mqctl help [COMMAND]".
int Help(const std::vector<std::string>& topic) {
    if (topic.empty()) {
        PrintOverview();
        return kExitOk;
    }
    if (topic.size() == 1 && topic[0] == "channel") {
        PrintChannelUsage();
        return kExitOk;
    }
    size_t used = 0;
    int exitCode = kExitOk;
    const Command* c = Resolve(topic, &used, &exitCode);
    if (c == nullptr) return exitCode;
    if (used != topic.size()) return UsageError("help", "names one command");
    PrintCommandHelp(*c);
    return kExitOk;
}

int Run(std::vector<std::string> words) {
    // Options before the command: --help and --version answer at once; the
    // others are handed to the command as if they followed it, so that
    // "mqctl --json list" is "mqctl list --json". Only --config takes a
    // value there.
    std::vector<std::string> leading;
    while (!words.empty() && words[0].size() > 1 && words[0][0] == '-') {
        std::string w = words[0];
        words.erase(words.begin());
        if (w == "--help" || w == "-h") {
            PrintOverview();
            return kExitOk;
        }
        if (w == "--version" || w == "-V") {
            std::printf("mqctl %s\n", MQCTL_VERSION);
            return kExitOk;
        }
        if (w == "--") break;
        leading.push_back(w);
        if (w == "--config") {
            if (words.empty()) return UsageError("", "--config needs a PATH");
            leading.push_back(words[0]);
            words.erase(words.begin());
        }
    }
    if (words.empty()) return UsageError("", "no command given");
    if (words[0] == "help") {
        if (!leading.empty()) return UsageError("help", "takes no options");
        return Help(std::vector<std::string>(words.begin() + 1, words.end()));
    }
    if (words[0] == "channel" && (words.size() < 2 || words[1] == "--help" || words[1] == "-h")) {
        PrintChannelUsage();
        return words.size() < 2 ? kExitUsage : kExitOk;
    }
    size_t skip = 0;
    int exitCode = kExitOk;
    const Command* command = Resolve(words, &skip, &exitCode);
    if (command == nullptr) return exitCode;
    const std::string name = command->name;

    std::vector<OptionDef> options = command->options;
    options.push_back({"help", false});
    options.push_back({"config", true});
    std::vector<std::string> rest = leading;
    rest.insert(rest.end(), words.begin() + static_cast<std::ptrdiff_t>(skip), words.end());
    Args args;
    mq::Status parsed = args.Parse(rest, options);
    if (!parsed.ok()) {
        int rc = UsageError(name, parsed.Cause());
        // A monitoring plugin's usage errors are UNKNOWN.
        bool plugin = name == "monitor" ||
                      (name == "check" && std::find(rest.begin(), rest.end(), "--nagios") != rest.end());
        return plugin ? 3 : rc;
    }
    if (args.Has("help")) {
        PrintCommandHelp(*command);
        return kExitOk;
    }
    if (args.Has("config")) {
        mq::Status applied = ApplyConfigOption(args.Value("config"));
        if (!applied.ok()) {
            PrintError(name, applied);
            return kExitUsage;
        }
    }
    int rc = command->run(name, args);
    // A monitoring plugin's codes are its own: 1 is WARNING there.
    bool plugin = name == "monitor" || (name == "check" && args.Has("nagios"));
    return plugin ? rc : ExitCodeFor(rc);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> words(argv + 1, argv + argc);
    CaptureLogCauses();
    int rc = Run(words);
    if (std::fflush(stdout) != 0 && rc == kExitOk) {
        // A full disk or a closed pipe: the results did not arrive.
        PrintError("", std::string("writing the output: ") + std::strerror(errno));
        rc = kExitTempFail;
    }
    return rc;
}
