// Tests of LogMessage in real processes: each configuration runs the
// log_helper program with MQ_LOG set, and the tests read what reached the
// file, the stderr pipe or a syslog socket they bind.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "child.h"
#include "temp_dir.h"
#include "thread_line.h"

namespace {

// The helper with args; MQ_LOG set to mqlog, or removed when null, and the
// "NAME=value" texts of extraEnv added.
mqtest::Program Helper(const std::vector<std::string>& args, const char* mqlog,
                       const std::vector<std::string>& extraEnv = {}) {
    std::vector<std::string> argv{MQTEST_LOG_HELPER};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<std::string> env{mqlog != nullptr ? std::string("MQ_LOG=") + mqlog : "MQ_LOG"};
    env.insert(env.end(), extraEnv.begin(), extraEnv.end());
    return mqtest::Program(argv, env);
}

struct Outcome {
    int exitCode = -1000;  // the exit status, or minus the signal that ended it
    std::string err;
};

// Reads the helper's stderr to its end, then reaps it.
Outcome Finish(mqtest::Child& child) {
    Outcome out;
    out.exitCode = child.Finish("", nullptr, &out.err);
    return out;
}

Outcome RunHelper(const std::vector<std::string>& args, const char* mqlog, pid_t* pid = nullptr,
                  const std::vector<std::string>& extraEnv = {}) {
    mqtest::Child child(Helper(args, mqlog, extraEnv));
    if (pid != nullptr) *pid = child.pid();
    return Finish(child);
}

std::vector<std::string> SplitLines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

// True when text matches pattern, where 'd' stands for a digit, 'D' for a
// digit or a space, 'A' for an upper-case and 'a' for a lower-case letter.
bool Matches(const std::string& text, const char* pattern) {
    size_t n = std::strlen(pattern);
    if (text.size() < n) return false;
    for (size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        bool ok = pattern[i] == 'd'   ? std::isdigit(c) != 0
                  : pattern[i] == 'D' ? (std::isdigit(c) != 0 || c == ' ')
                  : pattern[i] == 'A' ? std::isupper(c) != 0
                  : pattern[i] == 'a' ? std::islower(c) != 0
                                      : c == static_cast<unsigned char>(pattern[i]);
        if (!ok) return false;
    }
    return true;
}

// Splits "NAME[PID]<close>REST" at the first "[digits]" followed by close.
bool SplitTagged(const std::string& text, const std::string& close, std::string* name,
                 std::string* pid, std::string* rest) {
    for (size_t end = text.find(close); end != std::string::npos; end = text.find(close, end + 1)) {
        size_t open = end;
        while (open > 0 && std::isdigit(static_cast<unsigned char>(text[open - 1])) != 0) --open;
        if (open == end || open == 0 || text[open - 1] != '[') continue;
        *name = text.substr(0, open - 1);
        *pid = text.substr(open, end - open);
        *rest = text.substr(end + close.size());
        return true;
    }
    return false;
}

// A file or stderr line, taken apart.
struct FdLine {
    time_t when = 0;
    std::string app, pid, level, text;
};

// Reads "2026-12-08T01:23:45.123Z APP[PID] level: text".
bool ParseFdLine(const std::string& line, FdLine* out) {
    const char kStamp[] = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (!Matches(line, kStamp)) return false;
    tm parts{};
    parts.tm_year = std::stoi(line.substr(0, 4)) - 1900;
    parts.tm_mon = std::stoi(line.substr(5, 2)) - 1;
    parts.tm_mday = std::stoi(line.substr(8, 2));
    parts.tm_hour = std::stoi(line.substr(11, 2));
    parts.tm_min = std::stoi(line.substr(14, 2));
    parts.tm_sec = std::stoi(line.substr(17, 2));
    FdLine got;
    got.when = timegm(&parts);
    std::string rest;
    if (!SplitTagged(line.substr(sizeof kStamp - 1), "] ", &got.app, &got.pid, &rest)) return false;
    size_t colon = rest.find(": ");
    if (colon == std::string::npos || colon == 0) return false;
    got.level = rest.substr(0, colon);
    for (char c : got.level) {
        if (std::islower(static_cast<unsigned char>(c)) == 0) return false;
    }
    got.text = rest.substr(colon + 2);
    *out = got;
    return true;
}

// A syslog datagram, taken apart.
struct SyslogLine {
    int priority = -1;
    std::string month, tag, pid, text;
};

// Reads "<PRI>Mmm dd hh:mm:ss TAG[PID]: text".
bool ParseSyslog(const std::string& datagram, SyslogLine* out) {
    size_t close = datagram.find('>');
    if (datagram.empty() || datagram[0] != '<' || close == std::string::npos || close < 2 ||
        close > 4)
        return false;
    std::string pri = datagram.substr(1, close - 1);
    for (char c : pri) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) return false;
    }
    std::string rest = datagram.substr(close + 1);
    const char kStamp[] = "Aaa Dd dd:dd:dd ";
    if (!Matches(rest, kStamp)) return false;
    SyslogLine got;
    got.priority = std::stoi(pri);
    got.month = rest.substr(0, 3);
    if (!SplitTagged(rest.substr(sizeof kStamp - 1), "]: ", &got.tag, &got.pid, &got.text))
        return false;
    *out = got;
    return true;
}

