// queuefigures.cpp - PutMsg, full put and GetMsg+DelMsg against the real
// store.
#include "queuefigures.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>

#include "mqadmin.h"
#include "benchmessage.h"
#include "mqapi.h"
#include "mqfile.h"

namespace mqbench {
namespace {

const char kApp[] = "mqbench";
const size_t kBodySize = 4096;

std::string Errno(const std::string& op, const std::string& path) {
    return op + " " + path + ": " + std::strerror(errno);
}

std::string Result(const char* op, int rc) {
    return std::string(op) + ": " + MQResultName(rc);
}

// Writes body to tmp and renames it to fin; synced when sync (file, then
// the directory, so that the rename is durable too).
std::string PlaceBody(const std::string& tmp, const std::string& fin, const std::string& body,
                      bool sync) {
    // The synced way is the toolkit's durable-file module, as an
    // application would write it.
    if (sync) {
        int rc = MQReplaceFile(tmp.c_str(), fin.c_str(), body.data(), body.size());
        return rc == 0 ? "" : "writing the body " + fin + ": " + std::strerror(rc);
    }
    // Unsynced (the fill): written and renamed in, nothing more.
    int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0640);
    if (fd < 0) return Errno("open", tmp);
    bool ok = write(fd, body.data(), body.size()) == static_cast<ssize_t>(body.size());
    int saved = errno;
    if (close(fd) != 0 && ok) return Errno("close", tmp);
    errno = saved;
    if (!ok) return Errno("write", tmp);
    return rename(tmp.c_str(), fin.c_str()) == 0 ? "" : Errno("rename", tmp);
}

// One put; *tmp and *fin receive the entry's ".tmp" and ".msg" paths.
std::string PutOne(cMQ& q, BenchMessage& m, std::string* tmp, std::string* fin) {
    int rc = q.PutMsg(m.get(), kChannel);
    if (rc != MQ_SUCCESS) return Result("PutMsg", rc);
    // One buffer answers both: copy each before asking for the next.
    const char* t = q.GetMsgDest(".tmp");
    if (t == nullptr) return "GetMsgDest(.tmp): null";
    *tmp = t;
    const char* f = q.GetMsgDest(".msg");
    if (f == nullptr) return "GetMsgDest(.msg): null";
    *fin = f;
    return "";
}

long QueuedEntries() {
    std::vector<mqadmin::ChannelCount> counts;
    if (!mqadmin::CountEntries(&counts)) return -1;
    for (const mqadmin::ChannelCount& c : counts) {
        if (strcasecmp(c.channel.c_str(), kChannel) == 0) return c.queued;
    }
    return 0;
}

}  // namespace

std::string PrepareStore(const std::string& dir) {
    if (mkdir(dir.c_str(), 0750) != 0 && errno != EEXIST) return Errno("mkdir", dir);
    std::ofstream ini(dir + "/daduv.ini");
    ini << "[Config]\nInstallDirectory=" << dir << "\n";
    std::ofstream cfg(dir + "/queue.cfg", std::ios::binary);
    cfg << kChannel << "\t\tmqbench\t\tout\r\n";
    return ini && cfg ? "" : "writing the configuration in " + dir + " failed";
}

std::string OpenStore() {
    cMQ q;
    int rc = q.OpenMQChannel(kApp, "daduv.ini");
    return rc == MQ_SUCCESS ? "" : Result("OpenMQChannel", rc);
}

std::string Prefill(long depth) {
    cMQ q;
    BenchMessage m;
    // Empty bodies: unsynced data would be flushed by the next synced commit
    // (ordered journalling), making the fill crawl; readers only need the file.
    const std::string body;
    long have = QueuedEntries();
    if (have < 0) return "counting the entries failed";
    for (long n = have; n < depth; ++n) {
        std::string tmp, fin;
        std::string err = PutOne(q, m, &tmp, &fin);
        if (err.empty()) err = PlaceBody(tmp, fin, body, false);
        if (!err.empty()) return err;
        if ((n + 1) % 10000 == 0) std::fprintf(stderr, "  filled %ld of %ld\n", n + 1, depth);
    }
    return "";
}

std::vector<std::pair<std::string, Run>> RunQueueFigures(const Budget& budget) {
    std::vector<std::pair<std::string, Run>> out;
    const std::string body(kBodySize, 'b');
    BenchMessage m;
    cMQ q;

    std::vector<std::pair<std::string, std::string>> unplaced;
    unplaced.reserve(static_cast<size_t>(budget.maxOps));
    out.emplace_back(kPut, Timed(budget, [&](long) {
        std::string tmp, fin;
        std::string err = PutOne(q, m, &tmp, &fin);
        unplaced.emplace_back(std::move(tmp), std::move(fin));
        return err;
    }));
    // Bodies for those entries, so that they can be got like the others;
    // empty, so that no unsynced data burdens the next figure's syncs.
    for (const auto& p : unplaced) {
        std::string err = PlaceBody(p.first, p.second, std::string(), false);
        if (!err.empty() && out.back().second.error.empty()) out.back().second.error = err;
    }

    out.emplace_back(kFullPut, Timed(budget, [&](long) {
        std::string tmp, fin;
        std::string err = PutOne(q, m, &tmp, &fin);
        return err.empty() ? PlaceBody(tmp, fin, body, true) : err;
    }));

    Budget take = budget;
    take.maxOps = out[0].second.ops + out[1].second.ops;
    out.emplace_back(kGet, Timed(take, [&](long) -> std::string {
        if (q.GetMsg(kChannel) == nullptr) return "GetMsg: nothing offered";
        int rc = q.DelMsg();
        return rc == MQ_SUCCESS ? "" : Result("DelMsg", rc);
    }));
    q.CloseMQChannel();
    return out;
}

}  // namespace mqbench
