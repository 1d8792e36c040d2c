// cmd_queue.cpp - list and summary: the queue as a whole, read through the
// store's operator calls.
#include <regex.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cctype>
#include <cstdio>
#include <ctime>
#include <map>
#include <memory>
#include <strings.h>

#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "entryview.h"
#include "reading.h"
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
    // The failure's cause is regerror's text.
    mq::Status Compile(const std::string& pattern) {
        int rc = regcomp(&re_, pattern.c_str(), REG_EXTENDED | REG_ICASE | REG_NOSUB);
        if (rc != 0) {
            char buf[256];
            regerror(rc, &re_, buf, sizeof buf);
            return mq::Status::Error(buf);
        }
        compiled_ = true;
        return mq::Status::OK();
    }
    bool Matches(const std::string& text) const {
        return regexec(&re_, text.c_str(), 0, nullptr, 0) == 0;
    }

private:
    regex_t re_{};
    bool compiled_ = false;
};

std::string StateText(const mqadmin::EntryInfo& e) {
    const int64_t nowMs = mqadmin::ClockMs();
    if (Deferred(e, nowMs)) return "deferred," + FormatAge((e.due - nowMs + 999) / 1000);
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

// One row of a queue-shape table: a channel, a recipient domain, or all.
struct Shape {
    std::string name;
    uint32_t total = 0, held = 0, failed = 0;
    uint32_t deferred = 0;  // queued, put off to a later attempt
    int64_t bytes = 0;
    int64_t oldest = 0;  // creation time of the oldest entry; 0 for none
    std::vector<uint32_t> ages = std::vector<uint32_t>(kBuckets, 0);
    void Add(const mqadmin::EntryInfo& e, int64_t age) {
        ++total;
        if (e.state == mqadmin::EntryState::Held) ++held;
        if (e.state == mqadmin::EntryState::Failed) ++failed;
        if (Deferred(e, mqadmin::ClockMs())) ++deferred;
        if (e.bodySize > 0) bytes += e.bodySize;
        if (oldest == 0 || e.created < oldest) oldest = e.created;
        ++ages[BucketOf(age)];
    }
    // Adds a channel's figures, t.created counted by CreatedBounds.
    void Add(const mqadmin::ChannelTotals& t) {
        total += static_cast<uint32_t>(t.Entries());
        held += static_cast<uint32_t>(t.held);
        failed += static_cast<uint32_t>(t.failed);
        deferred += static_cast<uint32_t>(t.deferred);
        bytes += t.queuedBytes + t.heldBytes + t.failedBytes;
        if (t.oldest != 0 && (oldest == 0 || t.oldest < oldest)) oldest = t.oldest;
        // The oldest range first: the last bucket's.
        for (size_t i = 0; i < t.created.size() && i < kBuckets; ++i) {
            ages[kBuckets - 1 - i] += static_cast<uint32_t>(t.created[i]);
        }
    }
};

// The creation times that divide entries into the age buckets at now, the
// oldest first (for ReadTotals): an entry is in bucket i when its age is
// below kBucketMinutes[i] minutes and not below the one before, as BucketOf
// has it.
std::vector<int64_t> CreatedBounds(int64_t now) {
    std::vector<int64_t> bounds;
    for (size_t i = kBuckets - 1; i-- > 0;) {
        bounds.push_back(now - static_cast<int64_t>(kBucketMinutes[i]) * 60 + 1);
    }
    return bounds;
}

// The recipient domains of an entry, lower-cased, each once: an entry to
// two users of one domain is one entry waiting for that domain.
std::vector<std::string> Domains(const mqadmin::EntryInfo& e) {
    std::vector<std::string> out;
    for (const std::string& r : e.recipients) {
        size_t at = r.rfind('@');
        std::string domain = at == std::string::npos ? "" : r.substr(at + 1);
        for (char& c : domain) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (domain.empty()) domain = "(none)";
        if (std::find(out.begin(), out.end(), domain) == out.end()) out.push_back(domain);
    }
    return out;
}

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

// The width of the terminal standard output goes to: COLUMNS when it holds
// a number (as the shell keeps it, and as a user may set it), else what the
// terminal says; 0 when output goes elsewhere (a pipe or a file take whole
// lines).
size_t TerminalColumns() {
    if (!isatty(STDOUT_FILENO)) return 0;
    if (const char* env = std::getenv("COLUMNS")) {
        char* end = nullptr;
        long n = std::strtol(env, &end, 10);
        if (end != env && *end == '\0' && n > 0 && n <= 100000) return static_cast<size_t>(n);
    }
    struct winsize ws;
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 0) return ws.ws_col;
    return 80;
}

