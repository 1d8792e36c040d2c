// tool_test.cpp - mqctl's commands end to end: the binary against a real
// installation, store and directory, its output read as a script would.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "slapd_fixture.h"
#include "tool_harness.h"

namespace mqtest {
namespace {

std::vector<Json> JsonOf(const RunResult& r) {
    std::vector<Json> objects;
    EXPECT_TRUE(r.Json(&objects)) << "not JSON Lines:\n" << r.out;
    return objects;
}

// The first object of r's JSON Lines; a null value (and a failure) when
// there is none, so that a failed step fails the test instead of ending it.
Json FirstOf(const RunResult& r) {
    std::vector<Json> objects = JsonOf(r);
    if (objects.empty()) {
        ADD_FAILURE() << "no JSON object in:\n" << r.out;
        return Json();
    }
    return objects[0];
}

// Puts a message; returns its identifier (0 on failure).
int64_t Put(const Installation& inst, const std::string& channel, const std::string& from,
            const std::vector<std::string>& to, const std::string& body) {
    std::vector<std::string> args{"put", channel, "--from", from, "--json"};
    for (const std::string& t : to) {
        args.push_back("--to");
        args.push_back(t);
    }
    std::vector<Json> out = JsonOf(Ok(inst, args, body));
    return out.size() == 1 ? out[0]["id"].Int() : 0;
}

std::vector<int64_t> Ids(const std::vector<Json>& objects) {
    std::vector<int64_t> ids;
    for (const Json& o : objects) ids.push_back(o["id"].Int());
    return ids;
}

class ToolTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(inst_.error(), ""); }
    Installation inst_;
};

TEST_F(ToolTest, ChannelsKeepFileAndDirectoryInStep) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    Ok(inst_, {"channel", "add", "fax", "faxgw", "in", "--flag", "C"});

    std::vector<Json> list = JsonOf(Ok(inst_, {"channel", "list", "--json"}));
    ASSERT_EQ(list.size(), 2u);
    struct Want {
        const char *channel, *application, *direction, *flag;
    } want[] = {{"RELAY", "relay", "out", ""}, {"fax", "faxgw", "in", "C"}};
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(list[i]["channel"].str, want[i].channel) << "record " << i;
        EXPECT_EQ(list[i]["application"].str, want[i].application) << "record " << i;
        EXPECT_EQ(list[i]["direction"].str, want[i].direction) << "record " << i;
        EXPECT_EQ(list[i]["flag"].str, want[i].flag) << "record " << i;
    }
    EXPECT_EQ(inst_.Modules(), (std::vector<std::string>{"relay,faxgw"}))
        << "the host entry lists both applications in one value";

    RunResult text = Ok(inst_, {"channel", "list"});
    EXPECT_NE(text.out.find("RELAY    relay        out\n"), std::string::npos) << text.out;

    Ok(inst_, {"channel", "del", "relay"});  // letter case ignored
    list = JsonOf(Ok(inst_, {"channel", "list", "--json"}));
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0]["channel"].str, "fax");
    EXPECT_EQ(inst_.Modules(), (std::vector<std::string>{"faxgw"}));
}

