// tool_operator_test.cpp - mqctl's safety rails and habits as an operator
// meets them: dry runs and totals, changes with nothing to do, channels that
// still hold entries, forged addresses in list's text, lines on a terminal,
// help and options in any place, and check without a directory server.
#include <pwd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>
#include <mqapi.h>

#include "child.h"
#include "tool_harness.h"

namespace mqtest {
namespace {

std::string PutId(const Installation& inst, const std::string& channel) {
    RunResult r = Ok(inst, {"put", channel, "--from", "a@b.org", "--to", "c@d.org"}, "body");
    return r.out.substr(0, r.out.find_first_of(" \n"));
}

// Runs body in a child process that uses the toolkit as a mail system's own
// application would, past mqctl's checks, its store initialised as app, so
// that this process's store stays uninitialised. The child ends with
// _exit, closing nothing: a read handle it left open is a dead reader's.
// Returns body's result; -1 when the child could not run or start.
int InToolkitChild(const Installation& inst, const char* app,
                   const std::function<int(cMQ&)>& body) {
    int status = Wait(Spawn([&]() -> int {
        setenv("MQ_CONFIG_DIR", inst.dir().c_str(), 1);
        setenv("MQ_LOG", (inst.dir() + "/mq.log").c_str(), 1);
        cMQ mq;  // never destroyed: _exit leaves as if the child were killed
        if (mq.OpenMQChannel(app, "daduv.ini") != MQ_SUCCESS) _exit(100);
        _exit(body(mq));
    }));
    return std::max(status, -1);
}

// PutMsg of a message from one sender to recipients into channel, in mq.
// Returns its result code, or 200 when an address is refused on the way.
int PutMessage(cMQ& mq, const std::string& channel, const std::string& from,
               const std::vector<std::string>& to) {
    cUserInfo sender;
    std::vector<cUserInfo> users(to.size());
    cEnvHeader fromHeader, toHeader;
    if (sender.setLan_addr(from.c_str()) != MQ_SUCCESS) return 200;
    fromHeader.add(&sender);
    for (size_t i = 0; i < to.size(); ++i) {
        if (users[i].setLan_addr(to[i].c_str()) != MQ_SUCCESS) return 200;
        toHeader.add(&users[i]);
    }
    cMessage msg;
    msg.setFrom(&fromHeader);
    msg.setTo(&toHeader);
    return mq.PutMsg(&msg, channel.c_str());
}

// Puts a message through the toolkit, body and all, in a child process.
// Returns false when the put failed.
bool PutThroughToolkit(const Installation& inst, const std::string& channel,
                       const std::string& from, const std::vector<std::string>& to) {
    return InToolkitChild(inst, "forger", [&](cMQ& mq) {
               if (PutMessage(mq, channel, from, to) != MQ_SUCCESS) return 4;
               return WriteFileText(mq.GetMsgDest(".msg"), "forged\n") ? 0 : 5;
           }) == 0;
}

// The identifiers the README's pipeline takes from list's text: the first
// field of each line, where it is a number above 0 (awk '$1+0 > 0').
std::set<std::string> FirstNumbers(const std::string& text) {
    std::set<std::string> ids;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        std::istringstream words(line);
        std::string first;
        words >> first;
        if (std::atol(first.c_str()) > 0) ids.insert(first);
    }
    return ids;
}

class ToolOperator : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(inst_.error(), "");
        Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    }
    Installation inst_;
};

