// cmd_message.cpp - put, get and show: one message at a time, through cMQ as
// any application of the mail system uses it.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>

#include <mqadmin.h>
#include <mqapi.h>
#include <mqput.h>

#include "commands.h"
#include "entryview.h"
#include "reading.h"
#include "output.h"
#include "session.h"

namespace mqctl {

namespace {

// A 32-bit time_t would show creation times past 2038 as 1901, and make
// time() fail from then on.
static_assert(sizeof(time_t) >= 8, "mqctl needs 64-bit time");

// ControlCharacter - the first control character (C0 or DEL) of an
// address, or -1 when it holds none. The address check looks only at a few
// places of an address; a line end past them would reach a delivery agent
// that copies the address into a protocol line.
int ControlCharacter(const std::string& address) {
    for (unsigned char c : address) {
        if (c < 0x20 || c == 0x7f) return c;
    }
    return -1;
}

// CheckAddress - sets the user's address, refusing control characters
// first. Returns false after printing the error line.
bool CheckAddress(const std::string& command, const std::string& role,
                  const std::string& address, cUserInfo* user) {
    int rc = MQ_SUCCESS;
    std::string what = role + " " + Printable(address);
    if (int c = ControlCharacter(address); c >= 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "\\x%02x", c);
        what += std::string(": holds the control character ") + hex;
        rc = MQ_ERR_BAD_ADDRESS;
    } else {
        rc = user->setLan_addr(address.c_str());
    }
    if (rc == MQ_SUCCESS) return true;
    PrintResultError(command, what, rc);
    return false;
}

// PutExit - the exit code for a put the toolkit refused with rc: the
// envelope's faults are the sender's (65), anything else is the queue's and
// passes (75), a channel missing from queue.cfg included.
int PutExit(int rc) {
    switch (rc) {
        case MQ_ERR_BAD_ADDRESS:
        case MQ_ERR_NO_SENDER:
        case MQ_ERR_NO_RECIPIENT:
            return kExitDataErr;
        default:
            return kExitTempFail;
    }
}

}  // namespace

int RunPut(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.empty() || words.size() > 2) return UsageError(command, "needs CHANNEL [FILE|-]");
    std::vector<std::string> froms = args.Values("from");
    std::vector<std::string> tos = args.Values("to");
    if (froms.size() != 1) return UsageError(command, "needs exactly one --from ADDR");
    if (tos.empty()) return UsageError(command, "needs at least one --to ADDR");

    // Everything that can be refused is checked before the store is touched,
    // so a refused put leaves no entry behind.
    // An empty sender is the null sender, as a mail system's pipe passes it
    // (Postfix's pipe with null_sender= set empty).
    cUserInfo sender;
    if (!CheckAddress(command, "sender", froms[0].empty() ? "<>" : froms[0], &sender)) {
        return kExitDataErr;
    }
    std::vector<std::unique_ptr<cUserInfo>> recipients;
    for (const std::string& to : tos) {
        recipients.push_back(std::make_unique<cUserInfo>());
        if (!CheckAddress(command, "recipient", to, recipients.back().get())) return kExitDataErr;
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitTempFail;
    // The body goes from the file (or standard input) straight to the
    // store, which makes it durable with the entry's commit: nothing to
    // rename, nothing left behind on a failure.
    const bool fromStdin = words.size() < 2 || words[1] == "-";
    int fd = fromStdin ? STDIN_FILENO : open(words[1].c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        int err = errno;
        PrintError(command, "open " + words[1] + ": " + std::strerror(err));
        return err == ENOENT ? kExitNoInput : kExitTempFail;
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd > STDERR_FILENO) close(fd);
        }
    } closer{fd};

    cMQ mq;
    if (!OpenStore(mq, command)) return kExitTempFail;
    cEnvHeader fromHeader, toHeader;
    fromHeader.add(&sender);
    for (auto& r : recipients) toHeader.add(r.get());
    std::string path;
    unsigned long id = 0;
    {
        cMessage msg;
        msg.setFrom(&fromHeader);
        msg.setTo(&toHeader);
        if (int rc = mq.PutMsgBodyFd(&msg, words[0].c_str(), fd); rc != MQ_SUCCESS) {
            std::string what = "channel " + words[0];
            if (rc == MQ_ERR_NO_CHANNEL) what += " is not in queue.cfg";
            PrintResultError(command, what, rc);
            return PutExit(rc);
        }
        // The put names its entry by identifier: the store keeps a small
        // body in the entry's commit and writes its file only when someone
        // asks for the path, so a backlog costs its bodies once. --path
        // asks (GetMsgDest writes the file).
        const char* p = mq.GetMsgDest(".tmp");
        id = p != nullptr ? mqadmin::EntryIdFromPath(p) : 0;
        if (id != 0 && args.Has("path")) {
            p = mq.GetMsgDest(".msg");
            if (p == nullptr) {
                PrintError(command, "entry " + std::to_string(id) +
                                        " is queued, but its message file can't be written");
                return kExitTempFail;
            }
            path = p;
        }
    }
    if (id == 0) {
        // Queued all the same: durable, and a reader will have it.
        PrintError(command, "the message is queued, but the store gave no path for it");
        return kExitRefused;
    }
    if (args.Has("json")) {
        JsonObject o;
        o.Int("id", static_cast<int64_t>(id)).Str("channel", words[0]);
        if (!path.empty()) {
            struct stat st;
            o.Str("path", path).Int(
                "size", stat(path.c_str(), &st) == 0 ? static_cast<int64_t>(st.st_size) : -1);
        }
        o.Print();
    } else if (!path.empty()) {
        std::printf("%lu %s\n", id, path.c_str());
    } else {
        std::printf("%lu\n", id);
    }
    return kExitOk;
}

