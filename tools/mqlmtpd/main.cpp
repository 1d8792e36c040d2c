// main.cpp - mqlmtpd: takes mail by LMTP on local or loopback sockets and
// puts each message into one channel of the queue store.
//
// One process listens and hands each connection to a worker process
// (forked, not executed: no libraries to load, no configuration to parse
// again), which serves one session at a time with its own connection to
// the store, kept open for the next session. The store makes a
// put durable under a per-process mutex that covers the commit's sync, so
// threads of one process would sync one after the other; separate
// processes share each other's syncs (the store's group commit), which is
// what lets many sessions make their puts durable for a fraction of a sync
// each. A session that crashes takes no other session with it.
//
// Exit codes (sysexits.h): 0 after SIGTERM or SIGINT, 64 for a usage error,
// 78 for a set-up the server refuses to run with (no configuration, root
// over another user's spool), 71 when a socket can't be opened.
#include <fcntl.h>
#include <netinet/in.h>
#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <mqapi.h>

#include "lmtpsession.h"
#include "listeners.h"
#include "options.h"
#include "storesink.h"

namespace mqlmtpd {
namespace {

// A body past this is spilled to a file as it arrives.
const size_t kSpillSize = 256 * 1024;

volatile sig_atomic_t g_stop = 0;
int g_wakeWrite = -1;

void OnStop(int) {
    g_stop = 1;
    if (g_wakeWrite >= 0) {
        int saved = errno;
        ssize_t ignored = write(g_wakeWrite, "t", 1);
        (void)ignored;
        errno = saved;
    }
}

void OnChild(int) {
    if (g_wakeWrite >= 0) {
        int saved = errno;
        ssize_t ignored = write(g_wakeWrite, "c", 1);
        (void)ignored;
        errno = saved;
    }
}

void Log(const std::string& line) {
    std::string out = "mqlmtpd[" + std::to_string(getpid()) + "]: " + line + "\n";
    ssize_t ignored = write(STDERR_FILENO, out.data(), out.size());
    (void)ignored;
}

std::string PeerName(int fd) {
    struct sockaddr_storage ss;
    socklen_t len = sizeof ss;
    if (getpeername(fd, reinterpret_cast<struct sockaddr*>(&ss), &len) != 0) return "unknown";
    char host[INET6_ADDRSTRLEN] = "";
    if (ss.ss_family == AF_INET) {
        auto* in = reinterpret_cast<struct sockaddr_in*>(&ss);
        inet_ntop(AF_INET, &in->sin_addr, host, sizeof host);
        return std::string(host) + ":" + std::to_string(ntohs(in->sin_port));
    }
    if (ss.ss_family == AF_INET6) {
        auto* in6 = reinterpret_cast<struct sockaddr_in6*>(&ss);
        inet_ntop(AF_INET6, &in6->sin6_addr, host, sizeof host);
        return "[" + std::string(host) + "]:" + std::to_string(ntohs(in6->sin6_port));
    }
    return "unix";
}

bool WriteAll(int fd, const std::string& data) {
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Serve - one session on fd, putting through mq (null: the store can't be
// opened, and the session is refused with 421 4.3.0).
void Serve(int fd, const Options& o, const std::string& spool, cMQ* mq) {
    const std::string peer = PeerName(fd);
    const std::string prefix = "peer=" + peer + " channel=" + o.channel + " ";
    auto log = [&](const std::string& line) { Log(prefix + line); };
    // A client that stops reading can't hold the session for longer than a
    // command's time.
    struct timeval tv = {o.commandTimeout, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);

    if (mq == nullptr) {
        WriteAll(fd, "421 4.3.0 " + o.hostname + " queue unavailable, try again later\r\n");
        log("event=session status=deferred reason=\"the queue store can't be opened\"");
        return;
    }
    StoreSink sink(mq, o.channel, spool, kSpillSize);
    LmtpSession session(&sink, o.limits, o.hostname, log);
    session.Greet();
    // SIGTERM (blocked by the worker) is taken only while waiting for the
    // client, so that a stop never cuts a put short.
    sigset_t waiting;
    sigprocmask(SIG_BLOCK, nullptr, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    char buffer[65536];
    for (;;) {
        if (!WriteAll(fd, session.TakeOutput())) {
            session.Disconnected();
            break;
        }
        if (session.Closed()) break;
        if (g_stop) {
            session.RequestStop();
            if (session.Closed()) continue;
        }
        struct pollfd p = {fd, POLLIN, 0};
        struct timespec limit = {session.InData() ? o.dataTimeout : o.commandTimeout, 0};
        int ready = ppoll(&p, 1, &limit, &waiting);
        if (ready < 0 && errno == EINTR) continue;
        if (ready == 0) {
            session.Close("4.4.2", session.InData() ? "data timeout" : "command timeout");
            log("event=timeout");
            continue;
        }
        ssize_t n = ready > 0 ? read(fd, buffer, sizeof buffer) : -1;
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            session.Disconnected();
            break;
        }
        session.Feed(buffer, static_cast<size_t>(n));
    }
}

// SendFd - passes fd over the unix socket sock. Returns false when the
// other end is gone.
bool SendFd(int sock, int fd) {
    char byte = 's';
    struct iovec iov = {&byte, 1};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    std::memset(&control, 0, sizeof control);
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &fd, sizeof(int));
    ssize_t n;
    do {
        n = sendmsg(sock, &msg, MSG_NOSIGNAL);
    } while (n < 0 && errno == EINTR);
    return n == 1;
}

// ReceiveFd - the descriptor passed over sock, or -1 when the other end
// is gone or sent none.
int ReceiveFd(int sock) {
    char byte;
    struct iovec iov = {&byte, 1};
    union {
        char buf[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof msg);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof control.buf;
    ssize_t n;
    do {
        n = recvmsg(sock, &msg, MSG_CMSG_CLOEXEC);
    } while (n < 0 && errno == EINTR);
    if (n != 1) return -1;
    struct cmsghdr* c = CMSG_FIRSTHDR(&msg);
    if (c == nullptr || c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_RIGHTS) return -1;
    int fd;
    std::memcpy(&fd, CMSG_DATA(c), sizeof(int));
    return fd;
}

// WorkerMain - a worker process: takes sessions from the listening process
// over control, one at a time, with one connection to the store kept open
// for all of them (opened again at the next session when it failed), and
// says when it is idle again. Returns when told to stop or when the
// listening process is gone.
int WorkerMain(int control, const Options& o, const std::string& spool) {
    sigset_t blocked, waiting;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGINT);
    sigprocmask(SIG_BLOCK, &blocked, &waiting);
    sigdelset(&waiting, SIGTERM);
    sigdelset(&waiting, SIGINT);
    cMQ mq;
    bool open = false;
    while (!g_stop) {
        struct pollfd p = {control, POLLIN, 0};
        int ready = ppoll(&p, 1, nullptr, &waiting);
        if (ready < 0 && errno == EINTR) continue;
        if (ready < 0) break;
        int fd = ReceiveFd(control);
        if (fd < 0) break;
        if (!open) open = mq.OpenMQChannel("mqlmtpd", kIniName) == MQ_SUCCESS;
        Serve(fd, o, spool, open ? &mq : nullptr);
        close(fd);
        if (write(control, "i", 1) != 1) break;
    }
    return 0;
}

// A worker process as the listening process sees it.
struct Worker {
    int control = -1;  // our end of its socket pair
    bool idle = false;
};
using Workers = std::map<pid_t, Worker>;

void Reap(Workers* workers) {
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        auto it = workers->find(pid);
        if (it != workers->end()) {
            close(it->second.control);
            workers->erase(it);
        }
        if (WIFSIGNALED(status)) {
            Log("event=session-died pid=" + std::to_string(pid) +
                " signal=" + std::to_string(WTERMSIG(status)));
        }
    }
}

// StartWorker - forks a worker with a socket pair to it; in the child runs
// it and exits. Returns the worker's pid (with *control), or -1.
pid_t StartWorker(const Options& o, const std::string& spool, const std::vector<int>& inherited,
                  int* control) {
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return -1;
    pid_t pid = fork();
    if (pid == 0) {
        // Nothing of the listening process stays open here: a worker
        // holding another's socket would hide that one's death.
        g_wakeWrite = -1;
        for (int fd : inherited) close(fd);
        close(pair[0]);
        signal(SIGCHLD, SIG_DFL);
        int rc = WorkerMain(pair[1], o, spool);
        close(pair[1]);
        std::exit(rc);
    }
    close(pair[1]);
    if (pid < 0) {
        close(pair[0]);
        return -1;
    }
    *control = pair[0];
    return pid;
}

// Dispatch - hands the new connection fd to an idle worker, or to a new
// one while there are fewer than --max-sessions; else refuses it.
void Dispatch(int fd, const Options& o, const std::string& spool,
              const std::vector<int>& inherited, Workers* workers) {
    for (auto& [pid, w] : *workers) {
        if (w.idle && SendFd(w.control, fd)) {
            w.idle = false;
            return;
        }
    }
    if (workers->size() >= o.maxSessions) {
        WriteAll(fd, "421 4.3.2 " + o.hostname + " too many sessions, try again later\r\n");
        Log("event=refused reason=\"over --max-sessions\" peer=" + PeerName(fd));
        return;
    }
    // The worker gets the connection over its socket like any other: its
    // inherited copy goes, or the connection would outlive the session.
    std::vector<int> open = inherited;
    open.push_back(fd);
    for (const auto& entry : *workers) open.push_back(entry.second.control);
    int control = -1;
    pid_t pid = StartWorker(o, spool, open, &control);
    if (pid < 0 || !SendFd(control, fd)) {
        WriteAll(fd, "421 4.3.2 " + o.hostname + " can't serve now, try again later\r\n");
        Log(std::string("event=error reason=\"starting a worker: ") + std::strerror(errno) + "\"");
        if (pid > 0) {
            Worker w;
            w.control = control;
            (*workers)[pid] = w;
        }
        return;
    }
    Worker w;
    w.control = control;
    (*workers)[pid] = w;
}

int Run(int argc, char** argv) {
    Options o;
    if (int rc = ParseOptions(argc, argv, &o); rc != 0) return rc;
    std::string error;
    std::string spool = SpoolDirectory(&error);
    if (spool.empty() || !RootCheck(spool, &error)) {
        std::fprintf(stderr, "mqlmtpd: %s\n", error.c_str());
        return kExitConfig;
    }
    std::vector<int> listeners = ListenersFromEnvironment();
    for (const std::string& text : o.listen) {
        ListenAddress address;
        int fd = -1;
        if (!ParseListen(text, &address, &error)) {
            std::fprintf(stderr, "mqlmtpd: %s\n", error.c_str());
            return kExitUsage;
        }
        if (!OpenListener(address, o.access, &fd, &error)) {
            std::fprintf(stderr, "mqlmtpd: %s\n", error.c_str());
            return kExitOsErr;
        }
        listeners.push_back(fd);
    }
    if (listeners.empty()) {
        std::fprintf(stderr, "mqlmtpd: nothing to listen on: give --listen or start it by its socket unit\n");
        return kExitUsage;
    }
    int wake[2];
    if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) != 0) {
        std::fprintf(stderr, "mqlmtpd: pipe: %s\n", std::strerror(errno));
        return kExitOsErr;
    }
    g_wakeWrite = wake[1];
    struct sigaction sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStop;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sa.sa_handler = OnChild;
    sa.sa_flags = SA_NOCLDSTOP;
    sigaction(SIGCHLD, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Log("event=start channel=" + o.channel + " listeners=" + std::to_string(listeners.size()));
    // Workers serve one session at a time each and are kept for the next:
    // the store is opened once a worker, not once a connection.
    std::vector<int> inherited = listeners;
    inherited.push_back(wake[0]);
    inherited.push_back(wake[1]);
    Workers workers;
    while (!g_stop) {
        std::vector<struct pollfd> polls;
        polls.push_back({wake[0], POLLIN, 0});
        for (int fd : listeners) polls.push_back({fd, POLLIN, 0});
        std::vector<pid_t> order;
        for (const auto& [pid, w] : workers) {
            polls.push_back({w.control, POLLIN, 0});
            order.push_back(pid);
        }
        int ready = poll(polls.data(), polls.size(), -1);
        if (ready < 0 && errno != EINTR) {
            Log(std::string("event=error reason=\"poll: ") + std::strerror(errno) + "\"");
            break;
        }
        if (polls[0].revents & POLLIN) {
            char drain[64];
            while (read(wake[0], drain, sizeof drain) > 0) {
            }
        }
        if (ready <= 0) {
            Reap(&workers);
            continue;
        }
        // Workers that are idle again (or gone: reaped below).
        for (size_t k = 0; k < order.size(); ++k) {
            const struct pollfd& p = polls[1 + listeners.size() + k];
            if (!(p.revents & (POLLIN | POLLHUP))) continue;
            auto it = workers.find(order[k]);
            if (it == workers.end()) continue;
            char note[16];
            ssize_t n = read(p.fd, note, sizeof note);
            if (n > 0) {
                it->second.idle = true;
            } else {
                it->second.idle = false;  // gone; waitpid takes it
            }
        }
        Reap(&workers);
        if (g_stop) break;
        for (size_t i = 0; i < listeners.size(); ++i) {
            if (!(polls[1 + i].revents & POLLIN)) continue;
            int fd = accept4(listeners[i], nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            Dispatch(fd, o, spool, inherited, &workers);
            close(fd);
        }
    }
    // Stopping: no more sessions; those running finish the message they are
    // in, answer 421 and end; idle workers end at once.
    for (int fd : listeners) close(fd);
    for (const auto& entry : workers) kill(entry.first, SIGTERM);
    while (!workers.empty()) {
        int status;
        pid_t pid = waitpid(-1, &status, 0);
        if (pid < 0 && errno == EINTR) continue;
        if (pid < 0) break;
        auto it = workers.find(pid);
        if (it != workers.end()) {
            close(it->second.control);
            workers.erase(it);
        }
    }
    Log("event=stop");
    close(wake[0]);
    close(wake[1]);
    return 0;
}

}  // namespace
}  // namespace mqlmtpd

int main(int argc, char** argv) { return mqlmtpd::Run(argc, argv); }