TEST_F(ToolOperator, DryRunsTotalsAndNothingToDo) {
    std::string a = PutId(inst_, "RELAY"), b = PutId(inst_, "RELAY"), c = PutId(inst_, "RELAY");
    std::string before = inst_.Snapshot();
    struct Case {
        std::vector<std::string> args;
        std::string input;
        std::string want;
    } cases[] = {
        {{"delete", "--dry-run", a, "-"}, b + "\n",
         "would delete " + a + "\nwould delete " + b +
             "\n-- 2 entries to delete (dry run: nothing changed)\n"},
        {{"delete", "ALL", "RELAY", "--dry-run", "-q"}, "",
         "-- 3 entries to delete (dry run: nothing changed)\n"},
        {{"hold", "--dry-run", c}, "", "would hold " + c + "\n-- 1 entry to hold (dry run: "
                                                            "nothing changed)\n"},
    };
    for (const Case& tc : cases) {
        EXPECT_EQ(Ok(inst_, tc.args, tc.input).out, tc.want) << tc.args[0] << " " << tc.args[1];
        EXPECT_EQ(inst_.Snapshot(), before) << "a dry run changed something";
    }

    EXPECT_EQ(Ok(inst_, {"hold", "-q", a, b}).out, "-- 2 entries held\n");
    EXPECT_EQ(Ok(inst_, {"hold", a, c}).out, "already held " + a + "\nheld " + c +
                                                 "\n-- 1 entry held\n");
    EXPECT_EQ(Ok(inst_, {"release", a, b, c}).out,
              "released " + a + "\nreleased " + b + "\nreleased " + c + "\n-- 3 entries released\n");

    // A queued entry is neither held nor failed: the store would answer
    // "done" for either; mqctl says nothing was to be done.
    before = inst_.Snapshot();
    RunResult r = inst_.Run({"requeue", b, a});
    EXPECT_EQ(r.status, 1) << r.err;
    for (const std::string& id : {a, b}) {
        EXPECT_NE(r.err.find("entry " + id + " has not failed: nothing changed (it is queued)"),
                  std::string::npos)
            << r.err;
    }
    EXPECT_EQ(r.out, "-- 0 entries requeued\n");
    EXPECT_EQ(inst_.Snapshot(), before);
}

// Bulk changes act on each identifier by itself: the ones that can't be
// changed (gone, or in another state) are named on standard error with the
// reason and the exit code is 1; the others are changed. Input with no
// identifier is nothing to do. The cases run in order on one queue.
TEST_F(ToolOperator, BulkChangesActOnEachIdentifier) {
    const std::string a = PutId(inst_, "RELAY"), b = PutId(inst_, "RELAY"),
                      c = PutId(inst_, "RELAY"), d = PutId(inst_, "RELAY");
    const std::string gone = "4000000000";
    Ok(inst_, {"hold", c});
    struct Case {
        const char* name;
        std::vector<std::string> args;
        std::string input;
        int wantStatus;
        std::string wantOut;
        std::vector<std::string> wantErrLines;  // each a part of one line, in order
    } cases[] = {
        {"hold, one identifier gone", {"hold", "-"}, a + "\n" + gone + "\n" + b + "\n", 1,
         "held " + a + "\nheld " + b + "\n-- 2 entries held\n",
         {"no entry has identifier " + gone}},
        {"release, one not held", {"release", a, d, b}, "", 1,
         "released " + a + "\nreleased " + b + "\n-- 2 entries released\n",
         {"entry " + d + " is not held: nothing changed (it is queued)"}},
        {"dry run names the refused one too", {"delete", "--dry-run", "-"}, gone + " " + d, 1,
         "would delete " + d + "\n-- 1 entry to delete (dry run: nothing changed)\n",
         {"no entry has identifier " + gone}},
        {"delete, ids given and on stdin", {"delete", gone, "-"}, a + "\n" + c + "\n" + gone, 1,
         "deleted " + a + "\ndeleted " + c + "\n-- 2 entries deleted\n",
         {"no entry has identifier " + gone, "no entry has identifier " + gone}},
        {"empty input", {"delete", "-"}, "", 0, "-- 0 entries deleted\n", {}},
        {"only white space", {"requeue", "-q", "-"}, " \n\t\n", 0, "-- 0 entries requeued\n", {}},
        {"hold it again", {"hold", b}, "", 0, "held " + b + "\n-- 1 entry held\n", {}},
        {"requeue of a held one", {"requeue", b}, "", 1, "-- 0 entries requeued\n",
         {"entry " + b + " has not failed: nothing changed (it is held)"}},
    };
    for (const Case& tc : cases) {
        std::string before = inst_.Snapshot();
        RunResult r = inst_.Run(tc.args, tc.input);
        EXPECT_EQ(r.status, tc.wantStatus) << tc.name << ": stderr " << r.err;
        EXPECT_EQ(r.out, tc.wantOut) << tc.name;
        std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), tc.wantErrLines.size()) << tc.name << ": got stderr\n" << r.err;
        for (size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NE(lines[i].find(tc.wantErrLines[i]), std::string::npos)
                << tc.name << ": got " << lines[i] << ", want it to hold " << tc.wantErrLines[i];
        }
        if (tc.wantOut.find("dry run") != std::string::npos || tc.wantOut.rfind("-- 0 ", 0) == 0) {
            EXPECT_EQ(inst_.Snapshot(), before) << tc.name << ": something changed";
        }
    }
    // What is left: b held, d queued.
    std::string left = Ok(inst_, {"list", "--ids"}).out;
    EXPECT_EQ(left, b + "\n" + d + "\n");
}

