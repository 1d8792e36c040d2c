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

#include "benchmessage.h"
#include "mqapi.h"
#include "mqfile.h"

namespace mqbench {
namespace {

using Clock = std::chrono::steady_clock;
const char kChannel[] = "BENCH";
const size_t kBodySize = 4096;

// One operation of a worker: true when it succeeded.
class Worker {
  public:
    Worker(const std::string& kind, const std::string& dir) : kind_(kind), dir_(dir) {}
    ~Worker() { sqlite3_close(db_); }

    bool Open() {
        if (kind_ == "maildir") return true;
        if (kind_ == "insert") {
            if (sqlite3_open((dir_ + "/yard.db").c_str(), &db_) != SQLITE_OK) return false;
            sqlite3_busy_timeout(db_, 10000);
            return sqlite3_exec(db_, "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL", nullptr,
                                nullptr, nullptr) == SQLITE_OK;
        }
        setenv("MQ_CONFIG_DIR", (dir_ + "/store").c_str(), 1);
        return mq_.OpenMQChannel("mqbench", "daduv.ini") == MQ_SUCCESS;
    }

    bool Op(long n) {
        if (kind_ == "put") {
            if (mq_.PutMsg(msg_.get(), kChannel) != MQ_SUCCESS) return false;
            std::string tmp = mq_.GetMsgDest(".tmp");
            std::string fin = mq_.GetMsgDest(".msg");
            return MQReplaceFile(tmp.c_str(), fin.c_str(), body_.data(), body_.size()) == 0;
        }
        if (kind_ == "put1") {
            return mq_.PutMsgBody(msg_.get(), kChannel, body_.data(), body_.size()) == MQ_SUCCESS;
        }
        if (kind_ == "get") {
            if (mq_.GetMsg(kChannel) == nullptr) {
                empty_ = true;
                return true;
            }
            return mq_.DelMsg() == MQ_SUCCESS;
        }
        if (kind_ == "maildir") {
            std::string name = std::to_string(getpid()) + "." + std::to_string(n);
            return MQReplaceFile((dir_ + "/maildir/tmp/" + name).c_str(),
                                 (dir_ + "/maildir/new/" + name).c_str(), body_.data(),
                                 body_.size()) == 0;
        }
        return sqlite3_exec(db_,
                            "INSERT INTO entries(channel, sender, recipients, created)"
                            " VALUES('BENCH', 'sender@bench.example.org',"
                            " 'first@example.org,second@example.org', strftime('%s'))",
                            nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    bool Empty() const { return empty_; }

  private:
    std::string kind_, dir_;
    cMQ mq_;
    BenchMessage msg_;
    sqlite3* db_ = nullptr;
    std::string body_ = std::string(kBodySize, 'b');
    bool empty_ = false;
};

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
                         p == 1   ? 0.65
                         : p == 8 ? 0.8
                                  : 0,
                         std::vector<std::string>(p, "put1")});
    }
    Load mixed{"mixed 4+4", "", 0, {}};
    for (int i = 0; i < 4; ++i) mixed.kinds.push_back("put");
    for (int i = 0; i < 4; ++i) mixed.kinds.push_back("get");
    loads.push_back(mixed);
    for (int r : {1, 4, 8}) {
        loads.push_back({"get R=" + std::to_string(r), "", 0, std::vector<std::string>(r, "get")});
    }
    return loads;
}

std::string PrepareMatrix(const std::string& dir) {
    for (const char* sub : {"", "/store", "/maildir", "/maildir/tmp", "/maildir/new"}) {
        std::string path = dir + sub;
        if (mkdir(path.c_str(), 0750) != 0 && errno != EEXIST) return "mkdir " + path;
    }
    std::ofstream ini(dir + "/store/daduv.ini");
    ini << "[Config]\nInstallDirectory=" << dir << "/store\n";
    std::ofstream cfg(dir + "/store/queue.cfg", std::ios::binary);
    cfg << kChannel << "\t\tmqbench\t\tout\r\n";
    sqlite3* db = nullptr;
    bool ok = sqlite3_open((dir + "/yard.db").c_str(), &db) == SQLITE_OK &&
              sqlite3_exec(db,
                           "PRAGMA journal_mode=WAL;"
                           "CREATE TABLE IF NOT EXISTS entries(id INTEGER PRIMARY KEY,"
                           " channel TEXT, sender TEXT, recipients TEXT, created INTEGER)",
                           nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ini && cfg && ok ? "" : "preparing " + dir;
}

int LoadWorker(int argc, char** argv) {
    if (argc < 6) return 64;
    Worker worker(argv[2], argv[3]);
    double seconds = std::atof(argv[4]);
    if (!worker.Open()) {
        std::printf("0 1\n");
        return 1;
    }
    char go;
    if (read(STDIN_FILENO, &go, 1) != 1) return 1;
    std::vector<uint32_t> latencies;
    latencies.reserve(100000);
    long failed = 0;
    const Clock::time_point start = Clock::now();
    for (long n = 0;; ++n) {
        Clock::time_point before = Clock::now();
        if (std::chrono::duration<double>(before - start).count() >= seconds) break;
        bool ok = worker.Op(n);
        if (worker.Empty()) break;  // a get that found the queue drained
        auto us = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - before);
        if (!ok) ++failed;
        latencies.push_back(static_cast<uint32_t>(us.count()));
    }
    FILE* out = std::fopen(argv[5], "wb");
    if (out != nullptr) {
        std::fwrite(latencies.data(), sizeof(uint32_t), latencies.size(), out);
        std::fclose(out);
    }
    std::printf("%zu %ld\n", latencies.size() - static_cast<size_t>(failed), failed);
    return 0;
}