TEST_F(ToolTest, PutListGetDeleteOneByOne) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    struct Msg {
        std::string from;
        std::vector<std::string> to;
        std::string body;
    } msgs[] = {{"alice@example.org", {"bob@example.org"}, "Hello Bob\n"},
                {"alice@example.org", {"carol@example.org", "dave@example.net"}, "Two\n"},
                {"<>", {"postmaster@example.org"}, std::string("bin\0ary\xff\n", 9)}};
    std::vector<int64_t> ids;
    for (const Msg& m : msgs) ids.push_back(Put(inst_, "RELAY", m.from, m.to, m.body));
    EXPECT_TRUE(ids[0] > 0 && ids[0] < ids[1] && ids[1] < ids[2])
        << "got ids " << ids[0] << " " << ids[1] << " " << ids[2] << ", want rising";

    std::vector<Json> list = JsonOf(Ok(inst_, {"list", "--json"}));
    ASSERT_EQ(list.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Json& e = list[i];
        EXPECT_EQ(e["id"].Int(), ids[i]);
        EXPECT_EQ(e["channel"].str, "RELAY");
        EXPECT_EQ(e["from"].str, msgs[i].from);
        ASSERT_EQ(e["to"].items.size(), msgs[i].to.size()) << "entry " << i;
        for (size_t k = 0; k < msgs[i].to.size(); ++k) EXPECT_EQ(e["to"].items[k].str, msgs[i].to[k]);
        EXPECT_EQ(e["state"].str, "queued");
        EXPECT_EQ(e["size"].Int(), static_cast<int64_t>(msgs[i].body.size()));
        // A small body is kept in the database: list names the path
        // without writing the file, show writes it, whole, and no ".tmp"
        // file stays.
        EXPECT_NE(access(e["path"].str.c_str(), F_OK), 0) << "the put wrote entry " << i;
        std::string shown =
            FirstOf(Ok(inst_, {"show", std::to_string(ids[i]), "--json"}))["path"].str;
        EXPECT_EQ(shown, e["path"].str);
        EXPECT_EQ(ReadFileText(shown), msgs[i].body) << "entry " << i;
        std::string tmp = e["path"].str.substr(0, e["path"].str.size() - 4) + ".tmp";
        EXPECT_NE(access(tmp.c_str(), F_OK), 0) << tmp << " left behind";
    }
    RunResult text = Ok(inst_, {"list"});
    EXPECT_NE(text.out.find("-- 3 entries, 23 bytes"), std::string::npos) << text.out;

    for (size_t i = 0; i < 3; ++i) {
        std::vector<Json> got = JsonOf(Ok(inst_, {"get", "relay", "--delete", "--body", "--json"}));
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0]["id"].Int(), ids[i]) << "get " << i << ": oldest first";
        EXPECT_EQ(got[0]["from"].str, msgs[i].from);
        EXPECT_TRUE(got[0]["deleted"].b);
        if (i < 2) {
            EXPECT_EQ(got[0]["body"].str, msgs[i].body);
        }
        EXPECT_EQ(JsonOf(Ok(inst_, {"list", "--json"})).size(), 2 - i) << "after get " << i;
    }
    RunResult empty = inst_.Run({"get", "RELAY"});
    EXPECT_EQ(empty.status, 1) << "get of an empty channel";
    EXPECT_EQ(empty.out, "");
    EXPECT_EQ(empty.ErrLines().size(), 1u) << empty.err;
}

TEST_F(ToolTest, ListFilters) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    Ok(inst_, {"channel", "add", "LOCAL", "local", "in"});
    int64_t a = Put(inst_, "RELAY", "alice@example.org", {"bob@example.org"}, "1");
    int64_t b = Put(inst_, "RELAY", "carol@Example.NET", {"dave@example.net", "eve@x.org"}, "22");
    int64_t c = Put(inst_, "LOCAL", "<>", {"postmaster@example.org"}, "333");
    Ok(inst_, {"hold", std::to_string(c)});

    struct Case {
        std::vector<std::string> args;
        std::vector<int64_t> want;
    } cases[] = {
        {{"list"}, {a, b, c}},
        {{"list", "RELAY"}, {a, b}},
        {{"list", "local"}, {c}},
        {{"list", "--from", "^alice@"}, {a}},
        {{"list", "--from", "example\\.net$"}, {b}},  // letter case ignored
        {{"list", "--to", "^eve@"}, {b}},             // any recipient
        {{"list", "--to", "example\\.org$", "RELAY"}, {a}},
        {{"list", "--older-than", "1h"}, {}},
        {{"list", "--failed"}, {}},
        {{"list", "--held"}, {c}},
        {{"list", "--held", "--failed"}, {c}},  // either state
        {{"list", "--held", "RELAY"}, {}},
        {{"list", "--limit", "2"}, {a, b}},
        {{"list", "--younger-than", "1h"}, {a, b, c}},
        {{"list", "--younger-than", "0"}, {}},
        {{"list", "--sort", "size"}, {c, b, a}},
        {{"list", "--sort", "age", "--limit", "2"}, {a, b}},
        {{"list", "--sort", "size", "--limit", "1", "RELAY"}, {b}},
    };
    for (const Case& tc : cases) {
        std::vector<std::string> args = tc.args;
        args.push_back("--json");
        std::vector<int64_t> got = Ids(JsonOf(Ok(inst_, args)));
        std::string name;
        for (const std::string& a : tc.args) name += a + " ";
        EXPECT_EQ(got, tc.want) << name;
        args.push_back("--count");
        std::vector<Json> count = JsonOf(Ok(inst_, args));
        ASSERT_EQ(count.size(), 1u) << name;
        EXPECT_EQ(count[0]["count"].Int(), static_cast<int64_t>(tc.want.size())) << name;
    }

    // A listing cut short reads no further: an entry damaged past the cut
    // fails only a listing that reaches it (after printing what came before),
    // and a count without address filters reads no entry at all.
    ASSERT_TRUE(inst_.Exec("UPDATE entries SET envelope = x'ff' WHERE id = " + std::to_string(c)));
    struct Stop {
        std::vector<std::string> args;
        int status;
        std::string out;
    } stops[] = {
        {{"list", "--limit", "2", "--ids"}, 0, std::to_string(a) + "\n" + std::to_string(b) + "\n"},
        {{"list", "--ids"}, 1, std::to_string(a) + "\n" + std::to_string(b) + "\n"},
        {{"list", "--count"}, 0, "3\n"},
        {{"list", "--count", "--to", "example\\.net$"}, 1, ""},
        {{"list", "--count", "--to", "example\\.net$", "--limit", "1"}, 0, "1\n"},
    };
    for (const Stop& st : stops) {
        RunResult r = inst_.Run(st.args);
        std::string name;
        for (const std::string& a : st.args) name += a + " ";
        EXPECT_EQ(r.status, st.status) << name << r.err;
        EXPECT_EQ(r.out, st.out) << name;
    }
}