// Recipients - as many of the list as fit width columns, whole, then how
// many more (",+2"); when not even the first fits with the count, the first
// cut short before the count.
std::string Recipients(const std::vector<std::string>& list, size_t width) {
    std::string all = Join(list, ",");
    if (list.size() <= 1 || DisplayWidth(all) <= width) return FitWidth(all, width);
    for (size_t k = list.size() - 1; k >= 1; --k) {
        std::string shown = Join(std::vector<std::string>(list.begin(), list.begin() + k), ",") +
                            ",+" + std::to_string(list.size() - k);
        if (DisplayWidth(shown) <= width) return shown;
    }
    std::string count = ",+" + std::to_string(list.size() - 1);
    size_t keep = width > DisplayWidth(count) + 4 ? width - DisplayWidth(count) : 4;
    return FitWidth(list[0], keep) + count;
}

// FitAddresses - cuts the last two columns (sender, recipients) of a list
// table so that its lines fit columns: the other columns keep their width,
// the sender gets up to a third of what is left, the recipients the rest
// (Recipients: recipients[i] are row i + 1's). floor holds the widths
// earlier pages used.
void FitAddresses(TextTable* table, const std::vector<std::vector<std::string>>& recipients,
                  size_t columns, const std::vector<size_t>& floor) {
    std::vector<size_t> width = table->Widths();
    for (size_t c = 0; c < width.size() && c < floor.size(); ++c) {
        width[c] = std::max(width[c], floor[c]);
    }
    size_t fixed = 0;
    for (size_t c = 0; c + 2 < width.size(); ++c) fixed += width[c] + 2;
    size_t room = columns > fixed + 2 + 12 ? columns - fixed - 2 - 1 : 12;
    size_t from = std::min(width[width.size() - 2], std::max<size_t>(room / 3, 8));
    size_t to = room > from ? room - from : 4;
    for (size_t r = 0; r < table->rows().size(); ++r) {
        auto& row = table->rows()[r];
        row[row.size() - 2] = FitWidth(row[row.size() - 2], from);
        row.back() = r > 0 ? Recipients(recipients[r - 1], to) : FitWidth(row.back(), to);
    }
}

// ListPrinter - list's output, an entry at a time: identifiers, JSON Lines,
// or a text table printed a page at a time (each page's columns at least as
// wide as the pages before), then the total line.
class ListPrinter {
public:
    enum class Mode { Ids, Json, Text };
    ListPrinter(Mode mode, size_t columns, int64_t now)
        : mode_(mode), columns_(columns), now_(now) {}

    // Prints e, or keeps it for the text table's page.
    void Add(const mqadmin::EntryInfo& e) {
        ++count_;
        if (e.bodySize > 0) bytes_ += e.bodySize;
        if (mode_ == Mode::Ids) {
            // Identifiers only, for "| mqctl delete -": nothing else on a line.
            std::printf("%u\n", e.id);
        } else if (mode_ == Mode::Json) {
            JsonObject o;
            o.Int("id", e.id)
                .Str("channel", e.channel)
                .Int("age", AgeSince(now_, e.created))
                .Int("created", e.created)
                .Int("size", e.bodySize)
                .Str("from", e.sender)
                .StrList("to", e.recipients)
                .Str("state", mqadmin::StateName(e.state))
                .Bool("leased", e.leased)
                .Int("attempts", e.attempts)
                .Str("path", e.path);
            AddLastJson(&o, e);
            o.Print();
        } else {
            AddRow(e);
            if (page_.rows().size() > kPage) FlushPage();
        }
    }
    // The entries added so far.
    size_t Count() const { return count_; }
    // True once standard output can't be written (a reader closed the pipe).
    bool Broken() const { return std::ferror(stdout) != 0; }
    // Prints what is left; with total, the text table's total line.
    void Finish(bool total) {
        if (mode_ != Mode::Text) return;
        FlushPage();
        if (!total) return;
        std::printf("-- %zu %s, %lld bytes\n", count_, count_ == 1 ? "entry" : "entries",
                    static_cast<long long>(bytes_));
    }

private:
    static constexpr size_t kPage = 1000;