std::vector<std::pair<std::string, LoadResult>> RunLoad(const Load& load, const std::string& dir,
                                                        double seconds) {
    int go[2];
    if (pipe(go) != 0) return {};
    struct Proc {
        pid_t pid;
        FILE* out;
        std::string latencies;
    };
    std::vector<Proc> procs;
    for (size_t i = 0; i < load.kinds.size(); ++i) {
        int out[2];
        if (pipe(out) != 0) break;
        std::string file = dir + "/latencies." + std::to_string(i);
        std::string secs = std::to_string(seconds);
        pid_t pid = fork();
        if (pid == 0) {
            dup2(go[0], STDIN_FILENO);
            dup2(out[1], STDOUT_FILENO);
            close(go[0]);
            close(go[1]);
            close(out[0]);
            close(out[1]);
            const char* args[] = {"mqbench",   "--load",     load.kinds[i].c_str(),
                                  dir.c_str(), secs.c_str(), file.c_str(),
                                  nullptr};
            execv("/proc/self/exe", const_cast<char* const*>(args));
            _exit(127);
        }
        close(out[1]);
        procs.push_back({pid, fdopen(out[0], "r"), file});
    }
    close(go[0]);
    // Every worker has opened its store before the one signal starts them
    // all: closing the pipe's write end wakes each read with one byte each.
    usleep(300000);
    std::string bytes(procs.size(), 'g');
    ssize_t n = write(go[1], bytes.data(), bytes.size());
    (void)n;
    close(go[1]);
    const Clock::time_point start = Clock::now();
    struct Gathered {
        std::vector<uint32_t> latencies;
        std::vector<long> counts;
        long failed = 0;
    };
    std::map<std::string, Gathered> byKind;
    std::string error;
    for (size_t i = 0; i < procs.size(); ++i) {
        Proc& p = procs[i];
        long ops = 0, failed = 0;
        if (p.out == nullptr || std::fscanf(p.out, "%ld %ld", &ops, &failed) != 2) {
            error = "a worker of " + load.name + " gave no figures";
        }
        if (p.out != nullptr) std::fclose(p.out);
        int status = 0;
        waitpid(p.pid, &status, 0);
        Gathered& g = byKind[load.kinds[i]];
        g.counts.push_back(ops);
        g.failed += failed;
        std::ifstream in(p.latencies, std::ios::binary);
        uint32_t v;
        while (in.read(reinterpret_cast<char*>(&v), sizeof v)) g.latencies.push_back(v);
        std::remove(p.latencies.c_str());
    }
    double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    // A load's processes each work for the given seconds: that is the time
    // base, unless the gets drained the queue sooner.
    double base = std::min(elapsed, seconds);
    std::vector<std::pair<std::string, LoadResult>> results;
    for (auto& [kind, g] : byKind) {
        LoadResult r;
        r.error = error;
        r.failed = g.failed;
        long total = 0;
        for (long c : g.counts) total += c;
        r.opsPerSecond = base > 0 ? total / base : 0;
        std::sort(g.latencies.begin(), g.latencies.end());
        r.p50ms = Percentile(g.latencies, 0.50);
        r.p99ms = Percentile(g.latencies, 0.99);
        r.maxms = g.latencies.empty() ? 0 : g.latencies.back() / 1000.0;
        std::sort(g.counts.begin(), g.counts.end());
        double median = static_cast<double>(g.counts[g.counts.size() / 2]);
        r.slowestShare = median > 0 ? g.counts.front() / median : 0;
        results.emplace_back(byKind.size() > 1 ? load.name + " " + kind : load.name, r);
    }
    return results;
}

}  // namespace mqbench
