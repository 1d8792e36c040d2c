// tool_mta_test.cpp - mqctl as a mail system drives it: the exit codes a
// pipe transport acts on, each failure's one line naming its cause, deliver
// handing messages to a command and removing them only after it took them,
// and JSON that gives the exact stored bytes back to an independent parser
// (python3's json module).
#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "child.h"
#include "tool_harness.h"

namespace mqtest {
namespace {

std::string IdOf(const RunResult& put) { return put.out.substr(0, put.out.find_first_of(" \n")); }

// A process of its own that holds one of the store's locks until it is
// killed: the writers' lock (byte 0 of queue.lck, a lock of the kind the
// store takes) or SQLite's write lock on queue.db (an operator's shell in a
// transaction). Returns its pid once the lock is held, -1 when it could not
// take it.
pid_t HoldLock(const std::string& dir, bool sqlite) {
    int ready[2];
    if (pipe(ready) != 0) return -1;
    pid_t pid = Spawn([&]() -> int {
        close(ready[0]);
        bool held = false;
        if (sqlite) {
            sqlite3* db = nullptr;
            held = sqlite3_open((dir + "/spool/queue.db").c_str(), &db) == SQLITE_OK &&
                   sqlite3_exec(db, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr) == SQLITE_OK;
        } else {
            int fd = open((dir + "/spool/queue.lck").c_str(), O_RDWR | O_CLOEXEC);
            struct flock lock {};
            lock.l_type = F_WRLCK;
            lock.l_whence = SEEK_SET;
            lock.l_len = 1;
            held = fd >= 0 && fcntl(fd, F_OFD_SETLK, &lock) == 0;
        }
        char c = held ? 'y' : 'n';
        if (write(ready[1], &c, 1) != 1 || !held) return 1;
        for (;;) pause();
    });
    close(ready[1]);
    char c = 'n';
    bool held = pid > 0 && read(ready[0], &c, 1) == 1 && c == 'y';
    close(ready[0]);
    if (pid > 0 && !held) {
        kill(pid, SIGKILL);
        Wait(pid);
        return -1;
    }
    return pid;
}

pid_t g_holder = -1;  // the lock holder of the case under way

void Release(const std::string&) {
    if (g_holder > 0) {
        kill(g_holder, SIGKILL);
        Wait(g_holder);
    }
    g_holder = -1;
}

// Makes queue.db unwritable: its mode for an ordinary user; for root, who
// writes whatever the mode, the immutable attribute. False when neither can
// be done here (a file system or container without the attribute).
bool MakeDatabaseReadOnly(const std::string& dir, bool readOnly) {
    std::string db = dir + "/spool/queue.db";
    if (geteuid() != 0) return chmod(db.c_str(), readOnly ? 0444 : 0644) == 0;
    std::string cmd =
        std::string("chattr ") + (readOnly ? "+i" : "-i") + " '" + db + "' 2>/dev/null";
    return std::system(cmd.c_str()) == 0;
}

// Store and set-up faults: the put exits 75, so that a mail system defers
// and tries again, and its one error line names the cause the layer below
// logged (here the log goes to a file: the user never has to look there).
// Where the fault passes (a lock let go, the file writable again), the next
// put succeeds: deferred, then delivered.
TEST(ToolExitCodes, FaultsOfTheSetUpAndTheStoreDeferWithTheirCause) {
    struct Case {
        const char* name;
        bool (*spoil)(const std::string& dir);  // false: can't be made here
        int want;
        std::vector<const char*> wantInError;
        void (*mend)(const std::string& dir);  // null: nothing to retry
    } cases[] = {
        {"channel not in queue.cfg",
         [](const std::string&) { return true; },
         75,
         {"channel NOPE is not in queue.cfg", "MQ_ERR_NO_CHANNEL"},
         nullptr},
        {"daduv.ini is a directory",
         [](const std::string& d) {
             std::remove((d + "/daduv.ini").c_str());
             return mkdir((d + "/daduv.ini").c_str(), 0700) == 0;
         },
         75,
         {"daduv.ini is not a regular file"},
         nullptr},
        {"database damaged",
         [](const std::string& d) {
             WriteFileText(d + "/spool/queue.db", std::string(8192, 'x'));
             std::remove((d + "/spool/queue.db-wal").c_str());
             std::remove((d + "/spool/queue.db-shm").c_str());
             return true;
         },
         75,
         {"the queue store can't be opened", "queue.db", "not a database"},
         nullptr},
        {"spool's message tree not a directory",
         [](const std::string& d) {
             if (std::system(("rm -rf '" + d + "/spool/msg'").c_str()) != 0) return false;
             return WriteFileText(d + "/spool/msg", "");
         },
         75,
         {"the queue store can't be opened", "/spool/msg"},
         nullptr},
        {"writers' lock held longer than the store's wait",
         [](const std::string& d) { return (g_holder = HoldLock(d, false)) > 0; },
         75,
         {"queue.lck", "the store is busy", "more than 10 seconds"},
         Release},
        {"database locked by another program longer than the store's wait",
         [](const std::string& d) { return (g_holder = HoldLock(d, true)) > 0; },
         75,
         {"queue.db", "database is locked"},
         Release},
        {"database file read-only",
         [](const std::string& d) { return MakeDatabaseReadOnly(d, true); },
         75,
         {"queue.db", "readonly database"},
         [](const std::string& d) { MakeDatabaseReadOnly(d, false); }},
    };
    for (const Case& tc : cases) {
        Installation inst;
        ASSERT_EQ(inst.error(), "");
        ASSERT_EQ(Ok(inst, {"channel", "add", "RELAY", "relay", "out"}).status, 0);
        ASSERT_EQ(Ok(inst, {"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org"}, "1").status,
                  0);
        if (!tc.spoil(inst.dir())) {
            std::printf("note: %s: can't be made here; case left out\n", tc.name);
            continue;
        }
        std::string channel = std::string(tc.name).find("channel") == 0 ? "NOPE" : "RELAY";
        RunResult r = inst.Run({"put", channel, "--from", "a@b.org", "--to", "c@d.org"}, "body");
        if (tc.mend != nullptr) tc.mend(inst.dir());
        EXPECT_EQ(r.status, tc.want) << tc.name << ": " << r.err;
        std::vector<std::string> lines = r.ErrLines();
        ASSERT_EQ(lines.size(), 1u) << tc.name << ": got stderr\n" << r.err;
        for (const char* part : tc.wantInError) {
            EXPECT_NE(lines[0].find(part), std::string::npos)
                << tc.name << ": got " << lines[0] << ", want it to hold " << part;
        }
        EXPECT_EQ(lines[0].find("the log says"), std::string::npos) << lines[0];
        if (tc.mend == nullptr) continue;
        // Mended: the same put goes through, and the failed one left nothing.
        RunResult again =
            inst.Run({"put", channel, "--from", "a@b.org", "--to", "c@d.org"}, "body");
        EXPECT_EQ(again.status, 0) << tc.name << ", mended: " << again.err;
        EXPECT_EQ(Ok(inst, {"list", "--count"}).out, "2\n") << tc.name << ", mended";
    }
}

class ToolDeliver : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(inst_.error(), "");
        // The command the tests deliver to: records its arguments and body,
        // then exits as the body's first word says.
        script_ = ReadyToDeliver(
            inst_, "printf '%s|%s\\n' \"$*\" \"$body\" >> " + inst_.dir() + "/handed\n"
                   "case \"$body\" in\n"
                   "  defer*) echo 'connection refused' >&2; exit 75;;\n"
                   "  bad*) echo '550 5.1.1 no such user'; echo '550 no such user' >&2;"
                   " echo second line >&2; exit 67;;\n"
                   "  wait*) echo $$ $PPID > " + inst_.dir() + "/waiting; exec sleep 60;;\n"
                   "esac\n");
        ASSERT_NE(script_, "");
    }
    std::string Put(const std::string& body, const std::string& from = "a@b.org") {
        RunResult r = Ok(inst_, {"put", "OUT", "--from", from, "--to", "x@y.org", "--to", "z@y.org"},
                         body);
        return IdOf(r);
    }
    std::string Handed() const { return ReadFileText(inst_.dir() + "/handed"); }