// A look with get puts the entry off (it is no attempt); list and show say
// when it comes again, and flush makes it due at once.
TEST_F(ToolOperator, GetSaysTheEntryWasHandedBack) {
    Installation limited("MaxAttempts=2\nMinimalBackoff=4m");
    ASSERT_EQ(limited.error(), "");
    Ok(limited, {"channel", "add", "RELAY", "relay", "out"});
    std::string id = PutId(limited, "RELAY");
    std::string first = Ok(limited, {"get", "RELAY"}).out;
    EXPECT_NE(first.find("\nhanded back: deferred, next in 4m"), std::string::npos) << first;
    EXPECT_EQ(limited.Run({"get", "RELAY"}).status, 1) << "offered before it was due";
    std::string list = Ok(limited, {"list"}).out;
    EXPECT_NE(list.find(" deferred,4m "), std::string::npos) << list;
    std::string show = Ok(limited, {"show", id}).out;
    EXPECT_NE(show.find("(deferred, next in 4m)"), std::string::npos) << show;
    EXPECT_EQ(Ok(limited, {"flush", id}).out, "flushed " + id + "\n-- 1 entry made due\n");
    std::string second = Ok(limited, {"get", "RELAY"}).out;
    EXPECT_NE(second.find("\nhanded back: deferred, next in 8m"), std::string::npos) << second;
    EXPECT_TRUE(Ok(limited, {"list", "--failed", "--ids"}).out.empty()) << "deferrals count";
}

// One trail line as an operator greps it: the event, then its key=value
// fields (the level, the order of the fields and fields not asked for are
// left to the logger).
struct TrailEvent {
    std::string event;
    std::map<std::string, std::string> fields;
};

TrailEvent ParseEvent(const std::string& text) {
    TrailEvent e;
    std::istringstream in(text);
    in >> e.event;
    for (std::string word; in >> word;) {
        size_t eq = word.find('=');
        if (eq != std::string::npos) e.fields[word.substr(0, eq)] = word.substr(eq + 1);
    }
    return e;
}

// The trail lines about entry id that the log gained since *offset (the
// text after "entry ID: "); *offset moves past them.
std::vector<TrailEvent> TrailOf(const Installation& inst, int64_t id, size_t* offset) {
    std::string log = ReadFileText(inst.dir() + "/mq.log");
    std::istringstream in(log.substr(std::min(*offset, log.size())));
    *offset = log.size();
    const std::string key = "entry " + std::to_string(id) + ": ";
    std::vector<TrailEvent> events;
    for (std::string line; std::getline(in, line);) {
        size_t at = line.find(key);
        if (at != std::string::npos) events.push_back(ParseEvent(line.substr(at + key.size())));
    }
    return events;
}

// Empty when got holds the wanted events ("EVENT key=value ...") in order,
// each with the wanted fields' values; else what differs.
std::string TrailDiffers(const std::vector<TrailEvent>& got, const std::vector<std::string>& want) {
    std::ostringstream out;
    for (size_t i = 0; i < std::max(got.size(), want.size()); ++i) {
        if (i >= got.size()) {
            out << "missing: " << want[i] << "\n";
            continue;
        }
        if (i >= want.size()) {
            out << "unexpected event " << got[i].event << "\n";
            continue;
        }
        TrailEvent w = ParseEvent(want[i]);
        if (got[i].event != w.event)
            out << "got event " << got[i].event << ", want " << w.event << "\n";
        for (const auto& [k, v] : w.fields) {
            auto f = got[i].fields.find(k);
            if (f == got[i].fields.end()) {
                out << w.event << ": no " << k << "\n";
            } else if (f->second != v) {
                out << w.event << ": got " << k << "=" << f->second << ", want " << v << "\n";
            }
        }
    }
    return out.str();
}

