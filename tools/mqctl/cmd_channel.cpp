// cmd_channel.cpp - channel add, del and list: the channel registry through
// cChannel, which keeps the channel file and the host's directory entry in
// step.
#include <cstdio>

#include <mqapi.h>

#include "commands.h"
#include "output.h"
#include "session.h"

namespace mqctl {

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
    int rc = registry.Add(words[0].c_str(), words[1].c_str(), words[2].c_str(),
                          flag.empty() ? '\0' : flag[0]);
    if (rc != MQ_SUCCESS) {
        PrintResultError(command, "channel " + words[0], rc);
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
    int rc = registry.Del(words[0].c_str());
    if (rc != MQ_SUCCESS) {
        PrintResultError(command, "channel " + words[0], rc);
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
