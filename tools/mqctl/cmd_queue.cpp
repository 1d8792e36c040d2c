// cmd_queue.cpp - list and summary: the queue as a whole, read through the
// store's operator calls.
#include <regex.h>

#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <strings.h>

#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "output.h"
#include "session.h"

namespace mqctl {

namespace {

// Owns a compiled POSIX regular expression.
class Regex {
public:
    Regex() = default;
    ~Regex() {
        if (compiled_) regfree(&re_);
    }
    Regex(const Regex&) = delete;
    Regex& operator=(const Regex&) = delete;

    // Extended syntax, letter case ignored (mail domains are case-blind).
    // Returns false with *error holding regerror's text.
    bool Compile(const std::string& pattern, std::string* error) {
        int rc = regcomp(&re_, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
        if (rc != 0) {
            char buf[256];
            regerror(rc, &re_, buf, sizeof buf);
            *error = buf;
            return false;
        }
        compiled_ = true;
        return true;
    }
    bool Matches(const std::string& text) const {
        return regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

private:
    regex_t re_{};
    bool compiled_ = false;
};

std::string StateText(const mqadmin::EntryInfo& e) {
    std::string s = mqadmin::StateName(e.state);
    if (e.leased) s += ",leased";
    return s;
}

// Upper limits of the age buckets, in minutes, as queue-shape tables have
// them; the last bucket holds everything older.
const int kBucketMinutes[] = {5, 10, 20, 40, 80, 160, 320, 640, 1280};
const size_t kBuckets = sizeof kBucketMinutes / sizeof kBucketMinutes[0] + 1;

size_t BucketOf(int64_t age) {
    for (size_t i = 0; i + 1 < kBuckets; ++i) {
        if (age < static_cast<int64_t>(kBucketMinutes[i]) * 60) return i;
    }
    return kBuckets - 1;
}

std::string BucketName(size_t i) {
    return i + 1 < kBuckets ? std::to_string(kBucketMinutes[i])
                            : std::to_string(kBucketMinutes[kBuckets - 2]) + "+";
}

struct Shape {
    std::string channel;
    uint32_t total = 0, held = 0, failed = 0;
    std::vector<uint32_t> ages = std::vector<uint32_t>(kBuckets, 0);
    void Add(const mqadmin::EntryInfo& e, int64_t age) {
        ++total;
        if (e.state == mqadmin::EntryState::Held) ++held;
        if (e.state == mqadmin::EntryState::Failed) ++failed;
        ++ages[BucketOf(age)];
    }
};

int CollectName(void* context, const char* channel, const char*, const char*, char) {
    static_cast<std::vector<std::string>*>(context)->push_back(channel);
    return 0;
}

// Channel names compared without regard to letter case, as the store does.
struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

}  // namespace

int RunList(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() > 1) return UsageError(command, "takes at most one CHANNEL");
    Regex fromRe, toRe;
    std::string error;
    if (args.Has("from") && !fromRe.Compile(args.Value("from"), &error)) {
        return UsageError(command, "--from " + args.Value("from") + ": " + error);
    }
    if (args.Has("to") && !toRe.Compile(args.Value("to"), &error)) {
        return UsageError(command, "--to " + args.Value("to") + ": " + error);
    }
    int64_t olderThan = -1;
    if (args.Has("older-than") && !ParseAge(args.Value("older-than"), &olderThan)) {
        return UsageError(command, "--older-than " + args.Value("older-than") +
                                       ": not an age like 90s, 30m, 2h, 1d");
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;
    std::string channel = words.empty() ? "" : words[0];
    if (!channel.empty() && !IsRegistered(command, channel)) return kExitRefused;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitRefused;

    std::vector<mqadmin::EntryInfo> entries;
    if (!mqadmin::ListEntries(channel.c_str(), &entries)) {
        PrintError(command, "the queue store failed to list the entries (the log says why)");
        return kExitRefused;
    }
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    std::vector<const mqadmin::EntryInfo*> shown;
    for (const mqadmin::EntryInfo& e : entries) {
        if (args.Has("failed") && e.state != mqadmin::EntryState::Failed) continue;
        if (olderThan >= 0 && now - e.created <= olderThan) continue;
        if (args.Has("from") && !fromRe.Matches(e.sender)) continue;
        if (args.Has("to")) {
            bool any = false;
            for (const std::string& r : e.recipients) any = any || toRe.Matches(r);
            if (!any) continue;
        }
        shown.push_back(&e);
    }

    bool json = args.Has("json");
    if (args.Has("count")) {
        if (json) {
            JsonObject().Int("count", static_cast<int64_t>(shown.size())).Print();
        } else {
            std::printf("%zu\n", shown.size());
        }
        return kExitOk;
    }
    if (json) {
        for (const mqadmin::EntryInfo* e : shown) {
            JsonObject()
                .Int("id", e->id)
                .Str("channel", e->channel)
                .Int("age", now - e->created)
                .Int("created", e->created)
                .Int("size", e->bodySize)
                .Str("from", e->sender)
                .StrList("to", e->recipients)
                .Str("state", mqadmin::StateName(e->state))
                .Bool("leased", e->leased)
                .Int("attempts", e->attempts)
                .Str("path", e->path)
                .Print();
        }
        return kExitOk;
    }
    TextTable table({"ID", "CHANNEL", "AGE", "SIZE", "STATE", "FROM", "TO"});
    int64_t bytes = 0;
    for (const mqadmin::EntryInfo* e : shown) {
        table.Row({std::to_string(e->id), e->channel, FormatAge(now - e->created),
                   e->bodySize >= 0 ? std::to_string(e->bodySize) : "-", StateText(*e),
                   e->sender.empty() ? "<>" : e->sender, Join(e->recipients, ",")});
        if (e->bodySize > 0) bytes += e->bodySize;
    }
    if (!shown.empty()) table.Print();
    std::printf("-- %zu %s, %lld bytes\n", shown.size(), shown.size() == 1 ? "entry" : "entries",
                static_cast<long long>(bytes));
    return kExitOk;
}

int RunSummary(const std::string& command, const Args& args) {
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitRefused;
    std::vector<mqadmin::EntryInfo> entries;
    if (!mqadmin::ListEntries(nullptr, &entries)) {
        PrintError(command, "the queue store failed to list the entries (the log says why)");
        return kExitRefused;
    }

    // Registered channels show even when empty; entries of a channel no
    // longer registered show too.
    std::map<std::string, Shape, CaseLess> shapes;
    std::vector<std::string> names;
    cChannel registry;
    registry.List(CollectName, &names);
    for (const std::string& n : names) shapes[n].channel = n;
    int64_t now = static_cast<int64_t>(std::time(nullptr));
    Shape total;
    total.channel = "TOTAL";
    for (const mqadmin::EntryInfo& e : entries) {
        if (e.state == mqadmin::EntryState::Writing) continue;  // not in the queue yet
        Shape& s = shapes[e.channel];
        if (s.channel.empty()) s.channel = e.channel;
        s.Add(e, now - e.created);
        total.Add(e, now - e.created);
    }
    std::vector<const Shape*> rows{&total};
    for (const auto& kv : shapes) rows.push_back(&kv.second);

    if (args.Has("json")) {
        for (const Shape* s : rows) {
            JsonObject ages;
            for (size_t i = 0; i < kBuckets; ++i) ages.Int(BucketName(i), s->ages[i]);
            JsonObject()
                .Str("channel", s->channel)
                .Int("total", s->total)
                .Int("held", s->held)
                .Int("failed", s->failed)
                .Raw("ages", ages.Text())
                .Print();
        }
        return kExitOk;
    }
    std::vector<std::string> header{"CHANNEL", "TOTAL", "HELD", "FAILED"};
    for (size_t i = 0; i < kBuckets; ++i) header.push_back(BucketName(i));
    TextTable table(header);
    for (const Shape* s : rows) {
        std::vector<std::string> row{s->channel, std::to_string(s->total),
                                     std::to_string(s->held), std::to_string(s->failed)};
        for (uint32_t n : s->ages) row.push_back(std::to_string(n));
        table.Row(row);
    }
    table.Print();
    return kExitOk;
}

}  // namespace mqctl
