// e2e_agent - one application process of the end-to-end tests: it puts or
// gets messages through the toolkit and the real store, and reports on
// standard output, one line per event, so that the test can follow it, stop
// it where it wants and kill it.
//
//   put CHANNEL COUNT TAG    puts COUNT messages, body through ".tmp"; "PUT i" each
//   get CHANNEL DELETE [MAX] "READY", waits for a byte on stdin, then "MSG ..." per
//                            message (deleting it when DELETE is 1), then "END"
//   hold CHANNEL             gets one message, "MSG ...", then waits to be killed
//   stall CHANNEL TAG        a put stopped before its commit, body already in place:
//                            "STALLED", then waits to be killed
//   probe CHANNEL            "open=RC put=RC get=null|msg close=RC"
//
// Message i of TAG: sender "s<i>@<TAG>.example.org", recipients
// "a<i>@example.org" and "b<i>@example.org", body "<TAG> body <i>".
// A "MSG" line reads "MSG <sender> <recipient>,<recipient> <body>".
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "mq.h"
#include "mqapi.h"

namespace {

const char kApp[] = "e2e";

std::string Sender(const std::string& tag, int i) {
    return "s" + std::to_string(i) + "@" + tag + ".example.org";
}
std::string Recipient(char which, int i) {
    return std::string(1, which) + std::to_string(i) + "@example.org";
}
std::string Body(const std::string& tag, int i) { return tag + " body " + std::to_string(i); }

// WriteFile - creates path, writes text, syncs; false (errno kept) on failure.
bool WriteFile(const std::string& path, const std::string& text) {
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              fsync(fd) == 0;
    int saved = errno;
    ok = close(fd) == 0 && ok;
    errno = saved;
    return ok;
}

std::string ReadFile(const char* path) {
    std::string text;
    FILE* f = path != nullptr ? std::fopen(path, "rb") : nullptr;
    if (f == nullptr) return "(unreadable)";
    char buf[512];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) text.append(buf, n);
    std::fclose(f);
    return text;
}

void Say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

// PutOne - message i of tag into channel, body by the rename pattern.
// Returns the put's result, or -1 when the body could not be placed.
int PutOne(cMQ& q, const char* channel, const std::string& tag, int i) {
    cUserInfo sender, a, b;
    if (sender.setLan_addr(Sender(tag, i).c_str()) != MQ_SUCCESS ||
        a.setLan_addr(Recipient('a', i).c_str()) != MQ_SUCCESS ||
        b.setLan_addr(Recipient('b', i).c_str()) != MQ_SUCCESS) {
        return MQ_ERR_BAD_ADDRESS;
    }
    cEnvHeader from, to;
    from.add(&sender);
    to.add(&a);
    to.add(&b);
    cMessage m;
    m.setFrom(&from);
    m.setTo(&to);
    int rc = q.PutMsg(&m, channel);
    if (rc != MQ_SUCCESS) return rc;
    // GetMsgDest rewrites one buffer: keep the first answer before asking again.
    const char* tmp = q.GetMsgDest(".tmp");
    if (tmp == nullptr) return -1;
    std::string tmpPath = tmp;
    const char* final = q.GetMsgDest(".msg");
    if (final == nullptr || !WriteFile(tmpPath, Body(tag, i)) ||
        rename(tmpPath.c_str(), final) != 0) {
        return -1;
    }
    return MQ_SUCCESS;
}

std::string Describe(cMessage* m) {
    std::string line = "MSG ";
    cUserInfo* s = m->getFrom()->getFirst();
    line += s != nullptr && s->getLan_addr() != nullptr ? s->getLan_addr() : "(none)";
    line += ' ';
    cEnvHeader* to = m->getTo();
    to->getFirst();
    bool first = true;
    for (cUserInfo* u = to->getNext(); u != nullptr; u = to->getNext()) {
        if (!first) line += ',';
        line += u->getLan_addr() != nullptr ? u->getLan_addr() : "(none)";
        first = false;
    }
    return line + ' ' + ReadFile(m->getMsgpath());
}

