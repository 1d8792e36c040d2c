// log.cpp - LogMessage: one line per call to syslog (facility mail), to
// standard error, or appended to a file, as MQ_LOG says.
//
// The destination is chosen once per process, on the first call. Syslog lines
// are sent as datagrams on a non-blocking socket to /dev/log (or the socket
// "syslog:PATH" names, for hosts whose log socket lies elsewhere), with the
// application name as the tag of each line (the process-wide openlog ident
// would make concurrent applications' tags race); a line the log daemon can't
// take at once is dropped. File and standard error lines go out in one
// write(2) each, and are kept shorter than PIPE_BUF, so lines of concurrent
// callers never interleave, not even on a pipe.
#include "log.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

// Stamps come from clock_gettime, which fails from 2038 on with a 32-bit
// time_t (i386 without _TIME_BITS=64).
static_assert(sizeof(time_t) >= 8, "the logger needs 64-bit time");

const size_t kMaxMessage = 2048;
// An application name is at most 254 bytes; a longer tag is cut, so that a
// whole line stays within PIPE_BUF.
const size_t kMaxTag = 255;
const char kSyslogPrefix[] = "syslog:";

enum class Sink { kSyslog, kFd };

struct Destination {
    Sink sink = Sink::kSyslog;
    int fd = -1;                                     // the file or standard error, for Sink::kFd
    sockaddr_un socketAddress{AF_UNIX, "/dev/log"};  // for Sink::kSyslog
};

std::once_flag g_once;
Destination g_dest;
std::mutex g_socketMutex;
int g_socket = -1;  // guarded by g_socketMutex
// With no log daemon to connect to, lines are dropped without trying again
// until this second (guarded by g_socketMutex): a host without one (a
// container, say) must not cost every line a socket, a connect and a close.
time_t g_connectAfter = 0;
// This process's id for the lines, asked of the kernel once per process (0:
// not yet; the fork handler clears it in the child).
std::atomic<pid_t> g_pid{0};

// Seconds east of UTC, as libc last said, and until when to believe it.
std::atomic<long> g_utcOffset{0};
std::atomic<time_t> g_offsetUntil{0};
std::atomic<bool> g_forkedChild{false};

// The program's failure hook (LogSetFailureHook) and its context.
std::atomic<LogFailureHook> g_failureHook{nullptr};
std::atomic<void*> g_failureContext{nullptr};

// A child forked while another thread of its parent held the socket mutex
// would find it locked for ever: fork waits for the mutex, and both sides
// release it afterwards. libc's time-zone lock can't be treated so, and a
// forked child may find it held: the child never asks libc for local time.
void LockBeforeFork() { g_socketMutex.lock(); }
void UnlockInParent() { g_socketMutex.unlock(); }
void UnlockInChild() {
    g_forkedChild = true;
    g_pid = 0;
    g_connectAfter = 0;
    g_socketMutex.unlock();
}
// Registered when the library is loaded, so that no fork comes before it.
[[maybe_unused]] const int g_forkHandlers =
    pthread_atfork(LockBeforeFork, UnlockInParent, UnlockInChild);

// The broken-down time of a moment offset seconds east of UTC, computed here
// because gmtime_r and localtime_r take libc's time-zone lock.
struct Civil {
    long long year;
    int month, day, hour, minute, second;  // month 1-12
};

Civil ToCivil(time_t when, long offset) {
    long long t = static_cast<long long>(when) + offset;
    long long days = t / 86400, seconds = t % 86400;
    if (seconds < 0) {
        seconds += 86400;
        --days;
    }
    // Days since 1970-01-01 to a proleptic Gregorian date, by 400-year eras.
    long long z = days + 719468;
    long long era = (z >= 0 ? z : z - 146096) / 146097;
    long long doe = z - era * 146097;
    long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    long long mp = (5 * doy + 2) / 153;
    int month = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
    return {yoe + era * 400 + (month <= 2),
            month,
            static_cast<int>(doy - (153 * mp + 2) / 5 + 1),
            static_cast<int>(seconds / 3600),
            static_cast<int>(seconds / 60 % 60),
            static_cast<int>(seconds % 60)};
}

