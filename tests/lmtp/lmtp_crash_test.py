#!/usr/bin/env python3
"""SIGKILL under load: eight clients send messages down their sessions as
fast as the server takes them; the server and its sessions are killed
with SIGKILL in the middle. Every message that got its 250 must be in the
queue with its sender, recipients and body exactly; an entry the clients
were never told about may be there, but only whole. A server started
again over the same socket path takes mail at once.

usage: lmtp_crash_test.py MQLMTPD MQCTL
"""

import os
import random
import shutil
import sys
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lmtp_harness import Client, Installation, Server, message, wire  # noqa: E402

LMTPD, MQCTL = sys.argv[1], sys.argv[2]
SESSIONS = 8


def body_for(session, n, rng):
    size = rng.choice([200, 3000, 20000, 300 * 1024])
    head = b"Subject: %d.%d\n\n" % (session, n)
    line = b"%d.%d " % (session, n) + bytes(rng.randrange(128, 256) for _ in range(40)) + b"\n"
    return head + line * (size // len(line) + 1)


def sender(session, server, acked, sent, stop):
    rng = random.Random(session)
    try:
        client = Client(server.socket, timeout=30)
        client.reply()
        client.send(b"LHLO crash.test\r\n")
        client.reply()
        n = 0
        while not stop.is_set():
            body = body_for(session, n, rng)
            rcpt = b"r%d-%d@in.test" % (session, n)
            sent[(session, n)] = body
            client.send(message(b"s%d@src.test" % session, [rcpt], wire(body), lhlo=False))
            replies = client.replies(4)
            if replies[-1] is None or replies[-1][0] != "250":
                break
            entry = int(replies[-1][1].rsplit(" ", 1)[1])
            acked.append((entry, "s%d@src.test" % session, rcpt.decode(), body))
            n += 1
    except OSError:
        pass  # the server is gone
    except Exception as e:  # a fault of the test itself must show
        print("session %d: %r" % (session, e))
        raise


def main():
    inst = Installation(MQCTL)
    failures = []
    server = None
    try:
        server = Server(LMTPD, inst)
        acked, sent, stop = [], {}, threading.Event()
        threads = [threading.Thread(target=sender, args=(s, server, acked, sent, stop))
                   for s in range(SESSIONS)]
        for t in threads:
            t.start()
        deadline = time.time() + 20
        while len(acked) < 150 and time.time() < deadline:
            time.sleep(0.05)
        server.kill()
        stop.set()
        for t in threads:
            t.join()
        if len(acked) < 20:
            failures.append("only %d messages acknowledged before the kill" % len(acked))
        have = {e["id"]: e for e in inst.entries()}
        for entry, frm, rcpt, body in acked:
            e = have.get(entry)
            if e is None:
                failures.append("acknowledged entry %d is lost" % entry)
            elif (e["from"], e["to"], e["body"]) != (frm, [rcpt], body):
                failures.append("entry %d: got %r to %r (%d bytes), want %r to %r (%d bytes)" % (
                    entry, e["from"], e["to"], len(e["body"]), frm, rcpt, len(body)))
        bodies = set(sent.values())
        for e in have.values():
            if e["body"] not in bodies:
                failures.append("entry %d holds a body nobody sent whole (%d bytes)" % (
                    e["id"], len(e["body"])))
        print("%d acknowledged, %d in the queue after the kill" % (len(acked), len(have)))
        # Started again: the stale socket is replaced, mail comes in.
        again = Server(LMTPD, inst)
        try:
            c = Client(again.socket)
            c.send(message(b"s@src.test", [b"after@in.test"], b"after\r\n") + b"QUIT\r\n")
            got = [r[0] if r else None for r in c.replies(7)]
            c.close()
        finally:
            again.stop()
        if got != ["220", "250", "250", "250", "354", "250", "221"]:
            failures.append("after the restart: replies %r" % got)
    finally:
        # A test that failed half way leaves no server behind.
        if server is not None and server.proc.poll() is None:
            server.kill()
        shutil.rmtree(inst.dir, ignore_errors=True)
    for f in failures[:20]:
        print("FAIL:", f)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