    // Adds e's row to the page; on a terminal the recipients are kept apart
    // as well, to be fitted to the width whole (FitAddresses).
    void AddRow(const mqadmin::EntryInfo& e) {
        std::vector<std::string> to;
        for (const std::string& r : e.recipients) to.push_back(Printable(r));
        std::string toCell = Join(to, ",");
        if (columns_ > 0) recipients_.push_back(to);
        page_.Row({std::to_string(e.id), Printable(e.channel), FormatAge(AgeSince(now_, e.created)),
                   e.bodySize >= 0 ? std::to_string(e.bodySize) : "-", StateText(e),
                   LastCell(e, now_), e.sender.empty() ? "<>" : Printable(e.sender), toCell});
    }

    // Prints the page's rows (the header with the first page) and empties it.
    void FlushPage() {
        if (page_.rows().size() <= 1) return;
        if (columns_ > 0) FitAddresses(&page_, recipients_, columns_, widths_);
        page_.PrintRows(printed_ ? 1 : 0, &widths_);
        printed_ = true;
        page_.rows().resize(1);
        recipients_.clear();
    }

    Mode mode_;
    size_t columns_;  // the terminal's width; 0 for whole lines
    int64_t now_;
    size_t count_ = 0;
    int64_t bytes_ = 0;
    TextTable page_{{"ID", "CHANNEL", "AGE", "SIZE", "STATE", "LAST", "FROM", "TO"}};
    std::vector<std::vector<std::string>> recipients_;  // on a terminal: each row's, printable
    std::vector<size_t> widths_;       // the widths the pages so far were printed with
    bool printed_ = false;             // the header is out
};

// What list's options ask for, beyond the store's own filter.
struct ListOptions {
    Regex fromRe, toRe;
    bool byFrom = false, byTo = false;
    int64_t olderThan = -1, youngerThan = -1;
    std::string sort = "id";
    unsigned long limit = 0;

    // True when e passes the address filters (which need the envelope, so
    // the store can't apply them).
    bool Matches(const mqadmin::EntryInfo& e) const {
        if (byFrom && !fromRe.Matches(e.sender)) return false;
        if (!byTo) return true;
        for (const std::string& r : e.recipients) {
            if (toRe.Matches(r)) return true;
        }
        return false;
    }
};

// ParseListOptions - list's options into *out; kExitOk, or the usage
// error's exit code once its line is printed.
int ParseListOptions(const std::string& command, const Args& args, ListOptions* out) {
    out->byFrom = args.Has("from");
    out->byTo = args.Has("to");
    const std::pair<const char*, Regex*> patterns[] = {{"from", &out->fromRe},
                                                        {"to", &out->toRe}};
    for (const auto& p : patterns) {
        if (!args.Has(p.first)) continue;
        mq::Status compiled = p.second->Compile(args.Value(p.first));
        if (!compiled.ok()) {
            return UsageError(command, std::string("--") + p.first + " " + args.Value(p.first) +
                                           ": " + compiled.Cause());
        }
    }
    if (args.Has("older-than") && !ParseAge(args.Value("older-than"), &out->olderThan)) {
        return UsageError(command, "--older-than " + args.Value("older-than") +
                                       ": not an age like 90s, 30m, 2h, 1d");
    }
    if (args.Has("younger-than") && !ParseAge(args.Value("younger-than"), &out->youngerThan)) {
        return UsageError(command, "--younger-than " + args.Value("younger-than") +
                                       ": not an age like 90s, 30m, 2h, 1d");
    }
    // --ids picks the output's form, as --json and --count do: with either,
    // one of the two would go unheard.
    for (const char* other : {"json", "count"}) {
        if (args.Has("ids") && args.Has(other)) {
            return UsageError(command, std::string("--ids and --") + other + " exclude each other");
        }
    }
    if (args.Has("sort")) out->sort = args.Value("sort");
    if (out->sort != "id" && out->sort != "age" && out->sort != "size") {
        return UsageError(command, "--sort " + out->sort + ": id, age or size");
    }
    if (args.Has("limit") && !ParseId(args.Value("limit"), &out->limit)) {
        return UsageError(command, "--limit " + args.Value("limit") + ": not a count above 0");
    }
    return kExitOk;
}