// The local UTC offset at now, asked of libc at most once a minute (a change
// of summer time shows within the minute); a forked child keeps the last one,
// or UTC when its parent never logged to syslog.
long LocalOffset(time_t now) {
    if (g_forkedChild || now < g_offsetUntil) return g_utcOffset;
    tm parts{};
    if (localtime_r(&now, &parts) != nullptr) g_utcOffset = parts.tm_gmtoff;
    g_offsetUntil = now - now % 60 + 60;
    return g_utcOffset;
}

void ChooseDestination() {
    const char* setting = std::getenv("MQ_LOG");
    if (setting == nullptr || *setting == '\0' || std::strcmp(setting, "syslog") == 0) return;
    if (std::strncmp(setting, kSyslogPrefix, sizeof kSyslogPrefix - 1) == 0) {
        const char* path = setting + sizeof kSyslogPrefix - 1;
        // A path the socket address can't hold leaves the standard socket.
        size_t length = std::strlen(path);
        if (length > 0 && length < sizeof g_dest.socketAddress.sun_path)
            std::memcpy(g_dest.socketAddress.sun_path, path, length + 1);
        return;
    }
    if (std::strcmp(setting, "stderr") == 0) {
        g_dest = {Sink::kFd, STDERR_FILENO};
        return;
    }
    if (setting[0] == '/') {
        int fd = open(setting, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
        // A log file that can't be opened must not silence the log.
        g_dest = {Sink::kFd, fd >= 0 ? fd : STDERR_FILENO};
        return;
    }
    // Anything else is not a destination we know: keep syslog.
}

int Severity(int level) {
    if (level < LOG_EMERG) return LOG_EMERG;
    if (level > LOG_DEBUG) return LOG_DEBUG;
    return level;
}

const char* SeverityName(int severity) {
    static const char* const kNames[] = {"emerg",   "alert",  "crit", "error",
                                         "warning", "notice", "info", "debug"};
    return kNames[severity];
}

// One line being put together on the stack: the logger allocates nothing,
// so it can't fail for want of memory, and a child forked from a threaded
// process may log even where the heap's locks were left held.
class Line {
  public:
    void Append(const char* text, size_t length) {
        length = std::min(length, sizeof data_ - size_);
        std::memcpy(data_ + size_, text, length);
        size_ += length;
    }
    void Append(const char* text) { Append(text, std::strlen(text)); }
    // Appends text, at most maxLength bytes of it, each control character but
    // the tab (a line end above all) made a space, so that one call always
    // gives one line.
    void AppendFlat(const char* text, size_t maxLength) {
        size_t start = size_;
        Append(text, strnlen(text, maxLength));
        for (size_t i = start; i < size_; ++i) {
            if (static_cast<unsigned char>(data_[i]) < 0x20 && data_[i] != '\t') data_[i] = ' ';
        }
    }
    void AppendNumber(long long n) {
        char digits[24];
        int length = std::snprintf(digits, sizeof digits, "%lld", n);
        if (length > 0) Append(digits, static_cast<size_t>(length));
    }
    const char* data() const { return data_; }
    size_t size() const { return size_; }
    // The bytes from start on as a C string (the line is cut, if need be,
    // to make room for the terminator).
    const char* TextFrom(size_t start) {
        size_ = std::min(size_, sizeof data_ - 1);
        data_[size_] = '\0';
        return data_ + std::min(start, size_);
    }

  private:
    // A write of at most PIPE_BUF bytes to a pipe is never interleaved.
    char data_[PIPE_BUF];
    size_t size_ = 0;
};
static_assert(kMaxMessage + kMaxTag + 128 <= PIPE_BUF, "a whole line fits in one pipe write");

// Sends one datagram to the log daemon, connecting (again) when needed; with
// no daemon there, tries again at the first line a second later.
void SendSyslog(const Line& datagram, time_t now) {
    std::lock_guard<std::mutex> hold(g_socketMutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (g_socket < 0) {
            if (now < g_connectAfter) return;
            g_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (g_socket < 0) return;
            const sockaddr_un& addr = g_dest.socketAddress;
            if (connect(g_socket, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
                close(g_socket);
                g_socket = -1;
                g_connectAfter = now + 1;
                return;  // no log daemon: nothing to deliver to
            }
        }
        if (send(g_socket, datagram.data(), datagram.size(), MSG_DONTWAIT | MSG_NOSIGNAL) >= 0)
            return;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return;  // daemon busy: drop
        // The daemon restarted or the socket went stale: reconnect once.
        close(g_socket);
        g_socket = -1;
    }
}

pid_t ProcessId() {
    pid_t pid = g_pid;
    if (pid == 0) g_pid = pid = getpid();
    return pid;
}

void WriteLine(int fd, const Line& line) {
    const char* p = line.data();
    size_t left = line.size();
    while (left > 0) {
        ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;  // the log never fails its caller
        p += n;
        left -= static_cast<size_t>(n);
    }
}

}  // namespace

// LogMessage - log one line at a level as an application.
void LogMessage(int iLevel, const char* szAppName, const char* szMessage) {
    int savedErrno = errno;  // callers log between a failure and its report
    std::call_once(g_once, ChooseDestination);
    const char* app = szAppName != nullptr && *szAppName != '\0' ? szAppName : "-";
    const char* text = szMessage != nullptr ? szMessage : "-";
    int severity = Severity(iLevel);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    char stamp[64];
    if (g_dest.sink == Sink::kSyslog) {
        // Log daemons read the month in English whatever the caller's locale.
        static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                              "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
        Civil local = ToCivil(now.tv_sec, LocalOffset(now.tv_sec));
        std::snprintf(stamp, sizeof stamp, "<%d>%s %2d %02d:%02d:%02d ", LOG_MAIL | severity,
                      kMonths[local.month - 1], local.day, local.hour, local.minute, local.second);
        Line line;
        line.Append(stamp);
        line.AppendFlat(app, kMaxTag);
        line.Append("[");
        line.AppendNumber(ProcessId());
        line.Append("]: ");
        line.AppendFlat(text, kMaxMessage);
        SendSyslog(line, now.tv_sec);
    } else {
        Civil utc = ToCivil(now.tv_sec, 0);
        std::snprintf(stamp, sizeof stamp, "%04lld-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.year,
                      utc.month, utc.day, utc.hour, utc.minute, utc.second, now.tv_nsec / 1000000L);
        Line line;
        line.Append(stamp);
        line.Append(" ");
        line.AppendFlat(app, kMaxTag);
        line.Append("[");
        line.AppendNumber(ProcessId());
        line.Append("] ");
        line.Append(SeverityName(severity));
        line.Append(": ");
        line.AppendFlat(text, kMaxMessage);
        line.Append("\n");
        WriteLine(g_dest.fd, line);
    }
    if (LogFailureHook hook = g_failureHook.load(); hook != nullptr && severity <= MQLOG_WARNING) {
        Line flat;
        flat.AppendFlat(text, kMaxMessage);
        Line flatApp;
        flatApp.AppendFlat(app, kMaxTag);
        hook(severity, flatApp.TextFrom(0), flat.TextFrom(0), g_failureContext.load());
    }
    errno = savedErrno;
}

void LogSetFailureHook(LogFailureHook hook, void* pContext) {
    g_failureContext = pContext;
    g_failureHook = hook;
}

void LogMessagef(int iLevel, const char* szAppName, const char* szFormat, ...) {
    int savedErrno = errno;  // vsnprintf may set it; the caller's is kept
    char buffer[kMaxMessage + 1];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buffer, sizeof buffer, szFormat != nullptr ? szFormat : "-", args);
    va_end(args);
    errno = savedErrno;
    LogMessage(iLevel, szAppName, buffer);
}