// Every step of entries' lives leaves one trail line per event, keyed by
// the entry's identifier, and list and show then tell why each entry is
// where it is: handed out and given back, held, released, set aside as
// failed, requeued, its reader or its writer dead, removed by a reader or
// an operator. Values are escaped: a reader named with a C1 control (NEL)
// and a byte that is no UTF-8 shows both as \xHH, other UTF-8 as it is.
TEST(ToolTrail, EachEventOfAnEntryIsLoggedAndShown) {
    Installation inst("MaxAttempts=2");
    ASSERT_EQ(inst.error(), "");
    Ok(inst, {"channel", "add", "RELAY", "relay", "out"});
    const struct passwd* pw = getpwuid(getuid());
    const std::string user = pw != nullptr ? pw->pw_name : "uid " + std::to_string(getuid());
    // A, B, C: C's writer dies before its body comes; D is taken by a
    // reader whose name holds a NEL, a stray byte and a letter of UTF-8.
    int64_t ids[4] = {0, 0, 0, 0};
    auto putA = [&] {
        RunResult r = Ok(inst, {"put", "RELAY", "--from", "al=ice@example.org", "--to",
                                "bob@example.org", "--to", "carol@example.org"}, "a");
        ids[0] = std::atoll(r.out.c_str());
        return r.status == 0;
    };
    auto putB = [&] {
        RunResult r = Ok(inst, {"put", "RELAY", "--from", "<>", "--to", "dave@example.org"}, "b");
        ids[1] = std::atoll(r.out.c_str());
        return r.status == 0;
    };
    auto putD = [&] {
        RunResult r = Ok(inst, {"put", "RELAY", "--from", "gina@example.org", "--to",
                                "hal@example.org"}, "d");
        ids[3] = std::atoll(r.out.c_str());
        return r.status == 0;
    };
    auto oddReaderTakesD = [&] {
        return InToolkitChild(inst, "n\xc2\x85l\xff\xc3\xa9", [](cMQ& mq) {
                   return mq.GetMsg("RELAY") != nullptr && mq.DelMsg() == MQ_SUCCESS ? 0 : 1;
               }) == 0;
    };
    auto mqctl = [&](std::vector<std::string> args) {
        return [&inst, args, &ids] {
            std::vector<std::string> a = args;
            for (std::string& w : a) {
                if (w == "A") w = std::to_string(ids[0]);
            }
            return inst.Run(a).status == 0;
        };
    };
    auto readerDies = [&] {
        return InToolkitChild(inst, "dier", [](cMQ& mq) {
                   return mq.GetMsg("RELAY") != nullptr ? 0 : 1;
               }) == 0;
    };
    auto writerDies = [&] {
        const std::string idFile = inst.dir() + "/writer.path";
        int rc = InToolkitChild(inst, "writer", [&idFile](cMQ& mq) {
            if (PutMessage(mq, "RELAY", "erin@example.org", {"frank@example.org"}) != MQ_SUCCESS) {
                return 1;
            }
            return WriteFileText(idFile, mq.GetMsgDest(".msg")) ? 0 : 2;
        });
        std::string path = ReadFileText(idFile);
        ids[2] = std::atoll(path.substr(path.rfind('/') + 1).c_str());
        return rc == 0 && ids[2] != 0;
    };
    struct Step {
        const char* name;
        std::function<bool()> act;
        int entry;                       // 0 A, 1 B, 2 C, 3 D
        std::vector<std::string> events;  // what the trail says of it: "EVENT key=value ..."
        const char* reason;              // show's reason after it; null: not looked at
        const char* state;
        int attempts;
    } steps[] = {
        {"put A",
         putA,
         0,
         {"created channel=RELAY from=<al\\x3dice@example.org> rcpts=2"},
         "",
         "queued",
         0},
        {"put B", putB, 1, {"created channel=RELAY from=<> rcpts=1"}, "", "queued", 0},
        {"get gives A back", mqctl({"get", "RELAY"}), 0,
         {"handed-out app=mqctl",
          "given-back reason=closed app=mqctl attempts=0 deferrals=1"},
         "returned", "queued", 0},
        {"hold A", mqctl({"hold", "A"}), 0, {"held user=" + user}, "held", "held", 0},
        {"get --delete takes B", mqctl({"get", "RELAY", "--delete"}), 1,
         {"handed-out app=mqctl",
          "removed by=reader app=mqctl"},
         nullptr, nullptr, 0},
        {"release A", mqctl({"release", "A"}), 0, {"released user=" + user}, "released",
         "queued", 0},
        {"A's first reader dies", readerDies, 0, {"handed-out app=dier"},
         nullptr, nullptr, 0},
        {"the next command offers A again at once", mqctl({"summary"}), 0,
         {"reclaimed reason=reader-died app=dier attempts=1 deferrals=1"},
         "reader-died", "queued", 1},
        {"A's second reader dies", readerDies, 0, {"handed-out app=dier"},
         nullptr, nullptr, 0},
        {"the next command sets A aside", mqctl({"summary"}), 0,
         {"failed reason=reader-died attempts=2 deferrals=1 app=dier"}, "failed",
         "failed", 2},
        {"requeue A", mqctl({"requeue", "A"}), 0, {"requeued user=" + user}, "requeued",
         "queued", 0},
        {"A's reader dies", readerDies, 0, {"handed-out app=dier"}, nullptr,
         nullptr, 0},
        {"the next command reclaims A", mqctl({"summary"}), 0,
         {"reclaimed reason=reader-died app=dier attempts=1 deferrals=0"},
         "reader-died", "queued", 1},
        {"C's writer dies before the body",
         writerDies,
         2,
         {"created channel=RELAY from=<erin@example.org> size=-"},
         nullptr,
         nullptr,
         0},
        {"the next command removes C",
         mqctl({"summary"}),
         2,
         {"reclaimed reason=writer-died"},
         nullptr,
         nullptr,
         0},
        {"delete A",
         mqctl({"delete", "A"}),
         0,
         {"removed by=operator user=" + user},
         nullptr,
         nullptr,
         0},
        {"put D", putD, 3, {"created channel=RELAY from=<gina@example.org>"}, "", "queued", 0},
        {"a reader named with a NEL and a stray byte takes D",
         oddReaderTakesD,
         3,
         {"handed-out app=n\\xc2\\x85l\\xff\xc3\xa9",
          "removed by=reader app=n\\xc2\\x85l\\xff\xc3\xa9"},
         nullptr,
         nullptr,
         0},
    };
    size_t offsets[4] = {0, 0, 0, 0};
    for (const Step& st : steps) {
        ASSERT_TRUE(st.act()) << st.name;
        ASSERT_NE(ids[st.entry], 0) << st.name;
        for (int e = 0; e < 4; ++e) {
            std::vector<std::string> want = e == st.entry ? st.events : std::vector<std::string>{};
            EXPECT_EQ(TrailDiffers(TrailOf(inst, ids[e], &offsets[e]), want), "")
                << st.name << ": the trail of entry "
                << "ABCD"[e];
        }
        if (st.reason == nullptr) continue;
        std::vector<Json> shown;
        ASSERT_TRUE(Ok(inst, {"show", std::to_string(ids[st.entry]), "--json"}).Json(&shown));
        ASSERT_EQ(shown.size(), 1u) << st.name;
        EXPECT_EQ(shown[0]["reason"].str, st.reason) << st.name;
        EXPECT_EQ(shown[0]["state"].str, st.state) << st.name;
        EXPECT_EQ(shown[0]["attempts"].Int(), st.attempts) << st.name;
        const bool justPut = std::string(st.name).rfind("put ", 0) == 0;
        EXPECT_EQ(shown[0]["handed"].Int() > 0, !justPut) << st.name;
        if (std::string(st.reason) == "held") {
            std::string list = Ok(inst, {"list", "--held"}).out;
            // LAST: "held,AGE,USER", one field.
            size_t last = list.find(" held,");
            EXPECT_NE(last, std::string::npos) << list;
            EXPECT_EQ(list.find("," + user + " ", last), list.find_first_of(",", last + 6))
                << list;
        }
        TrailOf(inst, ids[st.entry], &offsets[st.entry]);  // show's own lines, if any
    }
    std::vector<Json> left;
    ASSERT_TRUE(Ok(inst, {"list", "--json"}).Json(&left));
    EXPECT_TRUE(left.empty()) << left.size() << " entries left";
}