// A log daemon's socket, bound in a temporary directory.
class SyslogSocket {
  public:
    // Bound at once, or (bound false) only at the first Rebind().
    explicit SyslogSocket(bool bound = true) : path_(dir_.File("log.sock")) {
        if (bound) Bind();
    }
    ~SyslogSocket() {
        if (fd_ >= 0) close(fd_);
    }
    SyslogSocket(const SyslogSocket&) = delete;
    SyslogSocket& operator=(const SyslogSocket&) = delete;

    bool ok() const { return fd_ >= 0; }
    std::string logSetting() const { return "syslog:" + path_; }

    // The daemon going away and coming back at the same path.
    void Rebind() {
        if (fd_ >= 0) close(fd_);
        unlink(path_.c_str());
        Bind();
    }

    // The next datagram; false when none comes within waitMs.
    bool Receive(std::string* datagram, int waitMs = 10000) {
        pollfd p{fd_, POLLIN, 0};
        if (poll(&p, 1, waitMs) != 1) return false;
        char buffer[8192];
        ssize_t n = recv(fd_, buffer, sizeof buffer, 0);
        if (n < 0) return false;
        datagram->assign(buffer, static_cast<size_t>(n));
        return true;
    }

  private:
    void Bind() {
        fd_ = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        if (fd_ < 0 || path_.size() >= sizeof addr.sun_path) return;
        std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
        if (bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }

    mqtest::TempDir dir_;
    std::string path_;
    int fd_ = -1;
};

// One call of the helper's "lines" mode and the line it should give.
struct LineCase {
    const char* name;
    std::string level, app, text;  // as passed; "(null)" for a null pointer
    std::string wantApp, wantLevel, wantText;
    int wantSeverity;
};

std::vector<LineCase> LineCases() {
    return {
        {"notice", "5", "API_MQ", "Email address: bob@example.org", "API_MQ", "notice",
         "Email address: bob@example.org", LOG_NOTICE},
        {"error", "3", "mqapi", "open queue.db: No such file", "mqapi", "error",
         "open queue.db: No such file", LOG_ERR},
        {"critical", "2", "a", "x", "a", "crit", "x", LOG_CRIT},
        {"debug", "7", "a", "x", "a", "debug", "x", LOG_DEBUG},
        {"emergency", "0", "a", "x", "a", "emerg", "x", LOG_EMERG},
        {"below 0 counts as 0", "-4", "a", "x", "a", "emerg", "x", LOG_EMERG},
        {"above 7 counts as 7", "99", "a", "x", "a", "debug", "x", LOG_DEBUG},
        {"control characters flattened", "6", "a",
         "one\ntwo\r\nthree\x01"
         "four\tfive",
         "a", "info", "one two  three four\tfive", LOG_INFO},
        {"application flattened", "6", "ap\np", "x", "ap p", "info", "x", LOG_INFO},
        {"no application", "6", "(null)", "x", "-", "info", "x", LOG_INFO},
        {"empty application", "6", "", "x", "-", "info", "x", LOG_INFO},
        {"no message", "6", "a", "(null)", "a", "info", "-", LOG_INFO},
        {"percent signs are text", "6", "a", "100%s %n %d", "a", "info", "100%s %n %d", LOG_INFO},
        {"message cut at 2048", "6", "a", std::string(5000, 'm'), "a", "info",
         std::string(2048, 'm'), LOG_INFO},
        {"application cut at 255", "6", std::string(400, 'p'), "x", std::string(255, 'p'), "info",
         "x", LOG_INFO},
    };
}

std::vector<std::string> LinesArgs(const std::vector<LineCase>& cases) {
    std::vector<std::string> args{"lines"};
    for (const LineCase& c : cases) {
        args.push_back(c.level);
        args.push_back(c.app);
        args.push_back(c.text);
    }
    return args;
}

// Checks lines of the file or stderr format against the cases, in order.
void ExpectFdLines(const std::string& output, pid_t pid, time_t before, time_t after) {
    std::vector<LineCase> cases = LineCases();
    std::vector<std::string> lines = SplitLines(output);
    ASSERT_EQ(lines.size(), cases.size()) << "got:\n" << output;
    for (size_t i = 0; i < cases.size(); ++i) {
        const LineCase& c = cases[i];
        FdLine got;
        ASSERT_TRUE(ParseFdLine(lines[i], &got)) << c.name << ": unreadable line " << lines[i];
        EXPECT_EQ(got.app, c.wantApp) << c.name;
        EXPECT_EQ(got.pid, std::to_string(pid)) << c.name;
        EXPECT_EQ(got.level, c.wantLevel) << c.name;
        EXPECT_EQ(got.text, c.wantText) << c.name;
        EXPECT_TRUE(got.when >= before && got.when <= after)
            << c.name << ": got time " << got.when << ", want " << before << ".." << after
            << " (UTC)";
    }
}

TEST(LoggerFile, LineFormat) {
    mqtest::TempDir dir;
    std::string log = dir.Write("mq.log", "kept\n");
    time_t before = time(nullptr);
    pid_t pid;
    Outcome out = RunHelper(LinesArgs(LineCases()), log.c_str(), &pid);
    time_t after = time(nullptr);
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.err, "");

