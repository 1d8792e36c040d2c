// steady.cpp - the space run: steady puts, readers behind, sizes sampled.
#include "steady.h"

#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "concurrency.h"
#include "loadkinds.h"

namespace mqbench {
namespace {

using Clock = std::chrono::steady_clock;

struct Sample {
    double at = 0;
    long long dbBytes = -1, freeBytes = -1, walBytes = -1, depth = -1;
};

long long FileSize(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The database's pages and free pages (through a reader's snapshot, as the
// store sees them, the log included) and the queue's depth.
void Measure(const std::string& db, Sample* s) {
    s->walBytes = FileSize(db + "-wal");
    sqlite3* h = nullptr;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(h, 1000);
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h,
                               "SELECT page_count * page_size, freelist_count * page_size,"
                               " (SELECT count(*) FROM entries)"
                               " FROM pragma_page_count, pragma_page_size, pragma_freelist_count",
                               -1, &st, nullptr) == SQLITE_OK &&
            sqlite3_step(st) == SQLITE_ROW) {
            s->dbBytes = sqlite3_column_int64(st, 0);
            s->freeBytes = sqlite3_column_int64(st, 1);
            s->depth = sqlite3_column_int64(st, 2);
        }
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
}

std::vector<uint32_t> ReadU32(const std::string& path) {
    std::vector<uint32_t> v;
    std::ifstream in(path, std::ios::binary);
    uint32_t x;
    while (in.read(reinterpret_cast<char*>(&x), sizeof x)) v.push_back(x);
    return v;
}

double Pct(std::vector<uint32_t> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t i = static_cast<size_t>(p * static_cast<double>(v.size() - 1) + 0.5);
    return v[std::min(i, v.size() - 1)] / 1000.0;
}

double MiB(long long b) { return b < 0 ? -1 : static_cast<double>(b) / (1 << 20); }

}  // namespace