// PrintCount - list --count: the number of entries filter and options
// select (none: no spool yet, so none at all), capped at --limit.
int PrintCount(const std::string& command, const mqadmin::EntryFilter& filter,
               const ListOptions& options, bool none, bool json) {
    uint64_t n = 0;
    bool ok = none;
    if (!none && (options.byFrom || options.byTo)) {
        ok = mqadmin::WalkEntries(filter, [&](const mqadmin::EntryInfo& e) {
            if (options.Matches(e)) ++n;
            return options.limit == 0 || n < options.limit;
        });
    } else if (!none) {
        ok = mqadmin::CountMatching(filter, &n);
    }
    if (!ok) {
        PrintError(command, "the queue store failed to count the entries (the log says why)");
        return kExitRefused;
    }
    if (options.limit > 0 && n > options.limit) n = options.limit;
    if (json) {
        JsonObject().Int("count", static_cast<int64_t>(n)).Print();
    } else {
        std::printf("%llu\n", static_cast<unsigned long long>(n));
    }
    return kExitOk;
}

// PrintEntries - the entries filter and options select, through printer;
// false when the store failed (what was read before is printed).
bool PrintEntries(const mqadmin::EntryFilter& filter, const ListOptions& options,
                  ListPrinter* printer) {
    const unsigned long limit = options.limit;
    if (options.sort == "id") {
        // The store's order: printed as it is read, so that a listing cut
        // short (--limit, or a reader that closed the pipe) reads no further.
        return mqadmin::WalkEntries(filter, [&](const mqadmin::EntryInfo& e) {
            if (!options.Matches(e)) return true;
            printer->Add(e);
            return (limit == 0 || printer->Count() < limit) && !printer->Broken();
        });
    }
    // Identifiers are handed out in turn, so the store's order is the
    // age order too but for identifiers that went round; --sort age is
    // exact. Sorting needs every entry first.
    std::vector<mqadmin::EntryInfo> entries;
    bool ok = mqadmin::WalkEntries(filter, [&](const mqadmin::EntryInfo& e) {
        if (options.Matches(e)) entries.push_back(e);
        return true;
    });
    const bool byAge = options.sort == "age";
    std::stable_sort(entries.begin(), entries.end(),
                     [byAge](const mqadmin::EntryInfo& a, const mqadmin::EntryInfo& b) {
                         return byAge ? a.created < b.created : a.bodySize > b.bodySize;
                     });
    for (const mqadmin::EntryInfo& e : entries) {
        if ((limit > 0 && printer->Count() >= limit) || printer->Broken()) break;
        printer->Add(e);
    }
    return ok;
}

}  // namespace

int RunList(const std::string& command, const Args& args) {
    const auto& words = args.Positional();
    if (words.size() > 1) return UsageError(command, "takes at most one CHANNEL");
    ListOptions options;
    int parsed = ParseListOptions(command, args, &options);
    if (parsed != kExitOk) return parsed;
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;
    std::string channel = words.empty() ? "" : words[0];
    if (!channel.empty() && !IsRegistered(command, channel)) return kExitRefused;
    cMQ mq;
    // No spool yet: an empty queue, and nothing made.
    const bool none = !PrepareReading(inst.installDir);
    if (!none && !OpenStore(mq, command)) return kExitRefused;

    const int64_t now = mqadmin::ClockMs() / 1000;
    mqadmin::EntryFilter filter;
    filter.channel = channel;
    filter.held = args.Has("held");
    filter.failed = args.Has("failed");
    if (options.olderThan >= 0) filter.createdBefore = TimeBefore(now, options.olderThan);
    if (options.youngerThan >= 0) filter.createdAfter = TimeBefore(now, options.youngerThan);
    const bool json = args.Has("json");
    if (args.Has("count")) return PrintCount(command, filter, options, none, json);

    ListPrinter printer(args.Has("ids")  ? ListPrinter::Mode::Ids
                        : json           ? ListPrinter::Mode::Json
                                         : ListPrinter::Mode::Text,
                        args.Has("wide") ? 0 : TerminalColumns(), now);
    if (!none && !PrintEntries(filter, options, &printer)) {
        // What was read before the failure is printed, then the error.
        printer.Finish(false);
        PrintError(command, "the queue store failed to list the entries (the log says why)");
        return kExitRefused;
    }
    printer.Finish(true);
    return kExitOk;
}

