// totals_check.h - the store's kept figures (mqadmin::ReadTotals) against a
// recount from every entry, as the views counted before the store kept
// them: a test of the totals after any change, crash or upgrade.
#ifndef MQTEST_TOTALS_CHECK_H
#define MQTEST_TOTALS_CHECK_H

#include <strings.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "mqadmin.h"

namespace mqtest {

struct CaseBlind {
    bool operator()(const std::string& a, const std::string& b) const {
        return strcasecmp(a.c_str(), b.c_str()) < 0;
    }
};

// Every channel's figures recounted from the listed entries, with the
// creation times divided by bounds as ReadTotals divides them; deferred
// as of nowMs. False when the entries can't be listed.
inline bool Recount(const std::vector<int64_t>& bounds, int64_t nowMs,
                    std::map<std::string, mqadmin::ChannelTotals, CaseBlind>* out) {
    std::vector<mqadmin::EntryInfo> entries;
    if (!mqadmin::ListEntries(nullptr, &entries)) return false;
    for (const mqadmin::EntryInfo& e : entries) {
        mqadmin::ChannelTotals& t = (*out)[e.channel];
        if (t.created.empty()) t.created.assign(bounds.empty() ? 0 : bounds.size() + 1, 0);
        if (e.state == mqadmin::EntryState::Writing) {
            ++t.writing;
            continue;
        }
        const int64_t bytes = e.bodySize > 0 ? e.bodySize : 0;
        switch (e.state) {
            case mqadmin::EntryState::Held:
                ++t.held;
                t.heldBytes += bytes;
                break;
            case mqadmin::EntryState::Failed:
                ++t.failed;
                t.failedBytes += bytes;
                break;
            default:
                ++t.queued;
                t.queuedBytes += bytes;
                break;
        }
        t.leased += e.leased;
        t.attempts += e.attempts;
        t.deferrals += e.deferrals;
        if (t.oldest == 0 || e.created < t.oldest) t.oldest = e.created;
        if (e.state == mqadmin::EntryState::Queued && !e.leased && e.due > nowMs) {
            ++t.deferred;
            if (t.oldestDeferred == 0 || e.created < t.oldestDeferred) {
                t.oldestDeferred = e.created;
            }
        }
        if (!bounds.empty()) {
            size_t i = 0;
            while (i < bounds.size() && e.created >= bounds[i]) ++i;
            ++t.created[i];
        }
    }
    return true;
}

// "" when the store's figures equal a recount; else what differs, as "got
// X, want Y" per figure. Channels without entries are left out on both
// sides.
inline std::string TotalsAgainstRecount(const std::vector<int64_t>& bounds = {}) {
    std::vector<mqadmin::ChannelTotals> kept;
    const int64_t nowMs = mqadmin::ClockMs();
    if (!mqadmin::ReadTotals(&kept, bounds)) return "ReadTotals failed";
    std::map<std::string, mqadmin::ChannelTotals, CaseBlind> want;
    if (!Recount(bounds, nowMs, &want)) return "ListEntries failed";
    std::map<std::string, mqadmin::ChannelTotals, CaseBlind> got;
    for (const mqadmin::ChannelTotals& t : kept) {
        if (t.Entries() + t.writing > 0) got[t.channel] = t;
    }
    std::string diff;
    for (const auto& [name, w] : want) {
        if (got.count(name) == 0) {
            diff += name + ": missing from the totals; ";
            continue;
        }
        const mqadmin::ChannelTotals& g = got[name];
        auto figure = [&](const char* what, int64_t have, int64_t should) {
            if (have != should) {
                diff += name + " " + what + ": got " + std::to_string(have) + ", want " +
                        std::to_string(should) + "; ";
            }
        };
        figure("queued", g.queued, w.queued);
        figure("held", g.held, w.held);
        figure("failed", g.failed, w.failed);
        figure("writing", g.writing, w.writing);
        figure("queued bytes", g.queuedBytes, w.queuedBytes);
        figure("held bytes", g.heldBytes, w.heldBytes);
        figure("failed bytes", g.failedBytes, w.failedBytes);
        figure("leased", g.leased, w.leased);
        figure("attempts", g.attempts, w.attempts);
        figure("deferrals", g.deferrals, w.deferrals);
        figure("deferred", g.deferred, w.deferred);
        figure("oldest", g.oldest, w.oldest);
        figure("oldest deferred", g.oldestDeferred, w.oldestDeferred);
        if (g.Entries() > 0 && g.created != w.created) {
            for (size_t i = 0; i < w.created.size(); ++i) {
                figure(("created range " + std::to_string(i)).c_str(),
                       i < g.created.size() ? static_cast<int64_t>(g.created[i]) : -1,
                       static_cast<int64_t>(w.created[i]));
            }
        }
    }
    for (const auto& kv : got) {
        if (want.count(kv.first) == 0) diff += kv.first + ": in the totals, holding no entry; ";
    }
    return diff;
}

}  // namespace mqtest

#endif