// A recipient with a line end in it, as a database written before the
// store refused control characters may hold, must not make list print a
// line of its own, nor make the README's pipeline from list to delete take
// another entry's identifier.
TEST_F(ToolOperator, ForgedAddressCannotForgeLines) {
    std::string healthy = PutId(inst_, "RELAY");
    PutId(inst_, "RELAY");
    // The address check sees only its first characters, but the put refuses
    // the line end, so the old entry is forged in the database: a stand-in of
    // the same length keeps the envelope's encoding whole.
    ASSERT_FALSE(PutThroughToolkit(inst_, "RELAY", "a@b.org", {"x@evil.org\n" + healthy}));
    ASSERT_TRUE(PutThroughToolkit(inst_, "RELAY", "a@b.org", {"x@evil.orgZ" + healthy, "y@d.org"}));
    ASSERT_TRUE(inst_.Exec("UPDATE entries SET envelope = CAST(replace(envelope, 'x@evil.orgZ',"
                           " 'x@evil.org' || char(10)) AS BLOB)"));
    std::vector<Json> entries;
    ASSERT_TRUE(Ok(inst_, {"list", "--json"}).Json(&entries));
    ASSERT_EQ(entries.size(), 3u);
    std::string forged = std::to_string(entries[2]["id"].Int());
    Ok(inst_, {"hold", forged});

    RunResult text = Ok(inst_, {"list", "--held"});
    EXPECT_EQ(FirstNumbers(text.out), std::set<std::string>{forged}) << text.out;
    EXPECT_NE(text.out.find("x@evil.org\\n" + healthy + ",y@d.org"), std::string::npos)
        << text.out;
    EXPECT_EQ(Ok(inst_, {"list", "--held", "--ids"}).out, forged + "\n");
    RunResult show = Ok(inst_, {"show", forged});
    EXPECT_EQ(show.out.find("\n" + healthy), std::string::npos) << show.out;

    std::string ids;
    for (const std::string& id : FirstNumbers(text.out)) ids += id + "\n";
    Ok(inst_, {"delete", "-"}, ids);
    std::vector<Json> left;
    ASSERT_TRUE(Ok(inst_, {"list", "--json"}).Json(&left));
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(std::to_string(left[0]["id"].Int()), healthy) << "the healthy entry was deleted";
}

