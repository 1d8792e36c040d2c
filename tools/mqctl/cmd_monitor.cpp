// cmd_monitor.cpp - metrics and monitor: the queue's figures for monitoring
// systems. metrics writes the text exposition format that metric scrapers
// read (a textfile collector takes it from a file); monitor answers as a
// monitoring plugin does: one status line with performance data and the
// exit code 0 OK, 1 WARNING, 2 CRITICAL, 3 UNKNOWN.
//
// Both read the queue through the store's operator calls (its totals and
// indexes, never a walk of the entries); neither changes anything.
#include <algorithm>
#include <cstdio>
#include <ctime>
#include <map>
#include <strings.h>

#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "entryview.h"
#include "output.h"
#include "reading.h"
#include "session.h"

namespace mqctl {

namespace {

using mqadmin::EntryState;

// The states an entry passes through once it is in the queue; "writing"
// entries have no channel yet.
const EntryState kStates[] = {EntryState::Queued, EntryState::Held, EntryState::Failed};

struct Figures {
    std::string channel;
    // The store's figures (zero for a registered channel without entries).
    mqadmin::ChannelTotals totals;
    int64_t Entries(EntryState s) const {
        return static_cast<int64_t>(s == EntryState::Held     ? totals.held
                                    : s == EntryState::Failed ? totals.failed
                                                              : totals.queued);
    }
    int64_t Bytes(EntryState s) const {
        return s == EntryState::Held     ? totals.heldBytes
               : s == EntryState::Failed ? totals.failedBytes
                                         : totals.queuedBytes;
    }
};

struct CaseLess {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};
using FigureMap = std::map<std::string, Figures, CaseLess>;

int CollectName(void* context, const char* channel, const char*, const char*, char) {
    FigureMap& figures = *static_cast<FigureMap*>(context);
    figures[channel].channel = channel;
    return 0;
}

// Gather - the figures of every registered channel (zero when empty) and of
// every channel holding entries, and when space is not null the store's
// sizes (zero without a spool). The store's totals and indexes answer, not
// a walk of the entries: the same cost at any depth. Returns false after
// printing the error.
bool Gather(const std::string& command, const Installation& inst, FigureMap* figures,
            mqadmin::SpaceReport* space = nullptr) {
    cMQ mq;
    // No spool yet: an empty queue, and nothing made.
    const bool none = !PrepareReading(inst.installDir);
    if (!none && !OpenStore(mq, command)) return false;
    std::vector<mqadmin::ChannelTotals> totals;
    if (!none && !mqadmin::ReadTotals(&totals)) {
        PrintError(command, "the queue store failed to count the entries (the log says why)");
        return false;
    }
    if (!none && space != nullptr && !mqadmin::StoreSpace(space)) {
        PrintError(command, "the queue store failed to read its sizes (the log says why)");
        return false;
    }
    cChannel registry;
    registry.List(CollectName, figures);
    for (mqadmin::ChannelTotals& t : totals) {
        if (t.Entries() == 0) continue;  // only entries still being written
        Figures& f = (*figures)[t.channel];
        if (f.channel.empty()) f.channel = t.channel;
        f.totals = std::move(t);
    }
    return true;
}

// A label value: the name as list shows it (Printable: control characters,
// C1 controls and bytes that are no UTF-8 as \xHH, so the page stays valid
// UTF-8 for a scraper whatever a channel is called), then backslash and
// double quote escaped as the exposition format wants.
std::string LabelValue(const std::string& name) {
    std::string out;
    for (char c : Printable(name)) {
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

void Family(const char* name, const char* help) {
    std::printf("# HELP %s %s\n# TYPE %s gauge\n", name, help, name);
}

}  // namespace

int RunMetrics(const std::string& command, const Args& args) {
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    FigureMap figures;
    const int64_t now = mqadmin::ClockMs() / 1000;
    // Whether the figures could be read, and when: a page written by a
    // failed run says so (0), and a page left from an old run shows its age,
    // so a textfile collector never takes stale figures for current ones.
    auto outcome = [now](bool ok) {
        Family("mqtoolkit_metrics_success", "1 when the queue could be read, 0 when not.");
        std::printf("mqtoolkit_metrics_success %d\n", ok ? 1 : 0);
        Family("mqtoolkit_metrics_timestamp_seconds",
               "When this page was made, in seconds since the epoch.");
        std::printf("mqtoolkit_metrics_timestamp_seconds %lld\n", static_cast<long long>(now));
    };
    Installation inst;
    mqadmin::SpaceReport space;
    if (!RequireInstallation(command, &inst) || !Gather(command, inst, &figures, &space)) {
        outcome(false);
        return kExitRefused;
    }
    outcome(true);

    Family("mqtoolkit_queue_entries", "Entries in the queue by channel and state.");
    for (const auto& kv : figures) {
        for (EntryState s : kStates) {
            std::printf("mqtoolkit_queue_entries{channel=\"%s\",state=\"%s\"} %lld\n",
                        LabelValue(kv.second.channel).c_str(), mqadmin::StateName(s),
                        static_cast<long long>(kv.second.Entries(s)));
        }
    }
    Family("mqtoolkit_queue_bytes", "Bytes of message bodies in the queue by channel and state.");
    for (const auto& kv : figures) {
        for (EntryState s : kStates) {
            std::printf("mqtoolkit_queue_bytes{channel=\"%s\",state=\"%s\"} %lld\n",
                        LabelValue(kv.second.channel).c_str(), mqadmin::StateName(s),
                        static_cast<long long>(kv.second.Bytes(s)));
        }
    }
    struct Single {
        const char* name;
        const char* help;
        int64_t (*value)(const Figures&, int64_t now);
    } singles[] = {
        {"mqtoolkit_queue_oldest_age_seconds",
         "Age of the channel's oldest entry in seconds; 0 when it holds none.",
         [](const Figures& f, int64_t t) {
             return f.totals.oldest == 0 ? 0 : std::max<int64_t>(0, AgeSince(t, f.totals.oldest));
         }},
        {"mqtoolkit_queue_leased_entries",
         "Entries handed to a reader that has not removed them yet.",
         [](const Figures& f, int64_t) { return static_cast<int64_t>(f.totals.leased); }},
        {"mqtoolkit_queue_attempts",
         "Hand-outs whose reader died holding them, summed over the channel's entries.",
         [](const Figures& f, int64_t) { return static_cast<int64_t>(f.totals.attempts); }},
        {"mqtoolkit_queue_deferred_entries",
         "Queued entries deferred to a later attempt (among the queued ones).",
         [](const Figures& f, int64_t) { return static_cast<int64_t>(f.totals.deferred); }},
        {"mqtoolkit_queue_deferrals",
         "Deferrals by readers, summed over the channel's entries.",
         [](const Figures& f, int64_t) { return static_cast<int64_t>(f.totals.deferrals); }},
        {"mqtoolkit_queue_oldest_deferred_age_seconds",
         "Age of the channel's oldest deferred entry in seconds; 0 when none is deferred.",
         [](const Figures& f, int64_t t) {
             const int64_t o = f.totals.oldestDeferred;
             return o == 0 ? 0 : std::max<int64_t>(0, AgeSince(t, o));
         }},
    };
    for (const Single& m : singles) {
        Family(m.name, m.help);
        for (const auto& kv : figures) {
            std::printf("%s{channel=\"%s\"} %lld\n", m.name, LabelValue(kv.second.channel).c_str(),
                        static_cast<long long>(m.value(kv.second, now)));
        }
    }
    const struct {
        const char* name;
        const char* help;
        int64_t value;
    } sizes[] = {
        {"mqtoolkit_store_database_bytes", "Size of the queue's database in bytes.",
         space.databaseBytes},
        {"mqtoolkit_store_database_free_bytes",
         "Bytes of the database free for reuse (pages of removed entries and bodies).",
         space.databaseFree},
        {"mqtoolkit_store_wal_bytes", "Size of the database's write-ahead log file in bytes.",
         space.walBytes},
    };
    for (const auto& m : sizes) {
        Family(m.name, m.help);
        std::printf("%s %lld\n", m.name, static_cast<long long>(m.value));
    }
    return kExitOk;
}

namespace {

// Monitoring-plugin results.
enum PluginStatus { kPluginOk = 0, kPluginWarning = 1, kPluginCritical = 2, kPluginUnknown = 3 };

int Unknown(const std::string& why) {
    std::printf("MQ UNKNOWN - %s\n", why.c_str());
    return kPluginUnknown;
}

// A threshold: -1 when not given.
mq::Status Threshold(const Args& args, const char* name, bool age, int64_t* out) {
    *out = -1;
    if (!args.Has(name)) return mq::Status::OK();
    std::string text = args.Value(name);
    if (age && ParseAge(text, out)) return mq::Status::OK();
    unsigned long count = 0;
    if (!age && (text == "0" || ParseId(text, &count))) {
        *out = static_cast<int64_t>(count);
        return mq::Status::OK();
    }
    return mq::Status::Error(std::string("--") + name + " " + text +
                             (age ? ": not an age like 90s, 30m, 2h, 1d" : ": not a count"));
}

std::string Perf(const char* label, int64_t value, const char* unit, int64_t warn, int64_t crit) {
    auto bound = [](int64_t v) { return v >= 0 ? std::to_string(v) : std::string(); };
    return std::string(label) + "=" + std::to_string(value) + unit + ";" + bound(warn) + ";" +
           bound(crit) + ";0";
}

}  // namespace

int RunMonitor(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() > 1) return Unknown("usage: takes at most one CHANNEL");
    int64_t warnAge, critAge, warnCount, critCount;
    const struct {
        const char* name;
        bool age;
        int64_t* out;
    } thresholds[] = {{"warn-age", true, &warnAge},
                      {"crit-age", true, &critAge},
                      {"warn-count", false, &warnCount},
                      {"crit-count", false, &critCount}};
    for (const auto& t : thresholds) {
        mq::Status given = Threshold(args, t.name, t.age, t.out);
        if (!given.ok()) return Unknown("usage: " + given.Cause());
    }
    Installation inst;
    mq::Status found = FindInstallation(&inst);
    if (!found.ok()) return Unknown(found.Cause());
    std::string channel = words.empty() ? "" : words[0];
    if (!channel.empty()) {
        cChannel registry;
        if (!registry.IsExist(channel.c_str())) {
            return Unknown("channel " + Printable(channel) + " is not registered");
        }
    }
    FigureMap figures;
    if (!Gather(command, inst, &figures)) return Unknown("the queue store can't be read (the log says why)");

    int64_t now = mqadmin::ClockMs() / 1000;
    int64_t entries = 0, held = 0, failed = 0, deferred = 0, oldest = 0;
    for (const auto& kv : figures) {
        if (!channel.empty() && strcasecmp(kv.first.c_str(), channel.c_str()) != 0) continue;
        const mqadmin::ChannelTotals& t = kv.second.totals;
        entries += static_cast<int64_t>(t.Entries());
        held += static_cast<int64_t>(t.held);
        failed += static_cast<int64_t>(t.failed);
        deferred += static_cast<int64_t>(t.deferred);
        if (t.oldest != 0 && (oldest == 0 || t.oldest < oldest)) oldest = t.oldest;
    }
    int64_t age = oldest == 0 ? 0 : std::max<int64_t>(0, AgeSince(now, oldest));
    auto over = [](int64_t value, int64_t limit) { return limit >= 0 && value >= limit; };
    int status = kPluginOk;
    if (over(entries, warnCount) || over(age, warnAge)) status = kPluginWarning;
    if (over(entries, critCount) || over(age, critAge)) status = kPluginCritical;
    static const char* const kNames[] = {"OK", "WARNING", "CRITICAL", "UNKNOWN"};
    std::printf("MQ %s - %s%s%lld %s, oldest %s, %lld held, %lld failed, %lld deferred"
                " | %s %s %s %s %s\n",
                kNames[status], channel.empty() ? "" : "channel ",
                channel.empty() ? "" : (Printable(channel) + ": ").c_str(),
                static_cast<long long>(entries), entries == 1 ? "entry" : "entries",
                FormatAge(age).c_str(), static_cast<long long>(held),
                static_cast<long long>(failed), static_cast<long long>(deferred),
                Perf("entries", entries, "", warnCount, critCount).c_str(),
                Perf("oldest", age, "s", warnAge, critAge).c_str(),
                Perf("held", held, "", -1, -1).c_str(), Perf("failed", failed, "", -1, -1).c_str(),
                Perf("deferred", deferred, "", -1, -1).c_str());
    return status;
}

}  // namespace mqctl