    Installation inst_;
    std::string script_;
};

// Exit 0 removes the entry, 75 gives it back for a later run, anything else
// sets it aside as failed with the status and the command's first error
// line; the placeholders are filled from the envelope.
TEST_F(ToolDeliver, TheCommandsExitDecides) {
    std::string ok = Put("ok"), deferred = Put("defer"), bad = Put("bad"), null = Put("ok", "<>");
    RunResult r = inst_.Run({"deliver", "OUT", "--", script_, "-f", "{sender}", "--",
                             "{recipients}", "id={id}/{channel}"});
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.out, ok + " delivered\n" + null + " delivered\n");
    std::vector<std::string> lines = r.ErrLines();
    ASSERT_EQ(lines.size(), 2u) << r.err;
    EXPECT_EQ(lines[0].rfind("mqctl: deliver: entry " + deferred +
                                 " deferred: exit 75: connection refused (next in ",
                             0),
              0u)
        << lines[0];
    EXPECT_EQ(lines[1], "mqctl: deliver: entry " + bad +
                            " set aside as failed: deliver: exit 67: 550 no such user");
    EXPECT_EQ(Handed(), "-f a@b.org -- x@y.org z@y.org id=" + ok + "/OUT|ok\n" +
                            "-f a@b.org -- x@y.org z@y.org id=" + deferred + "/OUT|defer\n" +
                            "-f a@b.org -- x@y.org z@y.org id=" + bad + "/OUT|bad\n" +
                            "-f <> -- x@y.org z@y.org id=" + null + "/OUT|ok\n");

    struct Want {
        std::string id;
        int status;             // of show
        const char* state;      // "" when gone
        const char* reasonBy;   // the reason's "by" text
    } wants[] = {
        {ok, 66, "", ""},
        {null, 66, "", ""},
        {deferred, 0, "queued", "mqctl["},  // reason_text: the command's words
        {bad, 0, "failed", "deliver: exit 67: 550 no such user"},
    };
    for (const Want& w : wants) {
        RunResult show = inst_.Run({"show", w.id, "--json"});
        EXPECT_EQ(show.status, w.status) << w.id << ": " << show.err;
        if (w.status != 0) continue;
        std::vector<Json> objects;
        ASSERT_TRUE(show.Json(&objects)) << show.out;
        EXPECT_EQ(objects[0]["state"].str, w.state) << w.id;
        EXPECT_NE(objects[0]["reason_by"].str.find(w.reasonBy), std::string::npos)
            << w.id << ": got " << objects[0]["reason_by"].str;
    }
    // A later run leaves the deferred entry be until its backoff is over (a
    // clock 5 minutes on), then tries it again; the failed one stays aside.
    WriteFileText(inst_.dir() + "/handed", "");
    RunResult early = inst_.Run({"deliver", "OUT", "--", script_}, "", {"MQ_TEST_CLOCK_OFFSET=200"});
    EXPECT_EQ(early.status, 0) << early.err;
    EXPECT_EQ(Handed(), "");
    RunResult again = inst_.Run({"deliver", "OUT", "--max", "5", "--", script_}, "",
                                {"MQ_TEST_CLOCK_OFFSET=340"});
    EXPECT_EQ(again.status, 1) << again.err;
    EXPECT_EQ(Handed(), "|defer\n");
    // Deferred again: the second backoff is twice the first.
    RunResult third = inst_.Run({"deliver", "OUT", "--", script_}, "", {"MQ_TEST_CLOCK_OFFSET=700"});
    EXPECT_EQ(Handed(), "|defer\n") << "tried before its second backoff was over";
    EXPECT_EQ(Ok(inst_, {"flush", "OUT"}).out, "-- 1 entry made due\n");
    RunResult flushed = inst_.Run({"deliver", "OUT", "--", script_}, "", {"MQ_TEST_CLOCK_OFFSET=700"});
    EXPECT_EQ(Handed(), "|defer\n|defer\n") << "flush did not make it due";
    // Nothing waiting is no failure; a command that can't be run gives the
    // entry back and stops.
    Ok(inst_, {"flush"});
    RunResult missing = inst_.Run({"deliver", "OUT", "--", inst_.dir() + "/no-such-command"});
    EXPECT_EQ(missing.status, 75) << missing.err;
    EXPECT_NE(missing.err.find("the command could not be run: exec"), std::string::npos)
        << missing.err;
    ASSERT_EQ(Ok(inst_, {"delete", deferred, "-q"}).status, 0);
    RunResult empty = inst_.Run({"deliver", "OUT", "--", script_});
    EXPECT_EQ(empty.status, 0) << empty.err;
    EXPECT_EQ(empty.out, "");
}