namespace {

// What get took from its channel, as it prints it.
struct Taken {
    unsigned long id = 0;
    std::string channel;
    std::vector<std::string> from, to;
    std::string path;
    bool withBody = false;  // --body: body holds the message's bytes
    std::string body;
    bool deleted = false;  // --delete: removed once the output is out
    // Where an entry given back stands (known false when it can't be said).
    bool known = false;
    mqadmin::EntryInfo after;
    uint32_t maxAttempts = 0;
};

// PrintTaken - get's output for t: a JSON object, or "name value" lines
// with the body after an empty line.
void PrintTaken(const Taken& t, bool json) {
    if (json) {
        JsonObject o;
        o.Int("id", static_cast<int64_t>(t.id))
            .Str("channel", t.channel)
            .Str("from", t.from.empty() ? "" : t.from[0])
            .StrList("to", t.to)
            .Str("path", t.path)
            .Bool("deleted", t.deleted);
        if (t.known) {
            o.Int("attempts", t.after.attempts)
                .Int("deferrals", t.after.deferrals)
                .Int("next_attempt", Deferred(t.after, mqadmin::ClockMs()) ? t.after.due / 1000 : 0)
                .Int("max_attempts", t.maxAttempts)
                .Str("state", mqadmin::StateName(t.after.state));
        }
        if (t.withBody) o.Str("body", t.body);
        o.Print();
        return;
    }
    std::printf("id %lu\nchannel %s\n", t.id, Printable(t.channel).c_str());
    for (const std::string& f : t.from) std::printf("from %s\n", Printable(f).c_str());
    for (const std::string& r : t.to) std::printf("to %s\n", Printable(r).c_str());
    std::printf("path %s\n%s", t.path.c_str(), t.deleted ? "deleted\n" : "");
    if (t.known) {
        std::string next = NextAttempt(t.after, mqadmin::ClockMs());
        std::printf("handed back: %s%s\n", next.empty() ? "due now" : next.c_str(),
                    t.after.state == mqadmin::EntryState::Failed
                        ? "; set aside as failed (mqctl requeue to offer it again)"
                        : " (mqctl flush to offer it at once)");
    } else if (!t.deleted) {
        std::printf("handed back\n");
    }
    if (t.withBody) {
        std::printf("\n");
        std::fwrite(t.body.data(), 1, t.body.size(), stdout);
    }
}

// DeleteAfterOutput - removes entry id, which mq holds, once standard output
// is flushed; a full disk or a closed pipe leaves it queued. Closes mq's
// channel either way.
int DeleteAfterOutput(const std::string& command, cMQ& mq, unsigned long id) {
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        int err = errno;
        mq.CloseMQChannel();
        PrintError(command, std::string("writing the output: ") + std::strerror(err) +
                                "; entry " + std::to_string(id) + " stays queued");
        return kExitTempFail;
    }
    int rc = mq.DelMsg();
    mq.CloseMQChannel();
    if (rc != MQ_SUCCESS) {
        PrintResultError(command,
                         "entry " + std::to_string(id) +
                             " was printed but not deleted: it stays queued and comes again",
                         rc);
        return kExitTempFail;
    }
    return kExitOk;
}

}  // namespace