// Creation times past what a 32-bit time_t holds (2038-01-19T03:14:07Z) are
// shown as stored, by list and show alike; such entries lie ahead of now.
// A damaged or forged database may hold any time: every command that
// prints an age from one stays defined (UBSan aborts on an overflow) and
// answers.
TEST_F(ToolTest, ExtremeStoredTimesAreClamped) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    int64_t low = Put(inst_, "RELAY", "alice@example.org", {"bob@example.org"}, "x");
    int64_t high = Put(inst_, "RELAY", "alice@example.org", {"bob@example.org"}, "y");
    // One inside the bounds list's filter takes as open (strictly after
    // INT64_MIN, strictly before INT64_MAX), so both are listed.
    const std::string min = std::to_string(INT64_MIN + 1), max = std::to_string(INT64_MAX - 1);
    ASSERT_TRUE(inst_.Exec("UPDATE entries SET created = " + min + ", reason = 1, reason_at = " +
                           min + ", handed = " + min + " WHERE id = " + std::to_string(low)));
    ASSERT_TRUE(inst_.Exec("UPDATE entries SET created = " + max + ", reason = 1, reason_at = " +
                           max + ", handed = " + max + " WHERE id = " + std::to_string(high)));
    const std::vector<std::vector<std::string>> commands = {
        {"list"}, {"list", "--json"}, {"list", "--sort", "age"}, {"list", "--older-than", "1d"},
        {"show", std::to_string(low)}, {"show", std::to_string(high), "--json"},
        {"summary"}, {"summary", "--json"}, {"metrics"}, {"monitor"}, {"check"}};
    for (const std::vector<std::string>& c : commands) {
        RunResult r = inst_.Run(c);
        std::string name = c[0] + (c.size() > 1 ? " " + c[1] : "");
        EXPECT_EQ(r.err.find("runtime error"), std::string::npos) << name << ": " << r.err;
        EXPECT_TRUE(r.status == 0 || (c[0] == "check" && r.status == 1))
            << name << ": status " << r.status << ", " << r.err;
    }
    std::vector<Json> listed = JsonOf(Ok(inst_, {"list", "--json"}));
    ASSERT_EQ(listed.size(), 2u);
    // Past the range, the age saturates; it never wraps to the other sign.
    // (compared as the reader holds numbers, doubles: INT64_MAX is no int64 there)
    EXPECT_GT(listed[0]["age"].number, 0) << "entry created at " << min;
    EXPECT_LT(listed[1]["age"].number, 0) << "entry created at " << max;
}

