// concurrency.cpp - the concurrency matrix: loads of several processes.
#include "concurrency.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <thread>

#include "loadkinds.h"
#include "tally.h"

namespace mqbench {
namespace {

using Clock = std::chrono::steady_clock;

double Percentile(const std::vector<uint32_t>& sorted, double p) {
    if (sorted.empty()) return 0;
    size_t i = static_cast<size_t>(p * static_cast<double>(sorted.size() - 1) + 0.5);
    return sorted[std::min(i, sorted.size() - 1)] / 1000.0;
}

}  // namespace

std::vector<Load> Matrix() {
    std::vector<Load> loads;
    for (int p : {1, 4, 8}) {
        std::string n = std::to_string(p);
        loads.push_back({"maildir P=" + n, "", 0, std::vector<std::string>(p, "maildir")});
        loads.push_back({"sqlite insert P=" + n, "", 0, std::vector<std::string>(p, "insert")});
        loads.push_back({"full put P=" + n, "maildir P=" + n,
                         p == 1   ? 0.65
                         : p == 8 ? 0.8
                                  : 0,
                         std::vector<std::string>(p, "put")});
        loads.push_back({"one-call put P=" + n, "maildir P=" + n,
                         p == 1   ? 1.2
                         : p == 8 ? 1.5
                                  : 0,
                         std::vector<std::string>(p, "put1")});
    }
    Load mixed{"mixed 4+4", "", 0, {}};
    for (int i = 0; i < 4; ++i) mixed.kinds.push_back("put");
    for (int i = 0; i < 4; ++i) mixed.kinds.push_back("get");
    loads.push_back(mixed);
    Load mixed1{"mixed 4+4 one-call", "", 0, {}};
    for (int i = 0; i < 4; ++i) mixed1.kinds.push_back("put1");
    for (int i = 0; i < 4; ++i) mixed1.kinds.push_back("get");
    loads.push_back(mixed1);
    for (int r : {1, 4, 8}) {
        loads.push_back({"get R=" + std::to_string(r), "", 0, std::vector<std::string>(r, "get")});
    }
    return loads;
}

std::string PrepareMatrix(const std::string& dir, const MatrixSetup& setup) {
    std::vector<std::string> subs = {"", "/store", "/maildir", "/maildir/tmp", "/maildir/new"};
    for (size_t size : setup.sizes) {
        std::string md = "/" + SizeMaildir(size);
        subs.insert(subs.end(), {md, md + "/tmp", md + "/new"});
    }
    for (const std::string& sub : subs) {
        std::string path = dir + sub;
        if (mkdir(path.c_str(), 0750) != 0 && errno != EEXIST) return "mkdir " + path;
    }
    std::ofstream ini(dir + "/store/daduv.ini");
    ini << "[Config]\nInstallDirectory=" << dir << "/store\n";
    if (setup.bodyInCommitLimit >= 0) ini << "BodyInCommitLimit=" << setup.bodyInCommitLimit << "\n";
    std::ofstream cfg(dir + "/store/queue.cfg", std::ios::binary);
    cfg << "BENCH\t\tmqbench\t\tout\r\n";
    for (size_t size : setup.sizes) cfg << SizeChannel(size) << "\t\tmqbench\t\tout\r\n";
    // The synced take of the readers' yardstick needs rows to take: enough
    // for every round, put in without syncs.
    sqlite3* db = nullptr;
    std::string fill = "PRAGMA journal_mode=WAL;"
                       "CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY,"
                       " channel TEXT, sender TEXT, recipients TEXT, created INTEGER);"
                       "PRAGMA synchronous=OFF; BEGIN;"
                       "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n"
                       " WHERE i < " + std::to_string(setup.yardRows) + " - (SELECT count(*) FROM entries))"
                       " INSERT INTO entries(channel, sender, recipients, created)"
                       " SELECT 'BENCH', 'sender@bench.example.org',"
                       " 'first@example.org,second@example.org', strftime('%s') FROM n"
                       " WHERE (SELECT count(*) FROM entries) < " + std::to_string(setup.yardRows) +
                       "; COMMIT";
    bool ok = sqlite3_open((dir + "/yard.db").c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db, fill.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ini && cfg && ok ? "" : "preparing " + dir;
}

int LoadWorker(int argc, char** argv) {
    if (argc < 6) return 64;
    int index = argc >= 8 ? std::atoi(argv[6]) : 0;
    int procs = argc >= 8 ? std::atoi(argv[7]) : 1;
    LoadOp worker(argv[2], argv[3], index, procs);
    double seconds = std::atof(argv[4]);
    std::string err = worker.Open();
    if (!err.empty()) {
        std::fprintf(stderr, "mqbench: %s: %s\n", argv[2], err.c_str());
        std::printf("0 1 0 0 0\n");
        return 1;
    }
    char go;
    if (read(STDIN_FILENO, &go, 1) != 1) return 1;
    std::vector<uint32_t> latencies;
    latencies.reserve(100000);
    long failed = 0;
    IoBytes ioBefore, ioAfter;
    bool io = ReadSelfIo(&ioBefore);
    // The steady run's pacing (steady.h): a rate for puts, and takers that
    // wait for more instead of stopping at an empty queue; each operation's
    // start time kept beside its latency.
    const char* rateText = std::getenv("MQBENCH_RATE");
    const double rate = rateText != nullptr ? std::atof(rateText) : 0;
    const bool wait = std::getenv("MQBENCH_WAIT") != nullptr;
    std::vector<uint32_t> startsMs;
    const Clock::time_point start = Clock::now();
    Clock::time_point end = start;
    for (long n = 0;; ++n) {
        if (rate > 0) {
            std::this_thread::sleep_until(
                start + std::chrono::microseconds(static_cast<long long>(n * 1e6 / rate)));
        }
        Clock::time_point before = Clock::now();
        if (std::chrono::duration<double>(before - start).count() >= seconds) break;
        bool ok = worker.Op(n);
        end = Clock::now();
        if (worker.Empty()) {
            if (!wait) break;  // a take that found nothing left
            worker.Rearm();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            continue;
        }
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(end - before);
        if (!ok) ++failed;
        latencies.push_back(static_cast<uint32_t>(us.count()));
        if (rate > 0 || wait) {
            startsMs.push_back(static_cast<uint32_t>(
                std::chrono::duration_cast<std::chrono::milliseconds>(before - start).count()));
        }
    }
    io = io && ReadSelfIo(&ioAfter);
    FILE* out = std::fopen(argv[5], "wb");
    if (out != nullptr) {
        std::fwrite(latencies.data(), sizeof(uint32_t), latencies.size(), out);
        std::fclose(out);
    }
    if (!startsMs.empty()) {
        FILE* times = std::fopen((std::string(argv[5]) + ".t").c_str(), "wb");
        if (times != nullptr) {
            std::fwrite(startsMs.data(), sizeof(uint32_t), startsMs.size(), times);
            std::fclose(times);
        }
    }
    // Bytes the operations sent towards the disk, and dirty bytes they
    // spared it (a file deleted before its writeback), both from /proc.
    std::printf("%zu %ld %.6f %lld %lld\n", latencies.size() - static_cast<size_t>(failed),
                failed, std::chrono::duration<double>(end - start).count(),
                io ? static_cast<long long>(ioAfter.written - ioBefore.written) : -1LL,
                io ? static_cast<long long>(ioAfter.cancelled - ioBefore.cancelled) : -1LL);
    return 0;
}

namespace {

// This program's own path, for the workers (under strace, /proc/self/exe
// would name strace).
std::string SelfPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "/proc/self/exe";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return text;
}

}  // namespace

std::vector<std::pair<std::string, LoadResult>> RunLoad(const Load& load, const std::string& dir,
                                                        double seconds, bool traced) {
    int go[2];
    if (pipe(go) != 0) return {};
    struct Proc {
        pid_t pid;
        FILE* out;
        std::string latencies;
        std::string trace;
    };
    const std::string self = SelfPath();
    std::vector<Proc> procs;
    for (size_t i = 0; i < load.kinds.size(); ++i) {
        int out[2];
        if (pipe(out) != 0) break;
        std::string file = dir + "/latencies." + std::to_string(i);
        std::string trace = traced ? dir + "/strace." + std::to_string(i) : "";
        std::string secs = std::to_string(seconds);
        // Each process's place among those of its kind (a Maildir taker's
        // share of the files).
        int index = 0, of = 0;
        for (size_t j = 0; j < load.kinds.size(); ++j) {
            if (load.kinds[j] != load.kinds[i]) continue;
            if (j < i) ++index;
            ++of;
        }
        std::string idx = std::to_string(index), count = std::to_string(of);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(go[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(go[0]);
            close(go[1]);
            close(out[0]);
            close(out[1]);
            std::vector<const char*> args;
            if (traced) {
                for (const char* a : {"strace", "-f", "-c", "-o"}) args.push_back(a);
                args.push_back(trace.c_str());
                args.push_back("--");
            }
            for (const char* a : {self.c_str(), "--load", load.kinds[i].c_str(), dir.c_str(),
                                  secs.c_str(), file.c_str(), idx.c_str(), count.c_str()}) {
                args.push_back(a);
            }
            args.push_back(nullptr);
            if (traced) {
                execvp("strace", const_cast<char* const*>(args.data()));
            } else {
                execv(self.c_str(), const_cast<char* const*>(args.data()));
            }
            _exit(127);
        }
        close(out[1]);
        procs.push_back({pid, fdopen(out[0], "r"), file, trace});
    }
    close(go[0]);
    // Every worker has opened its store before the one signal starts them
    // all: closing the pipe's write end wakes each read with one byte each.
    usleep(traced ? 1000000 : 300000);
    std::string bytes(procs.size(), 'g');
    ssize_t n = write(go[1], bytes.data(), bytes.size());
    (void)n;
    close(go[1]);
    struct Gathered {
        std::vector<uint32_t> latencies;
        std::vector<long> counts;
        long failed = 0;
        double busiest = 0;  // the longest a process worked
        long long written = 0, cancelled = 0;
        bool io = true;
        std::map<std::string, uint64_t> calls;
    };
    std::map<std::string, Gathered> byKind;
    std::string error;
    for (size_t i = 0; i < procs.size(); ++i) {
        Proc& p = procs[i];
        long ops = 0, failed = 0;
        double worked = 0;
        long long written = -1, cancelled = -1;
        if (p.out == nullptr || std::fscanf(p.out, "%ld %ld %lf %lld %lld", &ops, &failed, &worked,
                                            &written, &cancelled) != 5) {
            error = "a worker of " + load.name + " gave no figures";
        }
        if (p.out != nullptr) std::fclose(p.out);
        int status = 0;
        waitpid(p.pid, &status, 0);
        Gathered& g = byKind[load.kinds[i]];
        g.counts.push_back(ops);
        g.failed += failed;
        g.busiest = std::max(g.busiest, worked);
        g.io = g.io && written >= 0 && cancelled >= 0;
        g.written += written;
        g.cancelled += cancelled;
        std::ifstream in(p.latencies, std::ios::binary);
        uint32_t v;
        while (in.read(reinterpret_cast<char*>(&v), sizeof v)) g.latencies.push_back(v);
        std::remove(p.latencies.c_str());
        if (traced) {
            for (const auto& c : ParseStraceSummary(ReadFile(p.trace))) g.calls[c.first] += c.second;
            std::remove(p.trace.c_str());
        }
    }
    std::vector<std::pair<std::string, LoadResult>> results;
    for (auto& [kind, g] : byKind) {
        LoadResult r;
        r.error = error;
        r.failed = g.failed;
        long total = 0;
        for (long c : g.counts) total += c;
        // Each process works for the given seconds, unless it found nothing
        // left to take sooner: the longest any of them worked is the base.
        double base = std::min(seconds, g.busiest);
        r.opsPerSecond = base > 0 ? total / base : 0;
        std::sort(g.latencies.begin(), g.latencies.end());
        r.p50ms = Percentile(g.latencies, 0.50);
        r.p99ms = Percentile(g.latencies, 0.99);
        r.maxms = g.latencies.empty() ? 0 : g.latencies.back() / 1000.0;
        std::sort(g.counts.begin(), g.counts.end());
        double median = static_cast<double>(g.counts[g.counts.size() / 2]);
        r.slowestShare = median > 0 ? g.counts.front() / median : 0;
        r.ops = total;
        if (g.io && total > 0) {
            r.io = true;
            r.writtenPerOp = static_cast<double>(g.written) / total;
            r.cancelledPerOp = static_cast<double>(g.cancelled) / total;
        }
        if (traced && !g.calls.empty()) {
            r.traced = true;
            r.calls = g.calls;
        }
        results.emplace_back(byKind.size() > 1 ? load.name + " " + kind : load.name, r);
    }
    return results;
}

}  // namespace mqbench
