// cmd_flush.cpp - flush: deferred entries made due now, so that the next
// reader (a delivery service waiting on the queue, or the next deliver run)
// tries them at once: every entry, a channel's, or the entries named.
#include <cstdio>
#include <string>

#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "session.h"

namespace mqctl {

int RunFlush(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    // Identifiers, or one channel (a name that is no number), or nothing.
    std::vector<unsigned long> ids;
    bool byId = !words.empty();
    for (const std::string& w : words) {
        unsigned long id = 0;
        if (!ParseId(w, &id)) {
            byId = false;
            break;
        }
        ids.push_back(id);
    }
    if (!byId && words.size() > 1) {
        return UsageError(command, "takes one CHANNEL or entry IDs: " + words[1]);
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitTempFail;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitTempFail;
    if (!byId) {
        uint64_t count = 0;
        const char* channel = words.empty() ? nullptr : words[0].c_str();
        if (!mqadmin::FlushChannel(channel, &count)) {
            PrintError(command, "the store failed to flush");
            return kExitTempFail;
        }
        std::printf("-- %llu %s made due\n", static_cast<unsigned long long>(count),
                    count == 1 ? "entry" : "entries");
        return kExitOk;
    }
    int code = kExitOk;
    size_t done = 0;
    for (unsigned long id : ids) {
        mqadmin::AdminResult r = mqadmin::FlushEntry(id);
        if (r == mqadmin::AdminResult::Done) {
            std::printf("flushed %lu\n", id);
            ++done;
        } else if (r == mqadmin::AdminResult::NotFound) {
            PrintError(command, "no entry " + std::to_string(id));
            code = kExitRefused;
        } else {
            PrintError(command, "the store failed to flush entry " + std::to_string(id));
            return kExitTempFail;
        }
    }
    std::printf("-- %zu %s made due\n", done, done == 1 ? "entry" : "entries");
    return code;
}

}  // namespace mqctl