int RunSummary(const std::string& command, const Args& args) {
    if (!args.Positional().empty()) return UsageError(command, "takes no arguments");
    std::string by = args.Has("by") ? args.Value("by") : "channel";
    if (by != "channel" && by != "domain") {
        return UsageError(command, "--by " + by + ": channel or domain");
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;
    cMQ mq;
    // No spool yet: an empty queue, and nothing made.
    const bool none = !PrepareReading(inst.installDir);
    if (!none && !OpenStore(mq, command)) return kExitRefused;

    // Registered channels show even when empty; entries of a channel no
    // longer registered show too.
    std::map<std::string, Shape, CaseLess> shapes;
    int64_t now = mqadmin::ClockMs() / 1000;
    Shape total;
    if (by == "channel") {
        std::vector<std::string> names;
        cChannel registry;
        registry.List(CollectName, &names);
        for (const std::string& n : names) shapes[n].name = n;
        // From the store's totals and index counts: the same cost at any
        // depth.
        std::vector<mqadmin::ChannelTotals> totals;
        if (!none && !mqadmin::ReadTotals(&totals, CreatedBounds(now))) {
            PrintError(command, "the queue store failed to count the entries (the log says why)");
            return kExitRefused;
        }
        for (const mqadmin::ChannelTotals& t : totals) {
            if (t.Entries() == 0) continue;  // only entries still being written
            Shape& s = shapes[t.channel];
            if (s.name.empty()) s.name = t.channel;
            s.Add(t);
            total.Add(t);
        }
    } else if (!none) {
        // Domains are in the envelopes: every entry is read, a page at a
        // time, and only the rows are kept.
        bool ok = mqadmin::WalkEntries(mqadmin::EntryFilter(), [&](const mqadmin::EntryInfo& e) {
            if (e.state == mqadmin::EntryState::Writing) return true;  // not in the queue yet
            int64_t age = AgeSince(now, e.created);
            total.Add(e, age);
            for (const std::string& key : Domains(e)) {
                Shape& s = shapes[key];
                if (s.name.empty()) s.name = key;
                s.Add(e, age);
            }
            return true;
        });
        if (!ok) {
            PrintError(command, "the queue store failed to list the entries (the log says why)");
            return kExitRefused;
        }
    }
    std::vector<const Shape*> rows{&total};
    for (const auto& kv : shapes) rows.push_back(&kv.second);

    if (args.Has("json")) {
        for (const Shape* s : rows) {
            JsonObject ages;
            for (size_t i = 0; i < kBuckets; ++i) ages.Int(BucketName(i), s->ages[i]);
            JsonObject o;
            // The whole queue's row has no name: a channel called TOTAL
            // must not pass for it.
            if (s == &total) {
                o.Bool("all", true);
            } else {
                o.Str(by, s->name);
            }
            o.Int("total", s->total)
                .Int("held", s->held)
                .Int("failed", s->failed)
                .Int("deferred", s->deferred)
                .Int("bytes", s->bytes)
                .Int("oldest", s->total > 0 ? AgeSince(now, s->oldest) : 0)
                .Raw("ages", ages.Text())
                .Print();
        }
        return kExitOk;
    }
    std::vector<std::string> header{by == "channel" ? "CHANNEL" : "DOMAIN", "TOTAL", "HELD",
                                    "FAILED", "DEFERRED", "BYTES", "OLDEST"};
    for (size_t i = 0; i < kBuckets; ++i) header.push_back(BucketName(i));
    TextTable table(header);
    for (const Shape* s : rows) {
        // Names hold no spaces, so the total's label can't be a name.
        std::vector<std::string> row{s == &total ? "(all " + by + "s)" : Printable(s->name),
                                     std::to_string(s->total), std::to_string(s->held),
                                     std::to_string(s->failed), std::to_string(s->deferred),
                                     std::to_string(s->bytes),
                                     s->total > 0 ? FormatAge(AgeSince(now, s->oldest)) : "-"};
        for (uint32_t n : s->ages) row.push_back(std::to_string(n));
        table.Row(row);
    }
    table.Print();
    return kExitOk;
}

}  // namespace mqctl