int Put(const char* channel, int count, const std::string& tag) {
    cMQ q;
    if (q.OpenMQChannel(kApp, "daduv.ini") != MQ_SUCCESS) return 2;
    for (int i = 0; i < count; ++i) {
        int rc = PutOne(q, channel, tag, i);
        if (rc != MQ_SUCCESS) {
            Say("FAIL " + std::to_string(i) + " " + std::to_string(rc));
            return 1;
        }
        Say("PUT " + std::to_string(i));
    }
    return 0;
}

int Get(const char* channel, bool del, long max) {
    cMQ q;
    if (q.OpenMQChannel(kApp, "daduv.ini") != MQ_SUCCESS) return 2;
    Say("READY");
    char go;
    if (read(STDIN_FILENO, &go, 1) != 1) return 3;
    for (long n = 0; max < 0 || n < max; ++n) {
        cMessage* m = q.GetMsg(channel);
        if (m == nullptr) break;
        Say(Describe(m));
        if (del && q.DelMsg() != MQ_SUCCESS) {
            Say("DELFAIL");
            return 1;
        }
    }
    Say("END");
    return q.CloseMQChannel() == MQ_SUCCESS ? 0 : 1;
}

int Hold(const char* channel) {
    cMQ q;
    if (q.OpenMQChannel(kApp, "daduv.ini") != MQ_SUCCESS) return 2;
    cMessage* m = q.GetMsg(channel);
    Say(m != nullptr ? Describe(m) : "NONE");
    for (;;) pause();
}

// Stall - what PutMsg does up to its commit, with the body renamed into
// place already: the worst moment for the producer to die.
int Stall(const char* channel, const std::string& tag) {
    if (!MQInit("daduv.ini", kApp)) return 2;
    MQContext* entry = CreateMQEntry();
    if (entry == nullptr) return 1;
    char* address = strdup(Sender(tag, 0).c_str());
    char* recipient = strdup(Recipient('a', 0).c_str());
    char empty[] = "";
    _envFrom f{address, empty, 0, 0, empty, empty};
    _envRecip r{recipient, empty, 0, empty, empty};
    stEnvelope env;
    env.caFrom.Add(&f);
    env.caTo.Add(&r);
    bool ok = InsertMQChannel(entry, channel, 0) && PutMQEnvelope(entry, &env);
    const char* path = ok ? GetMQPathName(entry, ".msg") : nullptr;
    std::free(address);
    std::free(recipient);
    if (path == nullptr) return 1;
    std::string tmp = std::string(path) + ".tmp";
    if (!WriteFile(tmp, Body(tag, 0)) || rename(tmp.c_str(), path) != 0) return 1;
    Say("STALLED");
    for (;;) pause();
}

int Probe(const char* channel) {
    cMQ q;
    int open = q.OpenMQChannel(kApp, "daduv.ini");
    cUserInfo s, a;
    s.setLan_addr("s@probe.example.org");
    a.setLan_addr("a@example.org");
    cEnvHeader from, to;
    from.add(&s);
    to.add(&a);
    cMessage m;
    m.setFrom(&from);
    m.setTo(&to);
    int put = q.PutMsg(&m, channel);
    cMessage* got = q.GetMsg(channel);
    int close = q.CloseMQChannel();
    Say("open=" + std::to_string(open) + " put=" + std::to_string(put) +
        " get=" + (got != nullptr ? "msg" : "null") + " close=" + std::to_string(close));
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: e2e_agent put|get|hold|stall|probe CHANNEL ...\n");
        return 64;
    }
    std::string verb = argv[1];
    const char* channel = argv[2];
    if (verb == "put" && argc == 5) return Put(channel, std::atoi(argv[3]), argv[4]);
    if (verb == "get" && argc >= 4)
        return Get(channel, std::atoi(argv[3]) != 0, argc > 4 ? std::atol(argv[4]) : -1);
    if (verb == "hold") return Hold(channel);
    if (verb == "stall" && argc == 4) return Stall(channel, argv[3]);
    if (verb == "probe") return Probe(channel);
    std::fprintf(stderr, "e2e_agent: bad arguments\n");
    return 64;
}