int RunGet(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() != 1) return UsageError(command, "needs one CHANNEL");
    const std::string& channel = words[0];
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitTempFail;
    if (!IsRegistered(command, channel)) return kExitTempFail;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitTempFail;

    cMessage* m = mq.GetMsg(channel.c_str());
    if (m == nullptr) {
        // Nothing waiting, or a store that can't hand out: not the same.
        bool failed = MQLastCallFailed();
        mq.CloseMQChannel();
        if (failed) {
            PrintError(command, "the store failed to hand out a message of channel " + channel);
            return kExitTempFail;
        }
        PrintError(command, "no message waiting in channel " + channel);
        return kExitRefused;
    }
    Taken t;
    t.channel = channel;
    t.path = m->getMsgpath() != nullptr ? m->getMsgpath() : "";
    t.id = mqadmin::EntryIdFromPath(t.path.c_str());
    t.from = Users(m->getFrom());
    t.to = Users(m->getTo());
    t.withBody = args.Has("body");
    mq::Status read = t.withBody ? ReadWhole(t.path, &t.body) : mq::Status::OK();
    if (!read.ok()) {
        mq.CloseMQChannel();  // gives the message back to the queue
        PrintError(command, read);
        return kExitTempFail;
    }
    // With --delete the message is printed first and removed only once the
    // output is flushed.
    t.deleted = args.Has("delete");
    if (!t.deleted) {
        mq.CloseMQChannel();
        // Closing gave the entry back deferred; say when it is offered
        // again, for an operator may not expect that a look puts it off.
        t.known = mqadmin::LookUpEntry(t.id, &t.after);
        t.maxAttempts = mqadmin::MaxAttempts();
    }
    PrintTaken(t, args.Has("json"));
    return t.deleted ? DeleteAfterOutput(command, mq, t.id) : kExitOk;
}

int RunShow(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() != 1) return UsageError(command, "needs one entry ID");
    unsigned long id = 0;
    if (!ParseId(words[0], &id)) return UsageError(command, "not an entry identifier: " + words[0]);
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitTempFail;
    cMQ mq;
    // Reads only: no spool means no entry, and a reader may lack write access.
    const bool none = !PrepareReading(inst.installDir);
    if (!none && !OpenStore(mq, command)) return kExitTempFail;

    mqadmin::EntryInfo info;
    if (none || !mqadmin::GetEntryInfo(id, &info)) {
        if (!none && MQLastCallFailed()) {
            PrintError(command, "the store failed to read entry " + words[0]);
            return kExitTempFail;
        }
        PrintError(command, "no entry has identifier " + words[0]);
        return kExitNoInput;
    }
    std::vector<std::string> from{info.sender};
    std::vector<std::string> to = info.recipients;
    if (cMessage* m = mq.GetMsgEnv(id)) {
        from = Users(m->getFrom());
        to = Users(m->getTo());
    }
    std::string body;
    bool withBody = args.Has("body") && info.bodySize >= 0;
    if (info.path.empty()) {
        // A body kept in the database whose file this user may not write.
        if (withBody) {
            PrintError(command, "entry " + words[0] +
                                    " has no message file yet, and this user can't write it");
            return kExitTempFail;
        }
    } else if (withBody) {
        mq::Status read = ReadWhole(info.path, &body);
        if (!read.ok()) {
            PrintError(command, read);
            return kExitTempFail;
        }
    }
    int64_t age = AgeSince(mqadmin::ClockMs() / 1000, info.created);
    if (args.Has("json")) {
        JsonObject o;
        o.Int("id", static_cast<int64_t>(info.id))
            .Str("channel", info.channel)
            .Str("state", mqadmin::StateName(info.state))
            .Bool("leased", info.leased)
            .Int("attempts", info.attempts)
            .Int("created", info.created)
            .Int("age", age)
            .Int("size", info.bodySize)
            .Str("application", info.application)
            .Str("from", from.empty() ? "" : from[0])
            .StrList("to", to)
            .Str("path", info.path);
        AddLastJson(&o, info);
        if (withBody) o.Str("body", body);
        o.Print();
        return kExitOk;
    }
    std::printf("id %u\nchannel %s\nstate %s%s\nattempts %u\ncreated %s (%s ago)\n", info.id,
                Printable(info.channel).c_str(), mqadmin::StateName(info.state),
                info.leased ? " (leased)" : "", info.attempts, IsoTime(info.created).c_str(),
                FormatAge(age).c_str());
    if (info.bodySize >= 0) {
        std::printf("size %lld\n", static_cast<long long>(info.bodySize));
    } else {
        std::printf("size - (no message file yet)\n");
    }
    std::printf("application %s\n", Printable(info.application).c_str());
    for (const std::string& f : from) std::printf("from %s\n", Printable(f).c_str());
    for (const std::string& t : to) std::printf("to %s\n", Printable(t).c_str());
    std::printf("path %s\n", info.path.empty() ? "- (not written yet: the body is kept in the "
                                                  "database)"
                                                : info.path.c_str());
    std::printf("%s", LastLines(info, mqadmin::ClockMs() / 1000).c_str());
    if (withBody) {
        std::printf("\n");
        std::fwrite(body.data(), 1, body.size(), stdout);
    }
    return kExitOk;
}

}  // namespace mqctl