TEST_F(ToolTest, CreationTimesPast2038) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    struct Case {
        int64_t created;
        std::string shown;
    } cases[] = {
        {INT64_C(2147483647), "2038-01-19T03:14:07Z"},
        {INT64_C(2147483648) + 5, "2038-01-19T03:14:13Z"},
        {INT64_C(4294967296) + 7, "2106-02-07T06:28:23Z"},
    };
    std::vector<int64_t> ids;
    for (const Case& c : cases) {
        ids.push_back(Put(inst_, "RELAY", "alice@example.org", {"bob@example.org"}, "x"));
        ASSERT_TRUE(inst_.SetCreated(ids.back(), c.created));
    }
    std::vector<Json> list = JsonOf(Ok(inst_, {"list", "--json"}));
    ASSERT_EQ(list.size(), 3u);
    for (size_t i = 0; i < 3; ++i) {
        const Case& c = cases[i];
        std::string id = std::to_string(ids[i]);
        EXPECT_EQ(list[i]["created"].Int(), c.created) << "list, entry " << id;
        EXPECT_LT(list[i]["age"].Int(), 0) << "list, entry " << id;
        std::vector<Json> shown = JsonOf(Ok(inst_, {"show", id, "--json"}));
        ASSERT_EQ(shown.size(), 1u);
        EXPECT_EQ(shown[0]["created"].Int(), c.created) << "show, entry " << id;
        std::string text = Ok(inst_, {"show", id}).out;
        EXPECT_NE(text.find("\ncreated " + c.shown + " (0s ago)\n"), std::string::npos)
            << "show " << id << " printed\n" << text << "want created " << c.shown;
    }
    EXPECT_EQ(Ids(JsonOf(Ok(inst_, {"list", "--older-than", "1s", "--json"}))),
              std::vector<int64_t>{});
}

TEST_F(ToolTest, DeleteByIdFromStandardInputAndAll) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    Ok(inst_, {"channel", "add", "LOCAL", "local", "in"});
    std::vector<int64_t> relay, local;
    for (int i = 0; i < 3; ++i) relay.push_back(Put(inst_, "RELAY", "a@b.org", {"c@d.org"}, "r"));
    for (int i = 0; i < 2; ++i) local.push_back(Put(inst_, "LOCAL", "a@b.org", {"c@d.org"}, "l"));

    RunResult del = Ok(inst_, {"delete", std::to_string(relay[0]), "-"},
                       std::to_string(relay[1]) + "\n");
    EXPECT_EQ(del.out, "deleted " + std::to_string(relay[0]) + "\ndeleted " +
                           std::to_string(relay[1]) + "\n-- 2 entries deleted\n");
    EXPECT_EQ(Ids(JsonOf(Ok(inst_, {"list", "--json"}))),
              (std::vector<int64_t>{relay[2], local[0], local[1]}));

    Ok(inst_, {"delete", "ALL", "LOCAL"});
    EXPECT_EQ(Ids(JsonOf(Ok(inst_, {"list", "--json"}))), (std::vector<int64_t>{relay[2]}));
    std::string path = FirstOf(Ok(inst_, {"show", std::to_string(relay[2]), "--json"}))["path"].str;
    std::string gone = path.substr(0, path.rfind('/') + 1) + std::to_string(local[0]) + ".msg";
    EXPECT_NE(access(gone.c_str(), F_OK), 0) << "delete left " << gone;
}