int RunSteady(const std::string& dir, const SteadyOptions& o) {
    MatrixSetup setup;
    setup.sizes = {o.size};
    setup.bodyInCommitLimit = o.limit;
    setup.yardRows = 0;
    std::string err = PrepareMatrix(dir, setup);
    if (!err.empty()) {
        std::fprintf(stderr, "mqbench: %s\n", err.c_str());
        return 1;
    }
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 1;
    self[n] = '\0';
    int go[2];
    if (pipe(go) != 0) return 1;
    struct Proc {
        pid_t pid;
        bool put;
        std::string out;
    };
    std::vector<Proc> procs;
    const std::string size = std::to_string(o.size);
    // The readers go on a little longer, to take what the last puts left.
    const std::string putSecs = std::to_string(o.seconds);
    const std::string getSecs = std::to_string(o.seconds + 5);
    const std::string perPutter = std::to_string(o.rate / o.putters);
    for (int i = 0; i < o.putters + o.readers; ++i) {
        bool put = i < o.putters;
        std::string out = dir + "/steady." + std::to_string(i);
        std::string kind = (put ? "put1:" : "getread:") + size;
        pid_t pid = fork();
        if (pid == 0) {
            dup2(go[0], STDIN_FILENO);
            FILE* counts = std::fopen((out + ".n").c_str(), "w");
            if (counts != nullptr) dup2(fileno(counts), STDOUT_FILENO);
            close(go[0]);
            close(go[1]);
            if (put) {
                setenv("MQBENCH_RATE", perPutter.c_str(), 1);
            } else {
                setenv("MQBENCH_WAIT", "1", 1);
            }
            std::string idx = std::to_string(put ? i : i - o.putters);
            std::string of = std::to_string(put ? o.putters : o.readers);
            const char* args[] = {self,        "--load",   kind.c_str(),
                                  dir.c_str(), put ? putSecs.c_str() : getSecs.c_str(),
                                  out.c_str(), idx.c_str(), of.c_str(), nullptr};
            execv(self, const_cast<char* const*>(args));
            _exit(127);
        }
        if (pid > 0) procs.push_back({pid, put, out});
    }
    close(go[0]);
    usleep(300000);
    std::string bytes(procs.size(), 'g');
    if (write(go[1], bytes.data(), bytes.size()) < 0) return 1;
    close(go[1]);

    const std::string db = dir + "/store/spool/queue.db";
    const Clock::time_point start = Clock::now();
    std::vector<Sample> samples;
    for (int k = 1; k * o.interval <= o.seconds + 1e-9; ++k) {
        std::this_thread::sleep_until(start + std::chrono::milliseconds(
                                                  static_cast<long long>(k * o.interval * 1000)));
        Sample s;
        s.at = k * o.interval;
        Measure(db, &s);
        samples.push_back(s);
        std::fprintf(stderr, "mqbench: %.0f s: database %.1f MiB (%.1f free), log %.1f MiB, %lld waiting\n",
                     s.at, MiB(s.dbBytes), MiB(s.freeBytes), MiB(s.walBytes), s.depth);
    }
    bool failed = false;
    std::vector<uint32_t> lat, starts;
    long puts = 0, putFailed = 0, gets = 0;
    for (Proc& p : procs) {
        int status = 0;
        waitpid(p.pid, &status, 0);
        failed = failed || !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        std::vector<uint32_t> l = ReadU32(p.out), t = ReadU32(p.out + ".t");
        long ops = 0, bad = 0;
        std::ifstream counts(p.out + ".n");
        if (!(counts >> ops >> bad)) failed = true;
        if (p.put) putFailed += bad;
        for (const char* ext : {"", ".t", ".n"}) std::remove((p.out + ext).c_str());
        if (!p.put) {
            gets += static_cast<long>(l.size());
            continue;
        }
        puts += static_cast<long>(l.size());
        if (t.size() != l.size()) failed = true;
        lat.insert(lat.end(), l.begin(), l.end());
        starts.insert(starts.end(), t.begin(), t.end());
    }
    Sample last;
    last.at = o.seconds + 5;
    Measure(db, &last);

    std::printf("steady run: %.0f s of one-call puts of %s at %.0f/s from %d processes, %d readers"
                " (GetMsg, read, DelMsg) behind\n",
                o.seconds, size.c_str(), o.rate, o.putters, o.readers);
    std::printf("%8s %10s %10s %10s %8s %7s %8s %8s\n", "until s", "db MiB", "free MiB",
                "log MiB", "waiting", "puts", "p99 ms", "max ms");
    double from = 0;
    for (const Sample& s : samples) {
        std::vector<uint32_t> in;
        for (size_t i = 0; i < starts.size(); ++i) {
            if (starts[i] >= from * 1000 && starts[i] < s.at * 1000) in.push_back(lat[i]);
        }
        double mx = in.empty() ? 0 : *std::max_element(in.begin(), in.end()) / 1000.0;
        std::printf("%8.0f %10.1f %10.1f %10.1f %8lld %7zu %8.1f %8.1f\n", s.at, MiB(s.dbBytes),
                    MiB(s.freeBytes), MiB(s.walBytes), s.depth, in.size(), Pct(in, 0.99), mx);
        from = s.at;
    }
    std::printf("%8s %10.1f %10.1f %10.1f %8lld\n", "drained", MiB(last.dbBytes),
                MiB(last.freeBytes), MiB(last.walBytes), last.depth);
    double mx = lat.empty() ? 0 : *std::max_element(lat.begin(), lat.end()) / 1000.0;
    std::printf("puts %ld (%.0f/s, %ld failed), gets %ld; put p50 %.1f ms, p99 %.1f ms,"
                " p99.9 %.1f ms, max %.1f ms\n",
                puts, puts / o.seconds, putFailed, gets, Pct(lat, 0.5), Pct(lat, 0.99),
                Pct(lat, 0.999), mx);
    if (putFailed > 0) failed = true;
    return failed ? 1 : 0;
}

}  // namespace mqbench
