// mqbench - how fast the queue puts and gets, held against this disk's own
// limits, in one run on one disk.
//
//   mqbench [--quick] [--dir DIR] [--rounds N] [--seconds S] [--ops N] [--deep N]
//           [--figures 0|1] [--matrix-seconds S] [--size-seconds S] [--sizes B,B,...]
//           [--limit BYTES] [--strace S]
//   mqbench --steady S [--rate N] [--steady-size B] [--interval S] [--dir DIR] [--limit BYTES]
//
// Everything happens under DIR (default: a new directory under /var/tmp,
// removed at the end): the yardsticks' database and Maildir, a shallow store
// (100 entries waiting) and a deep one (--deep, 100,000 by default). Each
// round runs every figure once, the three groups taking turns in a rotating
// order, so that the machine's drift hits all figures alike; each group runs
// in a fresh worker process (one store per process). The report gives each
// figure's median and range over the rounds and its ratio to its yardstick.
//
// The same rounds run the concurrency matrix (concurrency.h) and the body
// size loads (sizeloads.h). --quick is 2 rounds of half a second a figure
// and load and a deep store of 10,000, for a run of a few minutes. --limit
// sets the store's BodyInCommitLimit for the matrix and the size loads.
// --strace S runs the size loads once more after the rounds, S seconds
// each, every process under strace -c -f, for the system calls and syncs
// per operation (a traced run is slow: its rates are not reported).
// --steady S is the space run instead (steady.h).
#include <ftw.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "concurrency.h"
#include "queuefigures.h"
#include "sizeloads.h"
#include "steady.h"
#include "yardsticks.h"