TEST_F(ToolTest, SummaryCountsPerChannelAndDomain) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    Ok(inst_, {"channel", "add", "IDLE", "idle", "in"});
    Ok(inst_, {"channel", "add", "TOTAL", "total", "in"});  // must not pass for the total
    int64_t a = Put(inst_, "RELAY", "a@b.org", {"c@d.org", "e@D.ORG"}, "12");
    Put(inst_, "RELAY", "a@b.org", {"c@x.net"}, "345");
    Put(inst_, "TOTAL", "a@b.org", {"f@d.org"}, "6");
    Ok(inst_, {"hold", std::to_string(a)});

    struct Want {
        const char* name;  // "" for the whole queue's row
        int64_t total, held, bytes, youngest;
    };
    struct Case {
        std::vector<std::string> args;
        const char* key;
        std::vector<Want> rows;
    } cases[] = {
        {{"summary", "--json"}, "channel",
         {{"", 3, 1, 6, 3}, {"IDLE", 0, 0, 0, 0}, {"RELAY", 2, 1, 5, 2}, {"TOTAL", 1, 0, 1, 1}}},
        {{"summary", "--by", "domain", "--json"}, "domain",
         {{"", 3, 1, 6, 3}, {"d.org", 2, 1, 3, 2}, {"x.net", 1, 0, 3, 1}}},
    };
    for (const Case& tc : cases) {
        std::vector<Json> rows = JsonOf(Ok(inst_, tc.args));
        ASSERT_EQ(rows.size(), tc.rows.size()) << tc.key;
        for (size_t i = 0; i < rows.size(); ++i) {
            const Want& w = tc.rows[i];
            std::string name = *w.name ? w.name : "all";
            if (*w.name) {
                EXPECT_EQ(rows[i][tc.key].str, w.name) << tc.key << " row " << i;
                EXPECT_FALSE(rows[i]["all"].b) << name;
            } else {
                EXPECT_TRUE(rows[i]["all"].b) << tc.key << ": the first row is the total";
                EXPECT_FALSE(rows[i].Has(tc.key)) << "the total row has no name";
            }
            EXPECT_EQ(rows[i]["total"].Int(), w.total) << name;
            EXPECT_EQ(rows[i]["held"].Int(), w.held) << name;
            EXPECT_EQ(rows[i]["bytes"].Int(), w.bytes) << name;
            EXPECT_EQ(rows[i]["ages"]["5"].Int(), w.youngest) << name;
            EXPECT_EQ(rows[i]["ages"]["1280+"].Int(), 0) << name;
            EXPECT_TRUE(rows[i]["oldest"].Int() >= 0 && rows[i]["oldest"].Int() < 300)
                << name << ": oldest " << rows[i]["oldest"].Int();
        }
    }
    RunResult text = Ok(inst_, {"summary"});
    EXPECT_EQ(text.out.rfind("CHANNEL", 0), 0u) << text.out;
    EXPECT_NE(text.out.find("\n(all channels)  3 "), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("\nTOTAL           1 "), std::string::npos) << text.out;
}

// The age buckets: summary by channel counts them in the store's index by
// creation time, summary by domain from each entry it reads; both put an
// entry of each age in the bucket its age falls in (ages mid-bucket, so
// that a second passing between the runs can't move one).
TEST_F(ToolTest, SummaryAgeBucketsByChannelAndByDomainAgree) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    Ok(inst_, {"channel", "add", "LOCAL", "local", "in"});
    Put(inst_, "RELAY", "a@b.org", {"c@d.org"}, "1");
    Put(inst_, "RELAY", "a@b.org", {"c@x.net"}, "2");
    Put(inst_, "LOCAL", "a@b.org", {"f@d.org"}, "3");
    const struct {
        int64_t age;
        const char* bucket;
    } cases[] = {
        {150, "5"},     {450, "10"},    {900, "20"},    {1800, "40"},     {3600, "80"},
        {7200, "160"},  {14400, "320"}, {28800, "640"}, {57600, "1280"}, {100000, "1280+"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bucket);
        const std::vector<std::string> later{"MQ_TEST_CLOCK_OFFSET=" + std::to_string(c.age)};
        for (const char* by : {"channel", "domain"}) {
            RunResult r = inst_.Run({"summary", "--json", "--by", by}, "", later);
            ASSERT_EQ(r.status, 0) << r.err;
            std::vector<Json> rows = JsonOf(r);
            ASSERT_FALSE(rows.empty());
            int64_t all = 0;
            for (const char* b : {"5", "10", "20", "40", "80", "160", "320", "640", "1280",
                                  "1280+"}) {
                all += rows[0]["ages"][b].Int();
            }
            EXPECT_EQ(rows[0]["ages"][c.bucket].Int(), 3) << by << ": " << r.out;
            EXPECT_EQ(all, 3) << by << ": " << r.out;
            if (std::string(by) == "channel") {
                ASSERT_EQ(rows.size(), 3u) << r.out;
                EXPECT_EQ(rows[2]["channel"].str, "RELAY");
                EXPECT_EQ(rows[2]["ages"][c.bucket].Int(), 2) << r.out;
            }
        }
    }
}