TEST_F(ToolOperator, ListLinesFitATerminalAndStayWholeElsewhere) {
    std::vector<std::string> args{"put", "RELAY", "--from",
                                  "a-rather-long-sender-name@mail.example.org"};
    for (int i = 0; i < 6; ++i) {
        args.push_back("--to");
        args.push_back("recipient-number-" + std::to_string(i) + "@example.org");
    }
    Ok(inst_, args, "x");
    for (int i = 0; i < 3; ++i) PutId(inst_, "RELAY");
    Ok(inst_, {"list", "--limit", "1"});  // the store exists before the terminal run

    struct Case {
        std::vector<std::string> args;
        bool terminal;     // on an 80-column terminal
        const char* env;   // COLUMNS, or null for none
        size_t width;      // the lines' width when cut
        bool cut;          // lines fit width columns, lists shortened
    } cases[] = {
        {{"list"}, true, nullptr, 80, true},
        {{"list", "--wide"}, true, nullptr, 80, false},
        {{"list"}, false, nullptr, 80, false},
        {{"list"}, true, "60", 60, true},     // COLUMNS over the terminal's own
        {{"list"}, true, "400", 400, false},  // room for every recipient
        {{"list"}, true, "wide", 80, true},   // no number: the terminal's own
    };
    for (const Case& tc : cases) {
        if (tc.env != nullptr) {
            setenv("COLUMNS", tc.env, 1);
        } else {
            unsetenv("COLUMNS");
        }
        RunResult r = tc.terminal ? inst_.RunOnTerminal(tc.args, 80) : inst_.Run(tc.args);
        unsetenv("COLUMNS");
        std::string name = std::string(tc.terminal ? "terminal " : "pipe ") + tc.args.back() +
                           (tc.env != nullptr ? std::string(" COLUMNS=") + tc.env : "");
        ASSERT_EQ(r.status, 0) << name << ": " << r.err;
        size_t widest = 0;
        std::istringstream in(r.out);
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            widest = std::max(widest, line.size());
        }
        if (tc.cut) {
            EXPECT_LE(widest, tc.width) << name << "\n" << r.out;
        } else if (!tc.terminal) {
            EXPECT_GT(widest, 80u) << name << "\n" << r.out;
        }
        EXPECT_EQ(r.out.find("recipient-number-5") == std::string::npos, tc.cut) << name;
        EXPECT_EQ(r.out.find(",+5") != std::string::npos, tc.cut) << name << "\n" << r.out;
    }
    // Two identifiers, one a line (each writer process reserves its own
    // block of them, so they need not follow each other).
    std::string ids = Ok(inst_, {"list", "--limit", "2", "--ids"}).out;
    EXPECT_EQ(std::count(ids.begin(), ids.end(), '\n'), 2) << ids;
    EXPECT_EQ(ids.find_first_not_of("0123456789\n"), std::string::npos) << ids;
}

