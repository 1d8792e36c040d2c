// depthfill.cpp - fills a queue for the depth run (depth.sh): N one-call
// puts (PutMsgBody) of SIZE bytes, spread in turn over the channels named,
// from P processes at once. Prints the puts made and their rate.
//
// usage: depthfill CONFIG N SIZE P CHANNEL...
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "benchmessage.h"
#include "mqapi.h"

namespace {

// This process's bytes sent towards the disk so far (write_bytes of
// /proc/self/io: counted as pages are dirtied); -1 when unknown.
long long WrittenBytes() {
    std::FILE* io = std::fopen("/proc/self/io", "r");
    if (io == nullptr) return -1;
    char line[128];
    long long bytes = -1;
    while (std::fgets(line, sizeof line, io) != nullptr) {
        if (std::sscanf(line, "write_bytes: %lld", &bytes) == 1) break;
    }
    std::fclose(io);
    return bytes;
}

// One process's share: puts number first, first + procs, ... below n; its
// bytes written go to report.
int Fill(const char* config, long first, long n, long procs, size_t size,
         const std::vector<std::string>& channels, int report) {
    cMQ mq;
    if (mq.OpenMQChannel("depthfill", config) != MQ_SUCCESS) return 1;
    BenchMessage message;
    std::string body(size, 'x');
    long long before = WrittenBytes();
    for (long i = first; i < n; i += procs) {
        // A distinct first line, so no two bodies are the same bytes.
        std::string head = "Subject: depth " + std::to_string(i) + "\n";
        body.replace(0, std::min(head.size(), size), head, 0, std::min(head.size(), size));
        const std::string& channel = channels[static_cast<size_t>(i) % channels.size()];
        if (mq.PutMsgBody(message.get(), channel.c_str(), body.data(), body.size()) !=
            MQ_SUCCESS) {
            std::fprintf(stderr, "depthfill: put %ld failed\n", i);
            return 1;
        }
    }
    long long written = WrittenBytes() - before;
    return write(report, &written, sizeof written) == sizeof written ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 6) {
        std::fprintf(stderr, "usage: depthfill CONFIG N SIZE P CHANNEL...\n");
        return 64;
    }
    const char* config = argv[1];
    long n = std::atol(argv[2]);
    size_t size = static_cast<size_t>(std::atol(argv[3]));
    long procs = std::max(1L, std::atol(argv[4]));
    std::vector<std::string> channels(argv + 5, argv + argc);
    auto start = std::chrono::steady_clock::now();
    int pipeFds[2];
    if (pipe(pipeFds) != 0) return 1;
    std::vector<pid_t> children;
    for (long p = 0; p < procs; ++p) {
        pid_t pid = fork();
        if (pid == 0) _exit(Fill(config, p, n, procs, size, channels, pipeFds[1]));
        if (pid > 0) children.push_back(pid);
    }
    close(pipeFds[1]);
    long long written = 0, one = 0;
    while (read(pipeFds[0], &one, sizeof one) == sizeof one) written += one;
    close(pipeFds[0]);
    int failed = 0;
    for (pid_t pid : children) {
        int status = 0;
        waitpid(pid, &status, 0);
        failed += !(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf(
        "%ld puts of %zu bytes from %ld processes in %.1f s (%.0f a second), %.1f KiB written "
        "a put\n",
        n, size, procs, seconds, n / seconds, written / 1024.0 / n);
    return failed == 0 ? 0 : 1;
}
