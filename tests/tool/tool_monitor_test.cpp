// tool_monitor_test.cpp - mqctl metrics and monitor against a real queue:
// the exposition format read back by a parser of its rules, the figures it
// carries, and monitor's status line and exit codes at each threshold.
#include <cmath>
#include <cstdlib>
#include <map>
#include <algorithm>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tool_harness.h"

namespace mqtest {
namespace {

// One sample: metric name and labels as "name{k=v,...}" in label order.
using Samples = std::map<std::string, double>;

// ParseExposition - checks text against the exposition format's rules and
// collects its samples. Returns "" when it holds, else the first fault: a
// line that is no comment or sample, a metric or label name out of its
// alphabet, a label value with an escape other than \\ \" \n, a value that
// is no number, a TYPE after the family's samples or twice, a family whose
// samples are not together, the same series twice, no final line end.
bool IsNameChar(char c, bool first, bool colon) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_' || (colon && c == ':') ||
           (!first && c >= '0' && c <= '9');
}

// ReadName - a name at text[*pos] (metric names may hold ':'); "" for none.
std::string ReadName(const std::string& text, size_t* pos, bool colon) {
    size_t start = *pos;
    while (*pos < text.size() && IsNameChar(text[*pos], *pos == start, colon)) ++*pos;
    return text.substr(start, *pos - start);
}

std::string ParseExposition(const std::string& text, Samples* samples) {
    static const std::set<std::string> kTypes{"counter", "gauge", "histogram", "summary",
                                              "untyped"};
    if (text.empty() || text.back() != '\n') return "no final line end";
    std::set<std::string> typed, closed;
    std::string current;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        size_t pos = 0;
        if (line.rfind("# ", 0) == 0) {
            pos = line.rfind("# TYPE ", 0) == 0 ? 7 : line.rfind("# HELP ", 0) == 0 ? 7 : 0;
            if (pos == 0) return "bad comment: " + line;
            std::string name = ReadName(line, &pos, true);
            if (name.empty() || pos >= line.size() || line[pos] != ' ') return "bad comment: " + line;
            if (line[2] == 'T') {
                if (kTypes.count(line.substr(pos + 1)) == 0) return "unknown type: " + line;
                if (!typed.insert(name).second) return "TYPE twice: " + line;
                if (closed.count(name) || current == name) return "TYPE after samples: " + line;
            }
            continue;
        }
        std::string name = ReadName(line, &pos, true);
        if (name.empty()) return "not a sample: " + line;
        if (name != current) {
            if (closed.count(name)) return "family not together: " + line;
            if (!current.empty()) closed.insert(current);
            current = name;
        }
        std::string key = name + "{";
        if (pos < line.size() && line[pos] == '{') {
            ++pos;
            while (pos < line.size() && line[pos] != '}') {
                std::string label = ReadName(line, &pos, false);
                if (label.empty() || line.compare(pos, 2, "=\"") != 0) return "bad label: " + line;
                pos += 2;
                std::string value;
                for (; pos < line.size() && line[pos] != '"'; ++pos) {
                    if (line[pos] == '\\') {
                        if (++pos >= line.size() || std::string("\\\"n").find(line[pos]) ==
                                                        std::string::npos) {
                            return "bad escape: " + line;
                        }
                        value += '\\';
                    }
                    value += line[pos];
                }
                if (pos >= line.size()) return "unterminated value: " + line;
                ++pos;
                key += label + "=" + value + ",";
                if (pos < line.size() && line[pos] == ',') ++pos;
            }
            if (pos >= line.size()) return "unterminated labels: " + line;
            ++pos;
        }
        key += "}";
        if (pos >= line.size() || line[pos] != ' ') return "no value: " + line;
        std::string value = line.substr(pos + 1);
        char* end = nullptr;
        double v = std::strtod(value.c_str(), &end);
        if (value.empty() || *end != '\0') return "bad value: " + line;
        if (!samples->emplace(key, v).second) return "series twice: " + line;
    }
    return "";
}

