// entryview.cpp - an entry's last hand-out and reason, as mqctl shows them.
#include "entryview.h"

#include <cstdint>
#include <ctime>

namespace mqctl {

namespace {

bool ByOperator(mqadmin::EntryReason r) {
    return r == mqadmin::EntryReason::Held || r == mqadmin::EntryReason::Released ||
           r == mqadmin::EntryReason::Requeued;
}

}  // namespace

int64_t AgeSince(int64_t now, int64_t then) {
    int64_t age;
    if (!__builtin_sub_overflow(now, then, &age)) return age;
    return then < 0 ? INT64_MAX : INT64_MIN;
}

int64_t TimeBefore(int64_t now, int64_t seconds) {
    int64_t t;
    if (!__builtin_sub_overflow(now, seconds, &t)) return t;
    return seconds > 0 ? INT64_MIN : INT64_MAX;
}

std::string IsoTime(int64_t t) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char buf[32] = "";
    if (gmtime_r(&tt, &tm) != nullptr) std::strftime(buf, sizeof buf, "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

std::string LastCell(const mqadmin::EntryInfo& e, int64_t now) {
    if (e.reason == mqadmin::EntryReason::None) return "-";
    std::string cell = std::string(mqadmin::ReasonName(e.reason)) + "," +
                       FormatAge(AgeSince(now, e.reasonTime));
    if (ByOperator(e.reason) && !e.reasonBy.empty()) cell += "," + Printable(e.reasonBy);
    return cell;
}

void AddLastJson(JsonObject* o, const mqadmin::EntryInfo& e) {
    o->Int("handed", e.handed)
        .Str("reason", mqadmin::ReasonName(e.reason))
        .Int("reason_time", e.reasonTime)
        .Str("reason_by", e.reasonBy)
        .Str("reason_text", e.reasonText)
        .Int("deferrals", e.deferrals)
        .Int("next_attempt", Deferred(e, mqadmin::ClockMs()) ? e.due / 1000 : 0);
}

bool Deferred(const mqadmin::EntryInfo& e, int64_t nowMs) {
    return e.state == mqadmin::EntryState::Queued && !e.leased && e.due > nowMs;
}

std::string NextAttempt(const mqadmin::EntryInfo& e, int64_t nowMs) {
    if (!Deferred(e, nowMs)) return "";
    return "deferred, next in " + FormatAge((e.due - nowMs + 999) / 1000);
}

std::string LastLines(const mqadmin::EntryInfo& e, int64_t now) {
    std::string out = e.handed > 0 ? "handed out " + IsoTime(e.handed) + " (" +
                                         FormatAge(AgeSince(now, e.handed)) + " ago)\n"
                                   : "handed out never\n";
    if (e.reason != mqadmin::EntryReason::None) {
        out += std::string("last ") + mqadmin::ReasonName(e.reason);
        if (!e.reasonBy.empty()) out += " by " + Printable(e.reasonBy);
        out += " at " + IsoTime(e.reasonTime) + " (" + FormatAge(AgeSince(now, e.reasonTime)) +
               " ago)\n";
    }
    if (!e.reasonText.empty()) out += "reason " + Printable(e.reasonText) + "\n";
    const int64_t nowMs = mqadmin::ClockMs();
    if (Deferred(e, nowMs)) {
        out += "next attempt " + IsoTime(e.due / 1000) + " (" + NextAttempt(e, nowMs) + ")\n";
    }
    return out;
}

}  // namespace mqctl