// A deliver killed while its command runs loses nothing: the entry goes
// back to the queue and the next deliver hands it on.
TEST_F(ToolDeliver, KilledMidWayLosesNothing) {
    std::string id = Put("wait");
    pid_t pid = Spawn([&] { return inst_.Run({"deliver", "OUT", "--", script_}).status; });
    ASSERT_GE(pid, 0);
    std::string waitingFile = inst_.dir() + "/waiting";
    for (int i = 0; i < 600 && ReadFileText(waitingFile).empty(); ++i) usleep(50000);
    int commandPid = 0, mqctlPid = 0;
    ASSERT_EQ(std::sscanf(ReadFileText(waitingFile).c_str(), "%d %d", &commandPid, &mqctlPid), 2)
        << "the command never started";
    ASSERT_EQ(kill(mqctlPid, SIGKILL), 0);
    Wait(pid);

    // The command outlives its deliver; the entry is queued again all the
    // same, and the next deliver (true(1) takes it this time) hands it on.
    RunResult show = Ok(inst_, {"show", id, "--json"});
    std::vector<Json> objects;
    ASSERT_TRUE(show.Json(&objects)) << show.out;
    EXPECT_EQ(objects[0]["state"].str, "queued");
    RunResult r = inst_.Run({"deliver", "OUT", "--", "true"});
    kill(commandPid, SIGKILL);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, id + " delivered\n");
}