// A put names its entry by identifier and leaves a small body in the
// database, file unwritten; asked for the path, it writes the file first,
// so the path it prints always names the whole body.
TEST_F(ToolTest, PutWritesTheFileOnlyWhenAskedForThePath) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    const std::string body = "the body\n";
    struct Case {
        std::vector<std::string> extra;
        bool json, withPath;
    } cases[] = {
        {{}, false, false},
        {{"--path"}, false, true},
        {{"--json"}, true, false},
        {{"--json", "--path"}, true, true},
    };
    for (const Case& c : cases) {
        std::vector<std::string> args{"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org"};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        SCOPED_TRACE(args.size() > 6 ? args.back() : "plain");
        RunResult r = Ok(inst_, args, body);
        std::string id, path;
        if (c.json) {
            std::vector<Json> out = JsonOf(r);
            ASSERT_EQ(out.size(), 1u);
            id = std::to_string(out[0]["id"].Int());
            EXPECT_EQ(out[0]["channel"].str, "RELAY");
            path = out[0]["path"].str;
            if (c.withPath) {
                EXPECT_EQ(out[0]["size"].Int(), static_cast<int64_t>(body.size()));
            }
        } else {
            size_t space = r.out.find(' ');
            id = r.out.substr(0, std::min(space, r.out.size() - 1));
            if (space != std::string::npos) path = r.out.substr(space + 1, r.out.size() - space - 2);
        }
        ASSERT_FALSE(id.empty()) << r.out;
        EXPECT_EQ(id.find_first_not_of("0123456789"), std::string::npos) << r.out;
        EXPECT_EQ(!path.empty(), c.withPath) << r.out;
        std::string where = JsonOf(Ok(inst_, {"list", "--json"})).back()["path"].str;
        if (c.withPath) {
            EXPECT_EQ(path, where);
            EXPECT_EQ(ReadFileText(path), body);
        } else {
            EXPECT_NE(access(where.c_str(), F_OK), 0) << "the put wrote " << where;
        }
    }
}