TEST(ExpositionParser, CatchesBrokenText) {
    const char* broken[] = {
        "m 1",                                           // no line end
        "m{a=\"x\"} one\n",                              // no number
        "1m 1\n",                                        // bad name
        "m{a=\"x\\q\"} 1\n",                             // bad escape
        "m{a=\"x\ny\"} 1\n",                             // raw line end in a value
        "m 1\nm 2\n",                                    // same series twice
        "m{a=\"1\"} 1\nn 1\nm{a=\"2\"} 1\n",             // family apart
        "m 1\n# TYPE m gauge\n",                         // TYPE after samples
    };
    for (const char* text : broken) {
        Samples s;
        EXPECT_NE(ParseExposition(text, &s), "") << text;
    }
    Samples s;
    EXPECT_EQ(ParseExposition("# HELP m x\n# TYPE m gauge\nm{a=\"q\\\"\\\\\",b=\"\"} 1.5\n", &s), "");
    EXPECT_EQ(s["m{a=q\\\"\\\\,b=,}"], 1.5);
}

class ToolMonitor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(inst_.error(), "");
        for (const char* c : {"RELAY", "IDLE"}) {
            ASSERT_EQ(inst_.Run({"channel", "add", c, c, "out"}).status, 0);
        }
    }
    std::string Put(const std::string& body) {
        RunResult r = inst_.Run({"put", "RELAY", "--from", "a@b.org", "--to", "c@d.org"}, body);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out.substr(0, r.out.find_first_of(" \n"));
    }
    Installation inst_;
};

TEST_F(ToolMonitor, MetricsInTheExpositionFormat) {
    // An empty queue still reports every registered channel.
    RunResult empty = inst_.Run({"metrics"});
    ASSERT_EQ(empty.status, 0) << empty.err;
    Samples s;
    ASSERT_EQ(ParseExposition(empty.out, &s), "") << empty.out;
    for (const char* c : {"IDLE", "RELAY"}) {
        for (const char* state : {"queued", "held", "failed"}) {
            std::string key = std::string("mqtoolkit_queue_entries{channel=") + c + ",state=" +
                              state + ",}";
            ASSERT_EQ(s.count(key), 1u) << key << " missing:\n" << empty.out;
            EXPECT_EQ(s[key], 0) << key;
        }
        EXPECT_EQ(s[std::string("mqtoolkit_queue_oldest_age_seconds{channel=") + c + ",}"], 0);
    }

    std::string held = Put("12345");
    Put("678");
    ASSERT_EQ(inst_.Run({"hold", held}).status, 0);
    ASSERT_EQ(inst_.Run({"get", "RELAY"}).status, 0);  // the queued one deferred
    RunResult full = inst_.Run({"metrics"});
    ASSERT_EQ(full.status, 0) << full.err;
    s.clear();
    ASSERT_EQ(ParseExposition(full.out, &s), "") << full.out;
    struct Want {
        const char* series;
        double value;
    } want[] = {
        {"mqtoolkit_queue_entries{channel=RELAY,state=queued,}", 1},
        {"mqtoolkit_queue_entries{channel=RELAY,state=held,}", 1},
        {"mqtoolkit_queue_entries{channel=RELAY,state=failed,}", 0},
        {"mqtoolkit_queue_bytes{channel=RELAY,state=queued,}", 3},
        {"mqtoolkit_queue_bytes{channel=RELAY,state=held,}", 5},
        {"mqtoolkit_queue_attempts{channel=RELAY,}", 0},
        {"mqtoolkit_queue_deferrals{channel=RELAY,}", 1},
        {"mqtoolkit_queue_deferred_entries{channel=RELAY,}", 1},
        {"mqtoolkit_queue_deferred_entries{channel=IDLE,}", 0},
        {"mqtoolkit_queue_leased_entries{channel=RELAY,}", 0},
        {"mqtoolkit_queue_entries{channel=IDLE,state=queued,}", 0},
    };
    for (const Want& w : want) {
        ASSERT_EQ(s.count(w.series), 1u) << w.series << " missing:\n" << full.out;
        EXPECT_EQ(s[w.series], w.value) << w.series;
    }
    double age = s["mqtoolkit_queue_oldest_age_seconds{channel=RELAY,}"];
    EXPECT_TRUE(age >= 0 && age < 300) << "oldest age " << age;
    // Ten minutes on, the deferred entry is ten minutes old and due again.
    RunResult later = inst_.Run({"metrics"}, "", {"MQ_TEST_CLOCK_OFFSET=600"});
    Samples l;
    ASSERT_EQ(ParseExposition(later.out, &l), "") << later.out;
    EXPECT_EQ(l["mqtoolkit_queue_deferred_entries{channel=RELAY,}"], 0);
    RunResult soon = inst_.Run({"metrics"}, "", {"MQ_TEST_CLOCK_OFFSET=120"});
    Samples o;
    ASSERT_EQ(ParseExposition(soon.out, &o), "") << soon.out;
    double deferredAge = o["mqtoolkit_queue_oldest_deferred_age_seconds{channel=RELAY,}"];
    EXPECT_TRUE(deferredAge >= 120 && deferredAge < 400) << deferredAge;

    // The store's sizes, as check shows them: a database of some pages, a
    // log that holds the puts' commits, no more free than there is.
    for (const char* m : {"mqtoolkit_store_database_bytes{}",
                          "mqtoolkit_store_database_free_bytes{}", "mqtoolkit_store_wal_bytes{}"}) {
        ASSERT_EQ(s.count(m), 1u) << m << " missing:\n" << full.out;
    }
    double db = s["mqtoolkit_store_database_bytes{}"];
    EXPECT_GE(db, 4096) << "got a database of " << db << " bytes";
    EXPECT_GT(s["mqtoolkit_store_wal_bytes{}"], 0) << "got no log after two puts";
    EXPECT_LE(s["mqtoolkit_store_database_free_bytes{}"], db);
}

