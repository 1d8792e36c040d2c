// cmd_channel.cpp - channel add, del and list: the channel registry through
// cChannel, which keeps the channel file and the host's directory entry in
// step.
#include <cstdio>
#include <strings.h>

#include <chanline.h>
#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "output.h"
#include "session.h"

namespace mqctl {

namespace {

// Why the registry answered MQ_ERR_CHANNEL_REQUEST: the registry's own
// judgement of the request, else what the channel file says now.
std::string AddRefusal(const std::string& channel, const std::string& application,
                       const std::string& direction, char flag) {
    if (const char* problem = mqcommon::RegistrationProblem(
            channel.c_str(), application.c_str(), direction.c_str(), flag)) {
        return problem;
    }
    cChannel registry;
    return registry.IsExist(channel.c_str()) ? "already registered" : "refused (the log says why)";
}

// The entries a channel still holds: queued (leased ones included), held
// and failed. Returns false after printing the error line.
bool Holdings(const std::string& command, const std::string& channel,
              mqadmin::ChannelCount* out) {
    cMQ mq;
    if (!OpenStore(mq, command)) return false;
    std::vector<mqadmin::ChannelCount> counts;
    if (!mqadmin::CountEntries(&counts)) {
        PrintError(command, "the queue store failed to count the entries (the log says why)");
        return false;
    }
    *out = mqadmin::ChannelCount();
    for (const mqadmin::ChannelCount& c : counts) {
        if (strcasecmp(c.channel.c_str(), channel.c_str()) != 0) continue;
        out->queued += c.queued;
        out->held += c.held;
        out->failed += c.failed;
    }
    return true;
}

}  // namespace

int RunChannelAdd(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() != 3) return UsageError(command, "needs NAME APP and in or out");
    std::string flag = args.Value("flag");
    if (args.Has("flag") && flag.size() != 1) {
        return UsageError(command, "--flag takes one letter (C)");
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;

    cChannel registry;
    char flagLetter = flag.empty() ? '\0' : flag[0];
    int rc = registry.Add(words[0].c_str(), words[1].c_str(), words[2].c_str(), flagLetter);
    if (rc != MQ_SUCCESS) {
        std::string what = "channel " + Printable(words[0]);
        if (rc == MQ_ERR_CHANNEL_REQUEST) {
            what += ": " + AddRefusal(words[0], words[1], words[2], flagLetter);
        }
        PrintResultError(command, what, rc);
        return kExitRefused;
    }
    std::printf("added channel %s (application %s, direction %s%s%s)\n", words[0].c_str(),
                words[1].c_str(), words[2].c_str(), flag.empty() ? "" : ", flag ",
                flag.c_str());
    return kExitOk;
}

int RunChannelDel(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() != 1) return UsageError(command, "needs one channel NAME");
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;

    cChannel registry;
    if (!args.Has("force")) {
        // Entries of a channel no longer registered are stranded: no reader
        // asks for them and list refuses the name.
        mqadmin::ChannelCount held;
        if (!Holdings(command, words[0], &held)) return kExitRefused;
        uint32_t total = held.queued + held.held + held.failed;
        if (total > 0) {
            PrintError(command, "channel " + Printable(words[0]) + " still holds " +
                                    std::to_string(total) + (total == 1 ? " entry" : " entries") +
                                    " (" + std::to_string(held.queued) + " queued, " +
                                    std::to_string(held.held) + " held, " +
                                    std::to_string(held.failed) +
                                    " failed); let its readers take them, or remove them with "
                                    "mqctl delete ALL " + Printable(words[0]) +
                                    ", or remove the channel anyway with --force");
            return kExitRefused;
        }
    }
    int rc = registry.Del(words[0].c_str());
    if (rc != MQ_SUCCESS) {
        std::string what = "channel " + Printable(words[0]);
        if (rc == MQ_ERR_CHANNEL_REQUEST) {
            what += registry.IsExist(words[0].c_str()) ? ": refused (the log says why)"
                    : ": not registered";
        }
        PrintResultError(command, what, rc);
        return kExitRefused;
    }
    std::printf("removed channel %s\n", words[0].c_str());
    return kExitOk;
}

namespace {

struct ChannelRow {
    std::string channel, application, direction, flag;
};

int CollectChannel(void* context, const char* channel, const char* application,
                   const char* direction, char flag) {
    auto* rows = static_cast<std::vector<ChannelRow>*>(context);
    rows->push_back({channel, application, direction, flag != 0 ? std::string(1, flag) : ""});
    return 0;
}

}  // namespace

int RunChannelList(const std::string& command, const Args& args) {
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;

    std::vector<ChannelRow> rows;
    cChannel registry;
    int rc = registry.List(CollectChannel, &rows);
    if (rc != MQ_SUCCESS) {
        PrintResultError(command, "reading " + inst.installDir + "/queue.cfg", rc);
        return kExitRefused;
    }
    if (args.Has("json")) {
        for (const ChannelRow& r : rows) {
            JsonObject()
                .Str("channel", r.channel)
                .Str("application", r.application)
                .Str("direction", r.direction)
                .Str("flag", r.flag)
                .Print();
        }
        return kExitOk;
    }
    TextTable table({"CHANNEL", "APPLICATION", "DIRECTION", "FLAG"});
    for (const ChannelRow& r : rows) table.Row({r.channel, r.application, r.direction, r.flag});
    table.Print();
    return kExitOk;
}

}  // namespace mqctl
