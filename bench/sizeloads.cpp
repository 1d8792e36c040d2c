// sizeloads.cpp - the body-size loads, their clean-up and their tables.
#include "sizeloads.h"

#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "loadkinds.h"

namespace mqbench {
namespace {

// The name's start of the loads that only fill (not reported).
const char kTopUp[] = "top-up ";

// What a one-call put of size bytes from procs processes aims at, as a
// share of as many Maildir deliverers (0: no aim).
double PutAim(size_t size, int procs) {
    if (size == 4096) return procs == 1 ? 1.2 : procs == 8 ? 1.5 : 0;
    if (size == 65536) return procs == 8 ? 1.2 : 0;
    if (size == 1048576) return 0.8;
    return 0;
}

std::vector<std::string> Kinds(int n, const std::string& kind) {
    return std::vector<std::string>(static_cast<size_t>(n), kind);
}

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 == 1 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

}  // namespace

std::string SizeLabel(size_t size) {
    if (size >= 1048576 && size % 1048576 == 0) return std::to_string(size / 1048576) + " MiB";
    if (size >= 1024 && size % 1024 == 0) return std::to_string(size / 1024) + " KiB";
    return std::to_string(size) + " B";
}

std::vector<Load> SizeLoads(const std::vector<size_t>& sizes) {
    std::vector<Load> loads;
    for (size_t size : sizes) {
        const std::string s = std::to_string(size);
        const std::string label = SizeLabel(size) + " ";
        for (int p : {1, 8}) {
            const std::string n = std::to_string(p);
            loads.push_back({label + "maildir P=" + n, "", 0, Kinds(p, "maildir:" + s)});
            loads.push_back({label + "one-call put P=" + n, label + "maildir P=" + n,
                             PutAim(size, p), Kinds(p, "put1:" + s)});
        }
        // The readers get fresh entries and files besides what the puts
        // above left (unmeasured), so that one reader load can't leave
        // the next nothing to take.
        loads.push_back({kTopUp + label + "queue", "", 0, Kinds(8, "put1:" + s)});
        loads.push_back({kTopUp + label + "maildir", "", 0, Kinds(8, "maildir:" + s)});
        loads.push_back({label + "sqlite take R=1", "", 0, Kinds(1, "take")});
        loads.push_back(
            {label + "get+read R=1", label + "sqlite take R=1", 0.8, Kinds(1, "getread:" + s)});
        loads.push_back({kTopUp + label + "queue", "", 0, Kinds(8, "put1:" + s)});
        loads.push_back({label + "maildir take R=8", "", 0, Kinds(8, "mdtake:" + s)});
        // What plain SQLite does when eight processes each remove rows in
        // synced transactions, beside the Maildir takes (each unlink
        // followed by a sync of the directory).
        loads.push_back({label + "sqlite take R=8", "", 0, Kinds(8, "take")});
        loads.push_back(
            {label + "get+read R=8", label + "maildir take R=8", 0.8, Kinds(8, "getread:" + s)});
    }
    return loads;
}

std::string DrainSizes(const std::string& dir, const std::vector<size_t>& sizes) {
    for (size_t size : sizes) {
        Load drain{"drain", "", 0, Kinds(1, "get:" + std::to_string(size))};
        for (const auto& r : RunLoad(drain, dir, 600)) {
            if (!r.second.error.empty() || r.second.failed > 0) return "draining " + SizeLabel(size);
        }
        std::string box = dir + "/" + SizeMaildir(size) + "/new";
        DIR* d = opendir(box.c_str());
        if (d == nullptr) return "opendir " + box;
        for (dirent* e; (e = readdir(d)) != nullptr;) {
            if (e->d_name[0] != '.') unlink((box + "/" + e->d_name).c_str());
        }
        closedir(d);
    }
    return "";
}

void ReportSizes(const std::vector<size_t>& sizes,
                 const std::map<std::string, std::vector<LoadResult>>& results) {
    std::printf("\n%-30s %7s %12s %6s %6s %7s %6s %8s %8s %6s  %s\n",
                "body size load (per second)", "median", "range", "p50 ms", "p99 ms", "max ms",
                "failed", "wr KiB", "spared", "ratio", "aim");
    std::map<std::string, double> medians;
    for (const Load& load : SizeLoads(sizes)) {
        if (load.name.rfind(kTopUp, 0) == 0) continue;
        auto found = results.find(load.name);
        if (found == results.end() || found->second.empty()) {
            std::printf("%-30s %7s\n", load.name.c_str(), "(no run)");
            continue;
        }
        std::vector<double> rate, p50, p99, mx, wr, spared;
        long failed = 0;
        bool io = true;
        for (const LoadResult& r : found->second) {
            rate.push_back(r.opsPerSecond);
            p50.push_back(r.p50ms);
            p99.push_back(r.p99ms);
            mx.push_back(r.maxms);
            failed += r.failed;
            io = io && r.io;
            wr.push_back(r.writtenPerOp / 1024);
            spared.push_back(r.cancelledPerOp / 1024);
        }
        double m = Median(rate);
        medians[load.name] = m;
        auto mm = std::minmax_element(rate.begin(), rate.end());
        char range[48];
        std::snprintf(range, sizeof range, "%.0f-%.0f", *mm.first, *mm.second);
        std::printf("%-30s %7.0f %12s %6.1f %6.1f %7.1f %6ld", load.name.c_str(), m, range,
                    Median(p50), Median(p99), Median(mx), failed);
        if (io) {
            std::printf(" %8.1f %8.1f", Median(wr), Median(spared));
        } else {
            std::printf(" %8s %8s", "-", "-");
        }
        auto yard = medians.find(load.yard);
        if (!load.yard.empty() && yard != medians.end() && yard->second > 0) {
            double ratio = m / yard->second;
            std::printf(" %6.2f", ratio);
            if (load.aim > 0) {
                std::printf("  >= %.2f: %s", load.aim, ratio >= load.aim ? "met" : "MISSED");
            }
        }
        std::printf("\n");
    }
}

void ReportTraced(const std::vector<size_t>& sizes,
                  const std::map<std::string, std::vector<LoadResult>>& results) {
    std::printf("\n%-30s %7s %9s %9s %9s %9s\n", "traced (strace -c -f), per op", "ops",
                "calls", "fsync", "fdatasync", "opens");
    for (const Load& load : SizeLoads(sizes)) {
        if (load.name.rfind(kTopUp, 0) == 0) continue;
        auto found = results.find(load.name);
        if (found == results.end() || found->second.size() < 2) continue;
        // The second run did no operation: its calls are the processes'
        // start, which the first's are reduced by.
        const LoadResult& r = found->second[0];
        const LoadResult& idle = found->second[1];
        if (!r.traced || !idle.traced || r.ops <= 0) {
            std::printf("%-30s %7ld %9s\n", load.name.c_str(), r.ops, "-");
            continue;
        }
        auto per = [&](std::initializer_list<const char*> names) {
            double n = 0;
            for (const char* name : names) {
                auto a = r.calls.find(name), b = idle.calls.find(name);
                n += static_cast<double>(a == r.calls.end() ? 0 : a->second) -
                     static_cast<double>(b == idle.calls.end() ? 0 : b->second);
            }
            return n / static_cast<double>(r.ops);
        };
        std::printf("%-30s %7ld %9.1f %9.2f %9.2f %9.2f\n", load.name.c_str(), r.ops,
                    per({"total"}), per({"fsync"}), per({"fdatasync"}), per({"openat", "open"}));
    }
}

}  // namespace mqbench