TEST_F(ToolMonitor, StatusLineAndExitCodeByThreshold) {
    Put("1");
    Put("2");
    struct Case {
        std::vector<std::string> args;
        int status;
        const char* start;  // the status line's beginning
        const char* perf;   // a part of its performance data
    } cases[] = {
        {{"monitor"}, 0, "MQ OK - 2 entries, oldest ", "| entries=2;;;0 oldest="},
        {{"monitor", "--warn-count", "2", "--crit-count", "3"}, 1, "MQ WARNING - 2 entries",
         "entries=2;2;3;0"},
        {{"monitor", "--warn-count", "1", "--crit-count", "2"}, 2, "MQ CRITICAL - ", "entries=2;1;2;0"},
        {{"monitor", "--crit-age", "1h"}, 0, "MQ OK - ", "s;;3600;0"},
        {{"monitor", "--warn-age", "0"}, 1, "MQ WARNING - ", "s;0;;0"},
        {{"monitor", "IDLE", "--warn-count", "1"}, 0, "MQ OK - channel IDLE: 0 entries",
         "entries=0;1;;0"},
        {{"monitor", "NOPE"}, 3, "MQ UNKNOWN - channel NOPE is not registered", ""},
        {{"monitor", "--warn-age", "soon"}, 3, "MQ UNKNOWN - usage: --warn-age soon", ""},
        {{"check", "--nagios", "--warn-count", "2"}, 1, "MQ WARNING - 2 entries", "entries=2;2;;0"},
        {{"monitor"}, 0, "MQ OK - 2 entries, oldest ", " 0 failed, 0 deferred | "},
    };
    for (const Case& tc : cases) {
        std::string name;
        for (const std::string& a : tc.args) name += a + " ";
        RunResult r = inst_.Run(tc.args);
        EXPECT_EQ(r.status, tc.status) << name << ": " << r.out << r.err;
        EXPECT_EQ(r.out.rfind(tc.start, 0), 0u) << name << ": got " << r.out;
        EXPECT_NE(r.out.find(tc.perf), std::string::npos) << name << ": got " << r.out;
        EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 1) << name << ": one line";
    }
    // A look puts one off: counted apart, and due again ten minutes on.
    ASSERT_EQ(inst_.Run({"get", "RELAY"}).status, 0);
    EXPECT_NE(inst_.Run({"monitor"}).out.find("deferred=1;;;0"), std::string::npos);
    EXPECT_NE(inst_.Run({"monitor"}, "", {"MQ_TEST_CLOCK_OFFSET=600"}).out.find("deferred=0;;;0"),
              std::string::npos);
    EXPECT_EQ(inst_.Run({"monitor", "--bogus"}).status, 3) << "usage errors are UNKNOWN";
    EXPECT_EQ(inst_.Run({"check", "--nagios", "--bogus"}).status, 3);
    RunResult noConfig = inst_.Run({"monitor"}, "", {"MQ_CONFIG_DIR=/nonexistent"});
    EXPECT_EQ(noConfig.status, 3);
    EXPECT_EQ(noConfig.out.rfind("MQ UNKNOWN - ", 0), 0u) << noConfig.out;
}

}  // namespace
}  // namespace mqtest