namespace mqbench {
namespace {

const long kShallow = 100;

SteadyOptions NoSteady() {
    SteadyOptions o;
    o.seconds = 0;
    return o;
}

struct Options {
    std::string dir;
    int rounds = 5;
    Budget budget;
    long deep = 100000;
    double matrixSeconds = 1.0;  // each load of the concurrency matrix; 0: none
    bool figures = true;         // the single-process figures
    double sizeSeconds = 1.0;    // each body size load; 0: none
    std::vector<size_t> sizes = {1024, 4096, 65536, 1048576};
    long limit = -1;             // BodyInCommitLimit; -1: the store's default
    double straceSeconds = 0;    // the traced run's loads; 0: none
    SteadyOptions steady = NoSteady();  // the space run, when steady.seconds > 0
};

// "1024,4096" into sizes; false on anything else.
bool ParseSizes(const std::string& text, std::vector<size_t>* sizes) {
    std::vector<size_t> got;
    size_t start = 0;
    while (start <= text.size()) {
        size_t comma = text.find(',', start);
        std::string one = text.substr(start, comma == std::string::npos ? comma : comma - start);
        char* end = nullptr;
        unsigned long v = std::strtoul(one.c_str(), &end, 10);
        if (one.empty() || *end != '\0' || v == 0 || v > (64UL << 20)) return false;
        got.push_back(v);
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    *sizes = got;
    return !got.empty();
}

// Worker side: runs one group and prints, per figure, "RUN\t<name>\t<ops>\t
// <seconds>\t<calls>\t<syncs>\t<creates>\t<error>" (the counts "-" when the
// kernel's counters were not to be had).
int Worker(int argc, char** argv) {
    std::string what = argv[2];
    std::string dir = argv[3];
    Budget budget;
    budget.seconds = std::atof(argv[4]);
    budget.maxOps = std::atol(argv[5]);
    std::vector<std::pair<std::string, Run>> runs;
    if (what == "yard") {
        runs = RunYardsticks(dir, budget);
    } else {
        std::string err = OpenStore();
        if (err.empty() && what == "fill") err = Prefill(budget.maxOps);
        if (!err.empty()) {
            std::fprintf(stderr, "mqbench: %s\n", err.c_str());
            return 1;
        }
        if (what == "queue") runs = RunQueueFigures(budget);
    }
    (void)argc;
    for (const auto& r : runs) {
        const SysCounts& c = r.second.sys;
        std::string counts = c.counted ? std::to_string(c.calls) + "\t" + std::to_string(c.syncs) +
                                             "\t" + std::to_string(c.creates)
                                       : "-\t-\t-";
        std::printf("RUN\t%s\t%ld\t%.6f\t%s\t%s\n", r.first.c_str(), r.second.ops,
                    r.second.seconds, counts.c_str(), r.second.error.c_str());
    }
    return 0;
}

// Runs this program as a worker with MQ_CONFIG_DIR=configDir; fills *runs
// from its output. Returns false when the worker failed.
bool RunWorker(const std::string& what, const std::string& dir, const std::string& configDir,
               const Budget& budget, std::vector<std::pair<std::string, Run>>* runs) {
    int out[2];
    if (pipe(out) != 0) return false;
    pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        close(out[1]);
        if (!configDir.empty()) setenv("MQ_CONFIG_DIR", configDir.c_str(), 1);
        std::string seconds = std::to_string(budget.seconds);
        std::string ops = std::to_string(budget.maxOps);
        std::vector<const char*> args = {"mqbench", "--worker", what.c_str(), dir.c_str(),
                                         seconds.c_str(), ops.c_str(), nullptr};
        execv("/proc/self/exe", const_cast<char* const*>(args.data()));
        _exit(127);
    }
    close(out[1]);
    if (pid < 0) {
        close(out[0]);
        return false;
    }
    FILE* f = fdopen(out[0], "r");
    char line[1024];
    while (f != nullptr && std::fgets(line, sizeof line, f) != nullptr) {
        std::vector<std::string> fields;
        std::string s(line);
        if (!s.empty() && s.back() == '\n') s.pop_back();
        size_t start = 0;
        for (size_t tab; (tab = s.find('\t', start)) != std::string::npos; start = tab + 1)
            fields.push_back(s.substr(start, tab - start));
        fields.push_back(s.substr(start));
        if (fields.size() != 8 || fields[0] != "RUN") continue;
        Run r;
        r.ops = std::atol(fields[2].c_str());
        r.seconds = std::atof(fields[3].c_str());
        r.sys.counted = fields[4] != "-";
        r.sys.calls = std::strtoull(fields[4].c_str(), nullptr, 10);
        r.sys.syncs = std::strtoull(fields[5].c_str(), nullptr, 10);
        r.sys.creates = std::strtoull(fields[6].c_str(), nullptr, 10);
        r.error = fields[7];
        runs->emplace_back(fields[1], r);
    }
    if (f != nullptr) std::fclose(f);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

bool ParseOptions(int argc, char** argv, Options* o) {
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--quick") {
            o->rounds = 2;
            o->budget.seconds = 0.5;
            o->matrixSeconds = 0.5;
            o->sizeSeconds = 0.5;
            o->deep = 10000;
            continue;
        }
        if (i + 1 >= argc) return false;
        const char* v = argv[++i];
        if (a == "--dir") o->dir = v;
        else if (a == "--rounds") o->rounds = std::max(1, std::atoi(v));
        else if (a == "--seconds") o->budget.seconds = std::atof(v);
        else if (a == "--ops") o->budget.maxOps = std::max(1L, std::atol(v));
        else if (a == "--deep") o->deep = std::max(kShallow, std::atol(v));
        else if (a == "--matrix-seconds") o->matrixSeconds = std::max(0.0, std::atof(v));
        else if (a == "--size-seconds") o->sizeSeconds = std::max(0.0, std::atof(v));
        else if (a == "--figures") o->figures = std::atoi(v) != 0;
        else if (a == "--sizes") { if (!ParseSizes(v, &o->sizes)) return false; }
        else if (a == "--limit") o->limit = std::atol(v);
        else if (a == "--strace") o->straceSeconds = std::max(0.0, std::atof(v));
        else if (a == "--steady") o->steady.seconds = std::max(0.0, std::atof(v));
        else if (a == "--rate") o->steady.rate = std::max(1.0, std::atof(v));
        else if (a == "--steady-size") o->steady.size = std::max(1L, std::atol(v));
        else if (a == "--interval") o->steady.interval = std::max(1.0, std::atof(v));
        else return false;
    }
    return true;
}

struct Line {
    std::string figure;      // key in the results
    std::string label;       // as printed
    std::string against;     // key of what the ratio is to ("" for none)
    double aim;              // the ratio aimed at (0: none)
};

// Per figure: the median rate over the rounds and its range, the system
// calls, syncs and file creations per operation (medians; "-" where the
// kernel's counters were not to be had), and the ratio to its yardstick.
void Report(const Options& o, const std::map<std::string, std::vector<Run>>& results) {
    std::map<std::string, std::vector<double>> rates;
    for (const auto& r : results) {
        for (const Run& run : r.second) rates[r.first].push_back(run.Rate());
    }
    const std::string deep = " @" + std::to_string(o.deep);
    const std::string shallow = " @" + std::to_string(kShallow);
    const std::vector<Line> lines = {
        {kInsert, kInsert, "", 0},
        {kTakeOldest, kTakeOldest, "", 0},
        {kDeliver, kDeliver, "", 0},
        {kPut + shallow, kPut + shallow, kInsert, 0.95},
        {kFullPut + shallow, kFullPut + shallow, kDeliver, 0.65},
        {kGet + shallow, kGet + shallow, kTakeOldest, 0.8},
        {kPut + deep, kPut + deep, kPut + shallow, 0.8},
        {kFullPut + deep, kFullPut + deep, kFullPut + shallow, 0.8},
        {kGet + deep, kGet + deep, kGet + shallow, 0.9},
    };
    std::printf("%-40s %9s %13s %6s %6s %6s %6s  %s\n", "figure (operations per second)",
                "median", "range", "calls", "syncs", "files", "ratio", "aim");
    for (const Line& l : lines) {
        auto it = rates.find(l.figure);
        if (it == rates.end() || it->second.empty()) {
            std::printf("%-40s %9s\n", l.label.c_str(), "(no run)");
            continue;
        }
        const std::vector<double>& v = it->second;
        double med = Median(v);
        auto mm = std::minmax_element(v.begin(), v.end());
        char range[64];
        std::snprintf(range, sizeof range, "%.0f-%.0f", *mm.first, *mm.second);
        std::printf("%-40s %9.0f %13s", l.label.c_str(), med, range);
        const std::vector<Run>& runs = results.at(l.figure);
        if (std::all_of(runs.begin(), runs.end(), [](const Run& r) { return r.sys.counted; })) {
            std::vector<double> calls, syncs, creates;
            for (const Run& r : runs) {
                calls.push_back(r.PerOp(r.sys.calls));
                syncs.push_back(r.PerOp(r.sys.syncs));
                creates.push_back(r.PerOp(r.sys.creates));
            }
            std::printf(" %6.1f %6.2f %6.2f", Median(calls), Median(syncs), Median(creates));
        } else {
            std::printf(" %6s %6s %6s", "-", "-", "-");
        }
        auto base = rates.find(l.against);
        if (!l.against.empty() && base != rates.end() && Median(base->second) > 0) {
            double ratio = med / Median(base->second);
            std::printf(" %6.2f  >= %.2f of %s: %s", ratio, l.aim, l.against.c_str(),
                        ratio >= l.aim ? "met" : "MISSED");
        }
        std::printf("\n");
    }
}

// The concurrency matrix: per load, medians over the rounds (the range of
// the throughput), and the ratio to the yardstick at the same process count.
void ReportMatrix(const std::map<std::string, std::vector<LoadResult>>& results) {
    std::printf("\n%-26s %8s %13s %7s %7s %8s %6s %6s %6s  %s\n", "load (operations per second)",
                "median", "range", "p50 ms", "p99 ms", "max ms", "share", "failed", "ratio",
                "aim");
    auto median = [](std::vector<double> v) { return Median(std::move(v)); };
    std::map<std::string, double> medians;
    for (const Load& load : Matrix()) {
        std::vector<std::string> names;
        for (const std::string& kind : load.kinds) {
            bool mixed = kind != load.kinds[0] || names.size() > 1 ||
                         std::any_of(load.kinds.begin(), load.kinds.end(),
                                     [&](const std::string& k) { return k != load.kinds[0]; });
            std::string name = mixed ? load.name + " " + kind : load.name;
            if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
        }
        for (const std::string& name : names) {
            auto found = results.find(name);
            if (found == results.end()) continue;
            const std::vector<LoadResult>& runs = found->second;
            std::vector<double> rate, p50, p99, mx, share;
            long failed = 0;
            for (const LoadResult& r : runs) {
                rate.push_back(r.opsPerSecond);
                p50.push_back(r.p50ms);
                p99.push_back(r.p99ms);
                mx.push_back(r.maxms);
                share.push_back(r.slowestShare);
                failed += r.failed;
            }
            double m = median(rate);
            medians[name] = m;
            auto mm = std::minmax_element(rate.begin(), rate.end());
            char range[48];
            std::snprintf(range, sizeof range, "%.0f-%.0f", *mm.first, *mm.second);
            std::printf("%-26s %8.0f %13s %7.1f %7.1f %8.1f %6.2f %6ld", name.c_str(), m, range,
                        median(p50), median(p99), median(mx), median(share), failed);
            auto yard = medians.find(load.yard);
            if (!load.yard.empty() && yard != medians.end() && yard->second > 0) {
                double ratio = m / yard->second;
                std::printf(" %6.2f", ratio);
                if (load.aim > 0) {
                    std::printf("  >= %.2f of %s: %s", load.aim, load.yard.c_str(),
                                ratio >= load.aim ? "met" : "MISSED");
                }
            }
            std::printf("\n");
        }
    }
}

int RemoveTree(const std::string& dir) {
    return nftw(dir.c_str(), [](const char* p, const struct stat*, int, struct FTW*) {
        return std::remove(p);
    }, 32, FTW_DEPTH | FTW_PHYS);
}

int Main(int argc, char** argv) {
    if (argc >= 6 && std::strcmp(argv[1], "--worker") == 0) return Worker(argc, argv);
    if (argc >= 6 && std::strcmp(argv[1], "--load") == 0) return LoadWorker(argc, argv);
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        std::fprintf(stderr,
                     "usage: mqbench [--quick] [--dir DIR] [--rounds N] [--seconds S] [--ops N]"
                     " [--deep N] [--figures 0|1] [--matrix-seconds S] [--size-seconds S]"
                     " [--sizes B,B,...] [--limit BYTES] [--strace S]\n"
                     "       mqbench --steady S [--rate N] [--steady-size B] [--interval S]"
                     " [--dir DIR] [--limit BYTES]\n");
        return 64;
    }
    bool made = false;
    if (o.dir.empty()) {
        char tmpl[] = "/var/tmp/mqbench-XXXXXX";
        if (mkdtemp(tmpl) == nullptr) {
            std::perror("mqbench: mkdtemp");
            return 1;
        }
        o.dir = tmpl;
        made = true;
    } else {
        // A --dir that does not exist yet (a fresh mount's subdirectory) is
        // made, with its parents, and kept like any other.
        std::error_code ec;
        std::filesystem::create_directories(o.dir, ec);
        if (ec) {
            std::fprintf(stderr, "mqbench: mkdir %s: %s\n", o.dir.c_str(), ec.message().c_str());
            return 1;
        }
    }
    if (o.steady.seconds > 0) {
        o.steady.limit = o.limit;
        int rc = RunSteady(o.dir + "/steady", o.steady);
        if (made) RemoveTree(o.dir);
        return rc;
    }
    const std::string yard = o.dir + "/yardsticks";
    const std::string stores[2] = {o.dir + "/shallow", o.dir + "/deep"};
    const long depths[2] = {kShallow, o.deep};
    const std::string matrix = o.dir + "/matrix";
    const bool loads = o.matrixSeconds > 0 || o.sizeSeconds > 0 || o.straceSeconds > 0;
    const bool sized = o.sizeSeconds > 0 || o.straceSeconds > 0;
    std::string err = o.figures ? PrepareYardsticks(yard, kShallow) : "";
    if (err.empty() && loads) {
        MatrixSetup setup;
        if (sized) setup.sizes = o.sizes;
        setup.bodyInCommitLimit = o.limit;
        // Rows for every synced take of every round: one taker and eight
        // each take well under 12,000 a second on a local disk.
        const double takeSeconds = o.rounds * o.sizeSeconds * static_cast<double>(o.sizes.size());
        setup.yardRows = std::max(setup.yardRows, static_cast<long>(takeSeconds * 12000));
        err = PrepareMatrix(matrix, setup);
    }
    for (const std::string& s : stores)
        if (err.empty() && o.figures) err = PrepareStore(s);
    std::vector<std::pair<std::string, Run>> ignored;
    for (int i = 0; i < 2 && err.empty() && o.figures; ++i) {
        std::fprintf(stderr, "mqbench: filling %s to %ld entries\n", stores[i].c_str(), depths[i]);
        Budget fill;
        fill.maxOps = depths[i];
        if (!RunWorker("fill", stores[i], stores[i], fill, &ignored)) err = "filling " + stores[i];
    }
    if (!err.empty()) {
        std::fprintf(stderr, "mqbench: %s\n", err.c_str());
        if (made) RemoveTree(o.dir);
        return 1;
    }