    std::string content = ReadFile(log);
    ASSERT_EQ(content.compare(0, 5, "kept\n"), 0) << "the file was not appended to";
    ExpectFdLines(content.substr(5), pid, before, after);
}

TEST(LoggerFile, Formatted) {
    mqtest::TempDir dir;
    std::string log = dir.File("f.log");
    ASSERT_EQ(RunHelper({"format"}, log.c_str()).exitCode, 0);
    FdLine got;
    ASSERT_TRUE(ParseFdLine(SplitLines(ReadFile(log)).at(0), &got)) << ReadFile(log);
    EXPECT_EQ(got.text, "n=42|  2.5");
    EXPECT_EQ(got.level, "error");
}

TEST(LoggerStderr, LineFormat) {
    time_t before = time(nullptr);
    pid_t pid;
    Outcome out = RunHelper(LinesArgs(LineCases()), "stderr", &pid);
    time_t after = time(nullptr);
    ASSERT_EQ(out.exitCode, 0) << out.err;
    ExpectFdLines(out.err, pid, before, after);
}

// A log file that can't be opened must not silence the log.
TEST(LoggerStderr, UnopenableFileFallsBack) {
    Outcome out = RunHelper({"lines", "4", "a", "still here"}, "/nonexistent/dir/mq.log");
    ASSERT_EQ(out.exitCode, 0) << out.err;
    FdLine got;
    ASSERT_TRUE(ParseFdLine(SplitLines(out.err).at(0), &got)) << out.err;
    EXPECT_EQ(got.text, "still here");
}

// A program's failure hook sees each warning, error and worse line, flattened
// as the log has it, wherever MQ_LOG sends the lines; lesser levels never.
TEST(LoggerHook, FailureLinesReachTheHook) {
    mqtest::TempDir dir;
    std::string log = dir.File("h.log");
    Outcome out = RunHelper({"hook", "6", "app", "an info line", "3", "app", "open /x: No such\nfile",
                             "4", "(null)", "a warning", "7", "app", "debug", "0", "app", "emerg",
                             "5", "app", "a notice"},
                            log.c_str());
    ASSERT_EQ(out.exitCode, 0) << out.err;
    EXPECT_EQ(out.err, "3|app|open /x: No such file|ctx\n4|-|a warning|ctx\n0|app|emerg|ctx\n");
    EXPECT_EQ(SplitLines(ReadFile(log)).size(), 6u) << "every line is logged as well";
    Outcome none = RunHelper({"lines", "3", "app", "no hook set"}, log.c_str());
    EXPECT_EQ(none.err, "") << "without a hook nothing is printed";
}

