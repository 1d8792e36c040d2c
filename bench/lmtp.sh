#!/usr/bin/env bash
# mqlmtpd alone, on its unix socket:
# 1. put latency: 8 sessions each send 250 messages of 1-64 KiB down one
#    connection; the time from the final dot to the 250 (the put made
#    durable) is taken for each, and the median, p99 and rate printed;
# 2. memory with large messages: SESSIONS sessions (20 unless given) each
#    send one message of MIB MiB (10 unless given) at once, and the
#    server's processes are sampled every 0.2 s for their resident (RSS)
#    and proportional (PSS: shared pages divided among the processes
#    sharing them) set sizes, summed over the listening process and its
#    workers; the peaks are printed.
#
# usage: bench/lmtp.sh [SESSIONS [MIB]]
# mqlmtpd is built without sanitizers (build/mqbench, as bench/run.sh does);
# the queue lives in a new directory under /var/tmp, removed afterwards.
set -euo pipefail
cd "$(dirname "$0")/.."
sessions=${1:-20}
mib=${2:-10}
cmake -S . -B build/mqbench -DCMAKE_BUILD_TYPE=Release -DMQ_BUILD_TESTS=OFF >/dev/null
cmake --build build/mqbench -j"$(nproc)" --target mqlmtpd >/dev/null
work=$(mktemp -d /var/tmp/mq-lmtp-memory.XXXXXX)
pid=
cleanup() {
    [ -z "$pid" ] || { kill "$pid"; wait "$pid"; } 2>/dev/null
    rm -rf "$work"
}
trap cleanup EXIT
printf '[Config]\nInstallDirectory=%s\n' "$work" > "$work/daduv.ini"
printf 'IN\t\tin\t\tin\r\n' > "$work/queue.cfg"
build/mqbench/tools/mqlmtpd/mqlmtpd --config "$work" --channel IN \
    --listen "unix:$work/lmtp.sock" 2>"$work/lmtpd.log" &
pid=$!
for _ in $(seq 100); do [ -S "$work/lmtp.sock" ] && break; sleep 0.05; done
python3 - "$work/lmtp.sock" <<'PY'
import random, socket, sys, threading, time
path = sys.argv[1]
times = []

def session(k):
    rng = random.Random(k)
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)
    f = s.makefile("rb")
    f.readline()
    s.sendall(b"LHLO bench.test\r\n")
    while f.readline()[3:4] == b"-":
        pass
    for _ in range(250):
        body = (b"y" * 78 + b"\r\n") * (rng.randrange(1024, 65536) // 80)
        s.sendall(b"MAIL FROM:<a@src.test>\r\nRCPT TO:<r@in.test>\r\nDATA\r\n" + body)
        for _ in range(3):
            f.readline()
        start = time.perf_counter()
        s.sendall(b".\r\n")
        f.readline()
        times.append(time.perf_counter() - start)
    s.close()

start = time.perf_counter()
threads = [threading.Thread(target=session, args=(k,)) for k in range(8)]
for t in threads:
    t.start()
for t in threads:
    t.join()
elapsed = time.perf_counter() - start
times.sort()
print("mqlmtpd, 8 sessions of 250 messages of 1-64 KiB: %.0f msg/s; put latency median %.1f ms,"
      " p99 %.1f ms" % (len(times) / elapsed, times[len(times) // 2] * 1000,
                        times[int(len(times) * 0.99)] * 1000))
PY
python3 - "$pid" "$work/lmtp.sock" "$sessions" "$mib" <<'PY'
import socket, sys, threading, time
server, path, sessions, mib = int(sys.argv[1]), sys.argv[2], int(sys.argv[3]), int(sys.argv[4])
chunk = (b"z" * 998 + b"\r\n") * 64
failed = []

def session():
    s = socket.socket(socket.AF_UNIX)
    s.connect(path)
    f = s.makefile("rb")
    f.readline()
    s.sendall(b"LHLO bench.test\r\n")
    while f.readline()[3:4] == b"-":
        pass
    s.sendall(b"MAIL FROM:<a@src.test>\r\nRCPT TO:<r@in.test>\r\nDATA\r\n")
    for _ in range(3):
        f.readline()
    for _ in range(mib * 1024 * 1024 // len(chunk)):
        s.sendall(chunk)
    s.sendall(b".\r\n")
    if not f.readline().startswith(b"250 "):
        failed.append(1)
    s.close()

peak = [0, 0]
done = threading.Event()

def sample():
    while not done.is_set():
        pids = [server] + [int(p) for p in
                           open("/proc/%d/task/%d/children" % (server, server)).read().split()]
        rss = pss = 0
        for p in pids:
            try:
                for line in open("/proc/%d/smaps_rollup" % p):
                    if line.startswith("Rss:"):
                        rss += int(line.split()[1])
                    elif line.startswith("Pss:"):
                        pss += int(line.split()[1])
            except OSError:
                pass
        peak[0], peak[1] = max(peak[0], rss), max(peak[1], pss)
        time.sleep(0.2)

sampler = threading.Thread(target=sample)
sampler.start()
threads = [threading.Thread(target=session) for _ in range(sessions)]
for t in threads:
    t.start()
for t in threads:
    t.join()
done.set()
sampler.join()
print("mqlmtpd, %d sessions of one %d MiB message each: peak PSS %.1f MiB, peak RSS %.1f MiB"
      " (summed over the listening process and its workers)%s" % (
          sessions, mib, peak[1] / 1024, peak[0] / 1024,
          "; %d messages NOT stored" % len(failed) if failed else ""))
sys.exit(1 if failed else 0)
PY