// Two delivers on one channel at once hand each entry on exactly once.
TEST_F(ToolDeliver, TwoDeliversHandEachEntryOnOnce) {
    std::set<std::string> ids;
    for (int i = 0; i < 30; ++i) ids.insert(Put("ok " + std::to_string(i)));
    std::vector<pid_t> pids;
    for (int k = 0; k < 2; ++k) {
        pids.push_back(Spawn([&] {
            return inst_.Run({"deliver", "OUT", "--", "sh", "-c",
                              "cat > /dev/null; echo {id} >> " + inst_.dir() + "/ids"})
                .status;
        }));
        ASSERT_GE(pids.back(), 0);
    }
    for (pid_t pid : pids) EXPECT_EQ(Wait(pid), 0);
    std::istringstream in(ReadFileText(inst_.dir() + "/ids"));
    std::multiset<std::string> got;
    for (std::string line; std::getline(in, line);) got.insert(line);
    EXPECT_EQ(got.size(), ids.size());
    EXPECT_EQ(std::set<std::string>(got.begin(), got.end()), ids);
    EXPECT_EQ(Ok(inst_, {"list", "--count"}).out, "0\n");
}

// python3 reads the JSON lines on standard input and prints, for each
// object, the exact bytes of body, from and each of to (taking KEY_base64
// when it is there) in hex, one value a line.
const char kDecode[] =
    "import base64, json, sys\n"
    "def exact(o, k):\n"
    "    if k + '_base64' in o:\n"
    "        v = o[k + '_base64']\n"
    "        return [base64.b64decode(x) for x in v] if isinstance(v, list) else base64.b64decode(v)\n"
    "    v = o[k]\n"
    "    return [x.encode('utf-8') for x in v] if isinstance(v, list) else v.encode('utf-8')\n"
    "for line in sys.stdin:\n"
    "    o = json.loads(line)\n"
    "    for k in ('body', 'from', 'to'):\n"
    "        if k not in o: continue\n"
    "        v = exact(o, k)\n"
    "        for x in (v if isinstance(v, list) else [v]): print(k, x.hex())\n";

std::string Python(const std::string& input) {
    Child python(Program({"python3", "-c", kDecode}));
    std::string out;
    python.Finish(input, &out, nullptr);
    return out;
}

std::string Hex(const std::string& bytes) {
    std::string out;
    char h[3];
    for (unsigned char c : bytes) {
        std::snprintf(h, sizeof h, "%02x", c);
        out += h;
    }
    return out;
}

// Every JSON output gives the stored bytes back exactly: 8-bit bodies and
// addresses, valid UTF-8, NULs and every byte value, through get, show and
// list, read by python3's json module.
TEST(ToolJson, EightBitBodiesAndAddressesComeBackExactly) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    ASSERT_EQ(Ok(inst, {"channel", "add", "OUT", "relay", "out"}).status, 0);
    std::string all;
    for (int c = 0; c < 256; ++c) all += static_cast<char>(c);
    struct Case {
        const char* name;
        std::string body, from, to;
    } cases[] = {
        {"Latin-1 body", "caf\xe9\n", "a@b.org", "c@d.org"},
        {"UTF-8 body", "caf\xc3\xa9\n", "a@b.org", "c@d.org"},
        {"every byte", all + all, "a@b.org", "c@d.org"},
        {"NUL and a cut sequence", std::string("a\0b\xe2\x82", 5), "a@b.org", "c@d.org"},
        {"Latin-1 addresses", "x", "jos\xe9@example.org", "m\xfcller@example.org"},
        {"UTF-8 addresses", "x", "jos\xc3\xa9@example.org", "m\xc3\xbcller@example.org"},
    };
    for (const Case& tc : cases) {
        RunResult put = Ok(inst, {"put", "OUT", "--from", tc.from, "--to", tc.to}, tc.body);
        std::string id = IdOf(put);
        std::string want = "body " + Hex(tc.body) + "\nfrom " + Hex(tc.from) + "\nto " +
                           Hex(tc.to) + "\n";
        RunResult show = Ok(inst, {"show", id, "--json", "--body"});
        EXPECT_EQ(Python(show.out), want) << tc.name << " (show): " << show.out;
        RunResult get = Ok(inst, {"get", "OUT", "--json", "--body", "--delete"});
        EXPECT_EQ(Python(get.out), want) << tc.name << " (get): " << get.out;
    }
    // list's lines carry the addresses (no body).
    Ok(inst, {"put", "OUT", "--from", "jos\xe9@example.org", "--to", "m\xfcller@example.org"}, "x");
    RunResult list = Ok(inst, {"list", "--json"});
    EXPECT_EQ(Python(list.out), "from " + Hex("jos\xe9@example.org") + "\nto " +
                                    Hex("m\xfcller@example.org") + "\n")
        << list.out;
}