// A healthy installation passes the full check and the quick one; the
// quick one leaves out what walks every entry or file (stranded entries it
// finds from the store's kept counts). Neither writes: a
// body the put kept in the database still has no file afterwards.
TEST_F(ToolTest, CheckHealthyInstallation) {
    Ok(inst_, {"channel", "add", "RELAY", "relay", "out"});
    int64_t id = Put(inst_, "RELAY", "a@b.org", {"c@d.org"}, "1");
    std::string path = FirstOf(Ok(inst_, {"list", "--json"}))["path"].str;
    struct Case {
        std::vector<std::string> args;
        std::vector<const char*> want, notWanted;
    } cases[] = {
        {{"check", "--json"},
         {"configuration", "install dir", "channel file", "database", "space", "orphan files",
          "message files", "stranded", "directory", "host entry", "schedule"},
         {}},
        {{"check", "--json", "--quick"},
         {"configuration", "install dir", "channel file", "database", "space", "stranded",
          "directory", "host entry", "schedule"},
         {"orphan files", "message files"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        std::vector<Json> findings = JsonOf(Ok(inst_, c.args));
        std::set<std::string> checks;
        for (const Json& f : findings) {
            checks.insert(f["check"].str);
            EXPECT_TRUE(f["ok"].b) << f["check"].str << ": " << f["detail"].str;
        }
        for (const char* w : c.want) EXPECT_EQ(checks.count(w), 1u) << "no finding " << w;
        for (const char* n : c.notWanted) EXPECT_EQ(checks.count(n), 0u) << "finding " << n;
        EXPECT_NE(access(path.c_str(), F_OK), 0) << "the check wrote entry " << id << "'s file";
    }
}

// Each problem found, with a fix, by the full check, and by check --quick
// unless finding it means walking the message files.
TEST(ToolCheck, NamesEachProblemWithAFix) {
    struct Case {
        const char* name;
        const char* check;  // the finding that must fail
        void (*spoil)(const Installation&, const std::string& dir);
        bool quickToo = true;  // check --quick finds it as well
    } cases[] = {
        {"a file of no entry", "orphan files",
         [](const Installation&, const std::string& d) { WriteFileText(d + "999.msg", "x"); },
         false},
        {"entries of a channel no longer registered", "stranded",
         [](const Installation& i, const std::string&) {
             WriteFileText(i.dir() + "/queue.cfg", "OTHER\t\tother\t\tout\r\n");
         }},
        {"a spool every user may write to", "spool",
         [](const Installation&, const std::string& d) { chmod((d + "../..").c_str(), 0777); }},
        {"a spool every user may read", "spool",
         [](const Installation&, const std::string& d) { chmod((d + "../..").c_str(), 0755); }},
        {"a spool of another user than the installation directory's", "spool",
         [](const Installation&, const std::string& d) {
             // Root's own run gives the spool another owner; others can't.
             if (geteuid() == 0) {
                 EXPECT_EQ(chown((d + "../..").c_str(), 65534, 65534), 0);
             } else {
                 chmod((d + "../..").c_str(), 0755);
             }
         }},
        {"a password every user can read", "configuration",
         [](const Installation& i, const std::string&) {
             chmod((i.dir() + "/daduv.ini").c_str(), 0644);
         }},
        {"a spool that is a symbolic link", "spool",
         [](const Installation&, const std::string& d) {
             std::string spool = d.substr(0, d.rfind("/msg/"));
             rename(spool.c_str(), (spool + ".real").c_str());
             symlink((spool + ".real").c_str(), spool.c_str());
         }},
        {"a password longer than the directory client takes", "directory",
         [](const Installation& i, const std::string&) {
             std::string ini = ReadFileText(i.dir() + "/daduv.ini");
             ini.replace(ini.find("Password="), 9, "Password=" + std::string(70, 'p') + "\n;");
             WriteFileText(i.dir() + "/daduv.ini", ini);
         }},
        {"a backoff that is no duration", "schedule",
         [](const Installation& i, const std::string&) {
             std::string ini = ReadFileText(i.dir() + "/daduv.ini");
             ini.replace(ini.find("[Config]"), 8, "[Config]\nMinimalBackoff=5 minutes");
             WriteFileText(i.dir() + "/daduv.ini", ini);
         }},
        {"a lifetime that is negative", "schedule",
         [](const Installation& i, const std::string&) {
             std::string ini = ReadFileText(i.dir() + "/daduv.ini");
             ini.replace(ini.find("[Config]"), 8, "[Config]\nQueueLifetime=-1d");
             WriteFileText(i.dir() + "/daduv.ini", ini);
         }},
        {"server unreachable", "directory",
         [](const Installation& i, const std::string&) { i.WriteIni("1", i.host()); }},
        {"no host entry", "host entry",
         [](const Installation& i, const std::string&) {
             i.WriteIni(std::to_string(Slapd::Get()->port()), "nohost.example.org");
         }},
    };
    for (const Case& tc : cases) {
        Installation fresh;
        ASSERT_EQ(fresh.error(), "");
        Ok(fresh, {"channel", "add", "RELAY", "relay", "out"});
        int64_t fid = Put(fresh, "RELAY", "a@b.org", {"c@d.org"}, "1");
        std::string fpath =
            FirstOf(Ok(fresh, {"show", std::to_string(fid), "--json"}))["path"].str;
        // The spoilers work on paths made from this one: never on "../..".
        ASSERT_TRUE(!fpath.empty() && fpath[0] == '/') << tc.name;
        tc.spoil(fresh, fpath.substr(0, fpath.rfind('/') + 1));
        for (bool quick : {false, true}) {
            SCOPED_TRACE(std::string(tc.name) + (quick ? ", --quick" : ""));
            std::vector<std::string> args{"check", "--json"};
            if (quick) args.push_back("--quick");
            RunResult r = fresh.Run(args);
            bool wanted = !quick || tc.quickToo;
            EXPECT_EQ(r.err, "");
            bool failed = false;
            for (const Json& f : JsonOf(r)) {
                if (f["check"].str != tc.check || f["ok"].b) continue;
                failed = true;
                EXPECT_FALSE(f["fix"].str.empty()) << "no fix given";
            }
            EXPECT_EQ(failed, wanted) << "finding " << tc.check << " in\n" << r.out;
            if (wanted) {
                EXPECT_EQ(r.status, 1);
            }
        }
    }
}

// The commands that only read make nothing: on an installation where
// nothing was ever put they read an empty queue and leave no spool behind
// (a spool made by root's first look would lock the applications out).
TEST(ToolReadOnly, CommandsThatReadCreateNoSpool) {
    Installation inst;
    ASSERT_EQ(inst.error(), "");
    WriteFileText(inst.dir() + "/queue.cfg", "RELAY\t\trelay\t\tout\r\n");
    struct Case {
        std::vector<std::string> args;
        int wantStatus;
        const char* wantInOut;
    } cases[] = {
        {{"list"}, 0, ""},
        {{"list", "--count"}, 0, "0\n"},
        {{"list", "RELAY", "--json"}, 0, ""},
        {{"show", "1"}, 66, ""},  // EX_NOINPUT: no entry has identifier 1
        {{"summary"}, 0, "TOTAL"},
        {{"metrics"}, 0, "mqtoolkit_queue_entries{channel=\"RELAY\",state=\"queued\"} 0"},
        {{"monitor"}, 0, "MQ OK - 0 entries"},
        // 1: the host entry of the test's directory lacks relay (queue.cfg written by hand)
        {{"check"}, 1, "no spool yet"},
    };
    for (const Case& tc : cases) {
        RunResult r = inst.Run(tc.args);
        EXPECT_EQ(r.status, tc.wantStatus) << tc.args[0] << ": " << r.err << r.out;
        EXPECT_NE(r.out.find(tc.wantInOut), std::string::npos)
            << tc.args[0] << ": got " << r.out << ", want it to hold " << tc.wantInOut;
        struct stat st;
        EXPECT_NE(lstat((inst.dir() + "/spool").c_str(), &st), 0)
            << tc.args[0] << " made the spool";
    }
}

// The registry's refusals name their cause in the log, exactly: a setting
// too long is refused (never cut, so never "wrong credentials"), a server
// that is down is unreachable with its host and port, and no server at all
// is said plainly.
TEST(ToolDirectorySettings, RegistryLogsTheCause) {
    struct Case {
        const char* name;
        std::string ldap;  // the [Ldap] section's lines
        std::string wantInLog;
    } cases[] = {
        {"password of 64 characters",
         "HostName=127.0.0.1\nPort=" + std::to_string(Slapd::Get()->port()) + "\nUsername=" +
             Slapd::kWriterDn + "\nPassword=" + std::string(64, 'p') + "\n",
         "Password in section [Ldap] of daduv.ini is 64 characters long, more than the 63 "
         "the directory client takes; refused, not cut"},
        {"user name of 80 characters", "HostName=127.0.0.1\nUsername=" + std::string(80, 'u') + "\n",
         "Username in section [Ldap] of daduv.ini is 80 characters long"},
        {"server down", "HostName=127.0.0.1\nPort=1\n", "127.0.0.1:1"},
        {"a wait with a unit", "HostName=127.0.0.1\nTimeout=5s\n",
         "Timeout = 5s in section [Ldap] of daduv.ini is not a number of seconds from 1 to 300"},
        {"no wait at all", "HostName=127.0.0.1\nTimeout=0\n", "Timeout = 0 in section [Ldap]"},
        {"a wait past the longest", "HostName=127.0.0.1\nTimeout=301\n",
         "Timeout = 301 in section [Ldap]"},
        {"no server", "Hostname=mx.example.org\n", "no directory server set"},
    };
    for (const Case& tc : cases) {
        Installation inst;
        ASSERT_EQ(inst.error(), "");
        WriteFileText(inst.dir() + "/daduv.ini", "[Config]\nInstallDirectory=" + inst.dir() +
                                                     "\n[Ldap]\n" + tc.ldap);
        RunResult r = inst.Run({"channel", "add", "LOCAL", "local", "in"});
        EXPECT_NE(r.status, 0) << tc.name;
        std::string log = ReadFileText(inst.dir() + "/mq.log");
        EXPECT_NE(log.find(tc.wantInLog), std::string::npos)
            << tc.name << ": the log lacks \"" << tc.wantInLog << "\":\n" << log;
        EXPECT_EQ(ReadFileText(inst.dir() + "/queue.cfg").find("LOCAL"), std::string::npos)
            << tc.name << ": registered all the same";
    }
}

TEST_F(ToolTest, HelpForEveryCommandAndVersion) {
    const std::vector<std::vector<std::string>> commands = {
        {"channel", "add"}, {"channel", "del"}, {"channel", "list"}, {"put"},    {"get"},
        {"list"},           {"show"},           {"delete"},          {"hold"},   {"release"},
        {"requeue"},        {"summary"},        {"check"},           {"metrics"}, {"monitor"}};
    for (std::vector<std::string> c : commands) {
        std::string name = c.size() == 2 ? c[0] + " " + c[1] : c[0];
        c.push_back("--help");
        RunResult r = Ok(inst_, c);
        EXPECT_EQ(r.out.rfind("usage: mqctl " + name, 0), 0u) << name << ": got " << r.out;
        EXPECT_NE(r.out.find("Exit codes: 0"), std::string::npos) << name;
    }
    for (const char* v : {"--version", "-V"}) {
        EXPECT_EQ(Ok(inst_, {v}).out.rfind("mqctl ", 0), 0u) << v;
    }
    EXPECT_NE(Ok(inst_, {"--help"}).out.find("summary"), std::string::npos);
}

}  // namespace
}  // namespace mqtest