// The syslog time stamp of a moment in a zone offset seconds east of UTC.
std::string SyslogStamp(time_t when, long offset) {
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    time_t shifted = when + offset;
    tm parts{};
    gmtime_r(&shifted, &parts);
    char stamp[32];
    std::snprintf(stamp, sizeof stamp, "%s %2d %02d:%02d:%02d", kMonths[parts.tm_mon],
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec);
    return stamp;
}

// A log daemon's queue holds only a few datagrams (net.unix.max_dgram_qlen,
// often 10) and the logger never waits: one line per process, read at once.
TEST(LoggerSyslog, Datagrams) {
    SyslogSocket daemon;
    ASSERT_TRUE(daemon.ok());
    // Local time 5:30 east of UTC, whatever this machine's zone.
    const long kOffset = 5 * 3600 + 30 * 60;
    const std::vector<std::string> zone{"TZ=XYZ-05:30"};
    for (const LineCase& c : LineCases()) {
        pid_t pid;
        time_t before = time(nullptr);
        Outcome out =
            RunHelper({"lines", c.level, c.app, c.text}, daemon.logSetting().c_str(), &pid, zone);
        time_t after = time(nullptr);
        ASSERT_EQ(out.exitCode, 0) << c.name << "\n" << out.err;
        EXPECT_EQ(out.err, "") << c.name << ": syslog lines must not reach stderr";

        std::string datagram;
        ASSERT_TRUE(daemon.Receive(&datagram)) << c.name << ": no datagram";
        SyslogLine got;
        ASSERT_TRUE(ParseSyslog(datagram, &got)) << c.name << ": unreadable " << datagram;
        EXPECT_EQ(got.priority, LOG_MAIL | c.wantSeverity)
            << c.name << ": got priority " << got.priority;
        EXPECT_EQ(got.tag, c.wantApp) << c.name;
        EXPECT_EQ(got.pid, std::to_string(pid)) << c.name;
        EXPECT_EQ(got.text, c.wantText) << c.name;
        bool inTime = false;
        for (time_t t = before; t <= after; ++t)
            inTime = inTime || datagram.find(SyslogStamp(t, kOffset)) != std::string::npos;
        EXPECT_TRUE(inTime) << c.name << ": got " << datagram.substr(0, 30) << ", want local time "
                            << SyslogStamp(before, kOffset);
        std::string extra;
        EXPECT_FALSE(daemon.Receive(&extra, 0)) << c.name << ": one datagram too many: " << extra;
    }
}

// A restarted log daemon leaves the logger's socket stale; the next line
// must reach the new one.
TEST(LoggerSyslog, DaemonRestart) {
    SyslogSocket daemon;
    ASSERT_TRUE(daemon.ok());
    mqtest::Child child(Helper({"restart"}, daemon.logSetting().c_str()));
    ASSERT_GT(child.pid(), 0);
    std::string datagram;
    EXPECT_TRUE(daemon.Receive(&datagram));
    SyslogLine got;
    EXPECT_TRUE(ParseSyslog(datagram, &got) && got.text == "one") << datagram;

    daemon.Rebind();
    ASSERT_TRUE(daemon.ok());
    EXPECT_EQ(write(child.input(), "x", 1), 1);
    EXPECT_TRUE(daemon.Receive(&datagram)) << "nothing after the restart";
    EXPECT_TRUE(ParseSyslog(datagram, &got) && got.text == "two") << datagram;
    Outcome out = Finish(child);
    EXPECT_EQ(out.exitCode, 0) << out.err;
}

