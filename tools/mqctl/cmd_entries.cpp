// cmd_entries.cpp - delete, hold, release and requeue: changes to entries
// named by identifier.
//
// Every word is checked to be an identifier before anything is changed (a
// malformed one is a usage error). Then each entry is acted on by itself:
// one that is gone (taken by a reader since it was listed) or in a state the
// change does not apply to is named on standard error with the reason, and
// the others are changed all the same; the exit code is then 1. Each change
// is printed on a line of its own ("deleted 17"), then the total ("-- 3
// entries deleted"); with --quiet only the total. --dry-run checks alike and
// says what would change. "-" with nothing on standard input is no error:
// nothing to do (a cron job's "list --failed --ids | delete -").
#include <cstdio>
#include <sstream>

#include <mqadmin.h>
#include <mqapi.h>

#include "commands.h"
#include "session.h"

namespace mqctl {

namespace {

using mqadmin::AdminResult;
using mqadmin::EntryState;

struct Action {
    const char* verb;  // "delete": "would delete 17", "3 entries to delete"
    const char* done;  // "deleted", printed before each identifier changed
    AdminResult (*apply)(unsigned long id);
    // True when the state allows the change.
    bool (*allowed)(EntryState state);
    // True when the entry is already as the change would leave it: nothing
    // to do, and said so (only hold, whose target state is its own).
    bool (*already)(EntryState state);
    const char* refusal;  // why a state is refused
};

bool Never(EntryState) { return false; }

const Action kDelete{"delete", "deleted", mqadmin::RemoveEntry,
                     [](EntryState s) { return s != EntryState::Writing; }, Never,
                     "is still being written by its sender"};
const Action kHold{"hold", "held", mqadmin::HoldEntry,
                   [](EntryState s) { return s == EntryState::Queued || s == EntryState::Held; },
                   [](EntryState s) { return s == EntryState::Held; },
                   "is neither queued nor held"};
// The store answers Done for a release of a queued entry and a requeue of a
// queued one, as if it had acted; the states are checked here first so that
// an operator is told nothing was to be done.
const Action kRelease{"release", "released", mqadmin::ReleaseEntry,
                      [](EntryState s) { return s == EntryState::Held; }, Never,
                      "is not held: nothing changed"};
const Action kRequeue{"requeue", "requeued", mqadmin::RequeueEntry,
                      [](EntryState s) { return s == EntryState::Failed; }, Never,
                      "has not failed: nothing changed"};

std::string Entries(size_t n) { return std::to_string(n) + (n == 1 ? " entry" : " entries"); }

// Collects the identifiers of the words ("-" reads more, separated by white
// space, from standard input). Returns kExitOk, or the exit code after
// printing the error.
int CollectIds(const std::string& command, const std::vector<std::string>& words,
               std::vector<unsigned long>* ids) {
    std::vector<std::string> tokens;
    for (const std::string& w : words) {
        if (w != "-") {
            tokens.push_back(w);
            continue;
        }
        std::string input;
        mq::Status read = ReadWhole("-", &input);
        if (!read.ok()) {
            PrintError(command, read);
            return kExitRefused;
        }
        std::istringstream in(input);
        for (std::string t; in >> t;) tokens.push_back(t);
    }
    for (const std::string& t : tokens) {
        unsigned long id = 0;
        if (!ParseId(t, &id)) return UsageError(command, "not an entry identifier: " + t);
        ids->push_back(id);
    }
    return kExitOk;
}

int Change(const std::string& command, const Args& args, const Action& action) {
    const auto& words = args.Positional();
    if (words.empty()) return UsageError(command, "needs at least one entry ID (or -)");
    bool all = false;
    for (const std::string& w : words) all = all || w == "ALL";
    if (all && (&action != &kDelete || words.size() != 2 || words[0] != "ALL")) {
        return UsageError(command, &action == &kDelete
                                       ? "ALL goes with one channel: mqctl delete ALL CHANNEL"
                                       : "takes entry IDs, not ALL");
    }
    std::vector<unsigned long> ids;
    if (!all) {
        if (int rc = CollectIds(command, words, &ids); rc != kExitOk) return rc;
        if (ids.empty()) {  // "-" read nothing: nothing to do, nothing opened
            if (!args.Has("dry-run")) std::printf("-- 0 entries %s\n", action.done);
            else std::printf("-- 0 entries to %s (dry run: nothing changed)\n", action.verb);
            return kExitOk;
        }
    }
    Installation inst;
    if (!RequireInstallation(command, &inst)) return kExitRefused;
    cMQ mq;
    if (!OpenStore(mq, command)) return kExitRefused;

    // What is already as asked is named, not changed.
    std::vector<unsigned long> already;
    size_t failed = 0;  // identifiers refused or failed, each named on stderr
    if (all) {
        std::vector<mqadmin::EntryInfo> entries;
        if (!mqadmin::ListEntries(words[1].c_str(), &entries)) {
            PrintError(command, "the queue store failed to list the entries (the log says why)");
            return kExitRefused;
        }
        if (entries.empty() && !IsRegistered(command, words[1])) return kExitRefused;
        for (const mqadmin::EntryInfo& e : entries) {
            if (action.allowed(e.state)) ids.push_back(e.id);
        }
    } else {
        std::vector<unsigned long> todo;
        for (unsigned long id : ids) {
            mqadmin::EntryInfo info;
            // Its state only: the file of a body kept in the database is
            // not written for a look (or a dry run) at a thousand entries.
            if (!mqadmin::LookUpEntry(id, &info)) {
                PrintError(command, "no entry has identifier " + std::to_string(id));
                ++failed;
            } else if (!action.allowed(info.state)) {
                PrintError(command, "entry " + std::to_string(id) + " " + action.refusal +
                                        " (it is " + mqadmin::StateName(info.state) + ")");
                ++failed;
            } else {
                (action.already(info.state) ? already : todo).push_back(id);
            }
        }
        ids = todo;
    }

    const bool quiet = args.Has("quiet");
    if (args.Has("dry-run")) {
        if (!quiet) {
            for (unsigned long id : already) std::printf("already %s %lu\n", action.done, id);
            for (unsigned long id : ids) std::printf("would %s %lu\n", action.verb, id);
        }
        std::printf("-- %s to %s (dry run: nothing changed)\n", Entries(ids.size()).c_str(),
                    action.verb);
        return failed > 0 ? kExitRefused : kExitOk;
    }
    size_t done = 0;
    if (!quiet) {
        for (unsigned long id : already) std::printf("already %s %lu\n", action.done, id);
    }
    for (unsigned long id : ids) {
        switch (action.apply(id)) {
        case AdminResult::Done:
            ++done;
            if (!quiet) std::printf("%s %lu\n", action.done, id);
            break;
        case AdminResult::NotFound:  // gone since the check: another operator or a reader
            PrintError(command, "no entry has identifier " + std::to_string(id));
            ++failed;
            break;
        case AdminResult::WrongState:
            PrintError(command, "entry " + std::to_string(id) + " " + action.refusal);
            ++failed;
            break;
        case AdminResult::Failed:
            PrintError(command, "the queue store failed on entry " + std::to_string(id) +
                                    " (the log says why)");
            ++failed;
            break;
        }
    }
    std::printf("-- %s %s\n", Entries(done).c_str(), action.done);
    return failed > 0 ? kExitRefused : kExitOk;
}

}  // namespace

int RunDelete(const std::string& command, const Args& args) { return Change(command, args, kDelete); }
int RunHold(const std::string& command, const Args& args) { return Change(command, args, kHold); }
int RunRelease(const std::string& command, const Args& args) {
    return Change(command, args, kRelease);
}
int RunRequeue(const std::string& command, const Args& args) {
    return Change(command, args, kRequeue);
}

}  // namespace mqctl