// A put process, one per message behind a mail system's pipe, loads no
// directory client library (libldap and its TLS and SASL libraries); the
// commands that talk to the directory load it when they need it. The
// loader's own trace (LD_DEBUG=files) names every library a process opens.
TEST(ToolLibraries, TheDirectoryLibraryIsLoadedOnlyByCommandsThatUseIt) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    ASSERT_EQ(Ok(inst, {"channel", "add", "OUT", "relay", "out"}).status, 0);
    ASSERT_EQ(Ok(inst, {"put", "OUT", "--from", "a@b.org", "--to", "c@d.org"}, "x").status, 0);
    struct Case {
        std::vector<std::string> args;
        std::string input;
        bool wantLdap;
    } cases[] = {
        {{"put", "OUT", "--from", "a@b.org", "--to", "c@d.org", "-"}, "body\n", false},
        {{"list", "--count"}, "", false},
        {{"get", "OUT"}, "", false},
        {{"check"}, "", true},  // looks the host's entry up
        {{"channel", "add", "IN", "relay", "in"}, "", true},  // registers the module
    };
    for (const Case& tc : cases) {
        RunResult r = inst.Run(tc.args, tc.input, {"LD_DEBUG=files"});
        std::string what = tc.args[0] + (tc.args.size() > 1 ? " " + tc.args[1] : "");
        EXPECT_EQ(r.status, 0) << what << ": " << r.err;
        // libldap itself, not our own client (libldap32).
        bool loaded = r.err.find("/libldap-") != std::string::npos ||
                      r.err.find("/libldap.so") != std::string::npos;
        EXPECT_EQ(loaded, tc.wantLdap) << what << ": got libldap loaded " << loaded << ", want "
                                       << tc.wantLdap;
        // The trace is there at all: the program itself is named in it.
        EXPECT_NE(r.err.find("libmqtoolkit"), std::string::npos) << what << ": no loader trace";
    }
}

// A directory library that can't be opened (here a file that is no library,
// found first along LD_LIBRARY_PATH under libldap's name) fails the
// connection that needed it, logged with the loader's reason; a put, which
// needs none, goes on as before.
TEST(ToolLibraries, ADirectoryLibraryThatCantBeOpenedFailsOnlyWhatNeedsIt) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    ASSERT_EQ(Ok(inst, {"channel", "add", "OUT", "relay", "out"}).status, 0);
    std::string libs = inst.dir() + "/bad-libs";
    ASSERT_EQ(mkdir(libs.c_str(), 0755), 0);
    ASSERT_TRUE(WriteFileText(libs + "/" MQ_LDAP_SONAME, "not a library\n"));
    std::vector<std::string> env = {"LD_LIBRARY_PATH=" + libs};

    RunResult check = inst.Run({"check", "--json"}, "", env);
    EXPECT_EQ(check.status, 1) << check.err;
    bool directoryFailed = false;
    std::vector<Json> findings;
    ASSERT_TRUE(check.Json(&findings)) << check.out;
    for (const Json& f : findings) {
        if (f["check"].str == "directory") directoryFailed = !f["ok"].b;
    }
    EXPECT_TRUE(directoryFailed) << "got the directory check passing:\n" << check.out;
    std::string log = ReadFileText(inst.dir() + "/mq.log");
    EXPECT_NE(log.find("opening " MQ_LDAP_SONAME ": "), std::string::npos)
        << "got log\n" << log << "want the loader's reason for " MQ_LDAP_SONAME;

    RunResult put =
        inst.Run({"put", "OUT", "--from", "a@b.org", "--to", "c@d.org", "-"}, "body\n", env);
    EXPECT_EQ(put.status, 0) << put.err;
}

}  // namespace
}  // namespace mqtest