// check only reads, quick or full: the bodies the puts kept in the
// database get no file from it, and no entry changes.
TEST_F(ToolOperator, CheckChangesNothing) {
    PutId(inst_, "RELAY");
    PutId(inst_, "RELAY");
    const std::string before = inst_.Snapshot();
    ASSERT_NE(before.find("files:\nmodules:"), std::string::npos) << "the puts wrote files";
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"check"}, std::vector<std::string>{"check", "--quick"}}) {
        RunResult r = inst_.Run(args);
        EXPECT_EQ(r.status, 0) << args.back() << ":\n" << r.out << r.err;
        EXPECT_EQ(inst_.Snapshot(), before) << args.back() << " changed something";
    }
}

TEST_F(ToolOperator, ChannelWithEntriesIsKeptUnlessForcedAndCheckSaysWhatIsStranded) {
    std::string id = PutId(inst_, "RELAY");
    RunResult kept = inst_.Run({"channel", "del", "RELAY"});
    EXPECT_EQ(kept.status, 1);
    EXPECT_NE(kept.err.find("mqctl delete ALL RELAY"), std::string::npos) << kept.err;
    EXPECT_NE(kept.err.find("--force"), std::string::npos) << kept.err;

    Ok(inst_, {"channel", "del", "--force", "RELAY"});
    EXPECT_TRUE(inst_.Modules().empty());
    RunResult check = inst_.Run({"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("PROBLEM  stranded      entries of channels not registered: RELAY "
                             "(1 entry)"),
              std::string::npos)
        << check.out;

    // A record written by hand lists an application the host's entry lacks.
    WriteFileText(inst_.dir() + "/queue.cfg", "RELAY\t\trelay\t\tout\r\n");
    check = inst_.Run({"check"});
    EXPECT_EQ(check.status, 1);
    EXPECT_NE(check.out.find("PROBLEM  modules       applications missing from the modules of " +
                             inst_.host() + ": RELAY (relay)"),
              std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.find("PROBLEM  stranded"), std::string::npos) << check.out;
    Ok(inst_, {"delete", id});
}

TEST(ToolNoDirectory, CheckPassesWithChannelsKeptByHand) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    WriteFileText(inst.dir() + "/daduv.ini", "[Config]\nInstallDirectory=" + inst.dir() + "\n");
    WriteFileText(inst.dir() + "/queue.cfg", "RELAY\t\trelay\t\tout\r\n");
    PutId(inst, "RELAY");
    RunResult check = Ok(inst, {"check"});
    EXPECT_NE(check.out.find("ok       directory     not configured"), std::string::npos)
        << check.out;
    EXPECT_EQ(check.out.find("host entry"), std::string::npos) << check.out;
}

TEST_F(ToolOperator, HelpAndOptionsInAnyPlace) {
    std::string help = Ok(inst_, {"list", "--help"}).out;
    EXPECT_EQ(help.rfind("usage: mqctl list", 0), 0u) << help;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"help", "list"}, {"list", "-h"}, {"-h", "list"}}) {
        EXPECT_EQ(Ok(inst_, args).out, args[0] == "-h" ? Ok(inst_, {"--help"}).out : help)
            << args[0] << " " << args[1];
    }
    EXPECT_EQ(Ok(inst_, {"help", "channel", "del"}).out.rfind("usage: mqctl channel del", 0), 0u);
    EXPECT_NE(Ok(inst_, {"help"}).out.find("Commands:"), std::string::npos);

    PutId(inst_, "RELAY");
    std::string after = Ok(inst_, {"list", "--json"}).out;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--json", "list"},
          {"--config", inst_.dir(), "--json", "list"},
          {"--json", "list", "--config=" + inst_.dir()}}) {
        EXPECT_EQ(Ok(inst_, args).out.substr(0, 20), after.substr(0, 20)) << args[1];
    }
}

}  // namespace
}  // namespace mqtest
