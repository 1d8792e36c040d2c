// log.cpp - LogMessage: one line per call to syslog (facility mail), to
// standard error, or appended to a file, as MQ_LOG says.
//
// The destination is chosen once per process, on the first call. Syslog lines
// are sent as datagrams on a non-blocking socket to /dev/log, with the
// application name as the tag of each line (the process-wide openlog ident
// would make concurrent applications' tags race); a line the log daemon can't
// take at once is dropped. File and standard error lines go out in one
// write(2) each, so lines of concurrent callers never interleave.
#include "log.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <syslog.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

namespace {

const size_t kMaxMessage = 2048;
const char kSyslogPath[] = "/dev/log";

enum class Sink { kSyslog, kFd };

struct Destination {
    Sink sink = Sink::kSyslog;
    int fd = -1;  // the file or standard error, for Sink::kFd
};

std::once_flag g_once;
Destination g_dest;
std::mutex g_socketMutex;
int g_socket = -1;  // guarded by g_socketMutex

void ChooseDestination() {
    const char* spec = std::getenv("MQ_LOG");
    if (spec == nullptr || *spec == '\0' || std::strcmp(spec, "syslog") == 0) return;
    if (std::strcmp(spec, "stderr") == 0) {
        g_dest = {Sink::kFd, STDERR_FILENO};
        return;
    }
    if (spec[0] == '/') {
        int fd = open(spec, O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0640);
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

// Copies the message, each control character but the tab (a line end above
// all) made a space, so that one call always gives one line.
std::string OneLine(const char* text) {
    std::string out(text, strnlen(text, kMaxMessage));
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t') c = ' ';
    }
    return out;
}

// Sends one datagram to the log daemon, connecting (again) when needed.
void SendSyslog(const std::string& datagram) {
    std::lock_guard<std::mutex> hold(g_socketMutex);
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (g_socket < 0) {
            g_socket = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (g_socket < 0) return;
            sockaddr_un addr{};
            addr.sun_family = AF_UNIX;
            std::memcpy(addr.sun_path, kSyslogPath, sizeof kSyslogPath);
            if (connect(g_socket, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
                close(g_socket);
                g_socket = -1;
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

void WriteLine(int fd, const std::string& line) {
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
    std::string text = OneLine(szMessage != nullptr ? szMessage : "-");
    std::string tag = OneLine(app);
    int severity = Severity(iLevel);

    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    char stamp[64];
    if (g_dest.sink == Sink::kSyslog) {
        localtime_r(&now.tv_sec, &parts);
        strftime(stamp, sizeof stamp, "%b %e %H:%M:%S", &parts);
        char head[96];
        std::snprintf(head, sizeof head, "<%d>%s ", LOG_MAIL | severity, stamp);
        SendSyslog(head + tag + "[" + std::to_string(getpid()) + "]: " + text);
    } else {
        gmtime_r(&now.tv_sec, &parts);
        size_t len = strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &parts);
        std::snprintf(stamp + len, sizeof stamp - len, ".%03ldZ", now.tv_nsec / 1000000L);
        WriteLine(g_dest.fd, std::string(stamp) + " " + tag + "[" + std::to_string(getpid()) +
                                 "] " + SeverityName(severity) + ": " + text + "\n");
    }
    errno = savedErrno;
}

void LogMessagef(int iLevel, const char* szAppName, const char* szFormat, ...) {
    char buffer[kMaxMessage + 1];
    va_list args;
    va_start(args, szFormat);
    std::vsnprintf(buffer, sizeof buffer, szFormat != nullptr ? szFormat : "-", args);
    va_end(args);
    LogMessage(iLevel, szAppName, buffer);
}