    std::printf("mqbench: %d rounds, each figure %.1f s or %ld operations, under %s\n",
                o.rounds, o.budget.seconds, o.budget.maxOps, o.dir.c_str());
    std::map<std::string, std::vector<Run>> results;
    std::map<std::string, std::vector<LoadResult>> matrixResults, sizeResults, traced;
    bool failed = false;
    auto runLoads = [&](const std::vector<Load>& list, double seconds, bool strace,
                        std::map<std::string, std::vector<LoadResult>>* into) {
        for (const Load& load : list) {
            for (auto& r : RunLoad(load, matrix, seconds, strace)) {
                if (!r.second.error.empty()) {
                    std::fprintf(stderr, "mqbench: %s: %s\n", r.first.c_str(),
                                 r.second.error.c_str());
                    failed = true;
                }
                (*into)[r.first].push_back(r.second);
            }
        }
    };
    auto drain = [&]() {
        std::string e = DrainSizes(matrix, o.sizes);
        if (!e.empty()) {
            std::fprintf(stderr, "mqbench: %s\n", e.c_str());
            failed = true;
        }
    };
    for (int round = 0; round < o.rounds; ++round) {
        std::fprintf(stderr, "mqbench: round %d of %d\n", round + 1, o.rounds);
        for (int turn = 0; turn < 3 && o.figures; ++turn) {
            int group = (round + turn) % 3;
            std::vector<std::pair<std::string, Run>> runs;
            std::string suffix;
            bool ok;
            if (group == 0) {
                ok = RunWorker("yard", yard, "", o.budget, &runs);
            } else {
                ok = RunWorker("queue", stores[group - 1], stores[group - 1], o.budget, &runs);
                suffix = " @" + std::to_string(depths[group - 1]);
            }
            if (!ok) failed = true;
            for (const auto& r : runs) {
                if (!r.second.error.empty()) {
                    std::fprintf(stderr, "mqbench: %s%s: %s\n", r.first.c_str(), suffix.c_str(),
                                 r.second.error.c_str());
                    failed = true;
                    continue;
                }
                results[r.first + suffix].push_back(r.second);
            }
        }
        // The matrix in the same round: puts first, so that the gets have
        // entries to take; yardsticks beside each process count. Then the
        // body sizes, each size's readers on what its puts left.
        if (o.matrixSeconds > 0) runLoads(Matrix(), o.matrixSeconds, false, &matrixResults);
        if (o.sizeSeconds > 0) {
            runLoads(SizeLoads(o.sizes), o.sizeSeconds, false, &sizeResults);
            drain();
        }
    }
    if (o.straceSeconds > 0) {
        std::fprintf(stderr, "mqbench: the traced run\n");
        for (const Load& load : SizeLoads(o.sizes)) {
            runLoads({load}, o.straceSeconds, true, &traced);
            if (load.yard.empty() && load.aim == 0 && load.name.rfind("top-up", 0) == 0) continue;
            runLoads({load}, 0, true, &traced);
        }
        drain();
    }
    if (o.figures) Report(o, results);
    if (!matrixResults.empty()) ReportMatrix(matrixResults);
    if (!sizeResults.empty()) ReportSizes(o.sizes, sizeResults);
    if (!traced.empty()) ReportTraced(o.sizes, traced);
    if (made) RemoveTree(o.dir);
    return failed ? 1 : 0;
}

}  // namespace
}  // namespace mqbench

int main(int argc, char** argv) { return mqbench::Main(argc, argv); }