// A log daemon that was not there at first is reached once it is: the
// logger waits a second after a failed connect before trying again.
TEST(LoggerSyslog, DaemonThatComesLaterIsReached) {
    SyslogSocket daemon(false);
    mqtest::Child child(Helper({"restart"}, daemon.logSetting().c_str()));
    ASSERT_GT(child.pid(), 0);
    usleep(300 * 1000);  // "one" goes nowhere, most likely
    daemon.Rebind();
    ASSERT_TRUE(daemon.ok());
    sleep(2);  // past the second the logger waits before connecting again
    EXPECT_EQ(write(child.input(), "x", 1), 1);
    std::string datagram;
    SyslogLine got;
    bool two = false;
    while (!two && daemon.Receive(&datagram)) two = ParseSyslog(datagram, &got) && got.text == "two";
    EXPECT_TRUE(two) << "the daemon that came later got nothing";
    Outcome out = Finish(child);
    EXPECT_EQ(out.exitCode, 0) << out.err;
}

// No log daemon, or one that reads nothing: every call returns, the
// caller's errno unchanged, and nothing spills onto stderr.
TEST(LoggerSyslog, AbsentOrStuckDaemon) {
    SyslogSocket stuck;
    ASSERT_TRUE(stuck.ok());
    mqtest::TempDir dir;
    std::string absent = "syslog:" + dir.File("nobody.sock");
    struct {
        const char* name;
        std::string setting;
    } cases[] = {
        {"no socket", absent},
        {"no directory", "syslog:/nonexistent/dir/log"},
        {"daemon never reads", stuck.logSetting()},
    };
    for (const auto& c : cases) {
        Outcome out = RunHelper({"errno", "3000"}, c.setting.c_str());
        EXPECT_EQ(out.exitCode, 0)
            << c.name << ": got exit " << out.exitCode << " (3: errno changed, -14: blocked)\n"
            << out.err;
        EXPECT_EQ(out.err, "") << c.name;
    }
    // The stuck daemon's queue holds some whole lines; the rest were dropped.
    std::string datagram;
    int received = 0;
    while (stuck.Receive(&datagram, 0)) {
        SyslogLine got;
        EXPECT_TRUE(ParseSyslog(datagram, &got)) << datagram;
        ++received;
    }
    EXPECT_GT(received, 0);
    EXPECT_LT(received, 6000) << "nothing was dropped: the test proves nothing";
}

// A child forked while another thread is logging must be able to log: no
// lock of the logger's, nor libc's time-zone lock, may be left held in it.
TEST(LoggerFork, WhileAnotherThreadLogs) {
    const char* const settings[] = {"syslog:/nonexistent/dir/log", "/dev/null"};
    for (const char* setting : settings) {
        Outcome out = RunHelper({"fork", "200"}, setting);
        EXPECT_EQ(out.exitCode, 0)
            << setting << ": got exit " << out.exitCode << " (5: a child hung or failed)\n"
            << out.err;
    }
}

// Lines of many threads at once come out whole, each exactly once.
void ExpectThreadLines(const std::string& output, int threads, int lines) {
    std::vector<std::string> got = SplitLines(output);
    EXPECT_EQ(got.size(), static_cast<size_t>(threads * lines));
    std::set<std::string> seen;
    int broken = 0;
    for (const std::string& line : got) {
        FdLine parsed;
        int t = -1, i = -1;
        if (!ParseFdLine(line, &parsed) ||
            std::sscanf(parsed.text.c_str(), "thread %d line %d", &t, &i) != 2 ||
            parsed.text != mqtest::ThreadLine(t, i)) {
            if (++broken <= 3) ADD_FAILURE() << "broken line: " << line.substr(0, 200);
            continue;
        }
        EXPECT_TRUE(seen.insert(parsed.text).second) << "twice: thread " << t << " line " << i;
    }
    EXPECT_EQ(broken, 0);
    EXPECT_EQ(seen.size(), static_cast<size_t>(threads * lines));
}

TEST(LoggerThreads, WholeLines) {
    const int kThreads = 8, kLines = 300;
    const std::vector<std::string> args{"threads", std::to_string(kThreads),
                                        std::to_string(kLines)};
    {
        SCOPED_TRACE("file");
        mqtest::TempDir dir;
        std::string log = dir.File("threads.log");
        Outcome out = RunHelper(args, log.c_str());
        ASSERT_EQ(out.exitCode, 0) << out.err;
        ExpectThreadLines(ReadFile(log), kThreads, kLines);
    }
    {
        SCOPED_TRACE("stderr pipe");
        Outcome out = RunHelper(args, "stderr");
        ASSERT_EQ(out.exitCode, 0);
        ExpectThreadLines(out.err, kThreads, kLines);
    }
}

}  // namespace
