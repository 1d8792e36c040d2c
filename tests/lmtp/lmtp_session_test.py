#!/usr/bin/env python3
"""The LMTP server's sessions, one row per command sequence: each row sends
its bytes to a real mqlmtpd over its unix socket (pipelined, as a client
with PIPELINING does), reads the replies, and then reads the queue the
server put into, through mqctl: which entries came in, with which sender,
recipients and body bytes.

usage: lmtp_session_test.py MQLMTPD MQCTL
"""

import fcntl
import os
import shutil
import signal
import struct
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from lmtp_harness import Client, Installation, Server, message, wire  # noqa: E402

LMTPD, MQCTL = sys.argv[1], sys.argv[2]
MAX = 2 * 1024 * 1024

LHLO = b"LHLO client.test\r\n"
MAIL = b"MAIL FROM:<s@src.test>\r\n"
RCPT = b"RCPT TO:<r@in.test>\r\n"
QUIT = b"QUIT\r\n"
GREET = "220 lmtp.test"
EHLO_REPLY = ("250-lmtp.test\n250-PIPELINING\n250-ENHANCEDSTATUSCODES\n"
              "250-SIZE %d\n250 8BITMIME" % MAX)
OK_MAIL, OK_RCPT, GO = "250 2.1.0", "250 2.1.5", "354"
SENT = "250 2.0.0 <r@in.test> queued as "
BYE = "221 2.0.0"

EIGHT_BIT = b"caf\xe9 cr\xe8me\x00nul\nbare\rcr\n.dot\n..two\n\xff\x80\n"
BIG_LINE = b"x" * (100 * 1024) + b"\n"
BIG_BODY = b"".join(b"%07d %s\n" % (i, b"y" * 120) for i in range(9000))  # ~1.1 MiB


def stored(body, sender="s@src.test", to=("r@in.test",)):
    return {"from": sender, "to": list(to), "body": body}


# Rows: name, server, what the client sends (bytes, or an action), the
# replies it wants (each a prefix of the reply, continuation lines joined
# by newlines; None: the server closed the connection), and the entries the
# queue must have gained.
ROWS = [
    ("one message, LHLO's extensions",
     "main", [message(b"s@src.test", [b"r@in.test"], b"Subject: x\r\n\r\nhello\r\n") + QUIT],
     [GREET, EHLO_REPLY, OK_MAIL, OK_RCPT, GO, SENT, BYE, None],
     [stored(b"Subject: x\n\nhello\n")]),
    ("null sender, SIZE and BODY=8BITMIME",
     "main", [LHLO + b"MAIL FROM:<> SIZE=40 BODY=8BITMIME\r\n" + RCPT + b"DATA\r\nbounce\r\n.\r\n"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, SENT],
     [stored(b"bounce\n", sender="<>")]),
    ("8-bit, NUL, bare CR and dots kept exactly (CRLF turned into LF)",
     "main", [message(b"s@src.test", [b"r@in.test"], wire(EIGHT_BIT))],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, SENT], [stored(EIGHT_BIT)]),
    ("bare LF line ends and a 100 KiB line",
     "main", [LHLO + MAIL + RCPT + b"DATA\n" + b"a\nb\r\n" + BIG_LINE + b".\n"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, SENT], [stored(b"a\nb\n" + BIG_LINE)]),
    ("a body past the spill size, streamed to a file",
     "main", [message(b"s@src.test", [b"r@in.test"], wire(BIG_BODY))],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, SENT], [stored(BIG_BODY)]),
    ("two messages in one session, one reply per accepted recipient",
     "main", [message(b"a@src.test", [b"r1@in.test", b"r2@in.test"], b"one\r\n") +
              message(b"b@src.test", [b"r3@in.test"], b"two\r\n", lhlo=False) + QUIT],
     [GREET, "250", OK_MAIL, OK_RCPT, OK_RCPT, GO,
      "250 2.0.0 <r1@in.test> queued as ", "250 2.0.0 <r2@in.test> queued as ",
      OK_MAIL, OK_RCPT, GO, "250 2.0.0 <r3@in.test> queued as ", BYE],
     [stored(b"one\n", "a@src.test", ("r1@in.test", "r2@in.test")),
      stored(b"two\n", "b@src.test", ("r3@in.test",))]),
    ("an address with a control character refused at RCPT, the others kept",
     "main", [LHLO + MAIL + b"RCPT TO:<bad\x01@in.test>\r\n" + RCPT +
              b"RCPT TO:<\"q >x\"@in.test>\r\nRCPT TO:<r2@in.test>\r\nDATA\r\nm\r\n.\r\n"],
     [GREET, "250", OK_MAIL, "550 5.1.3", OK_RCPT, "550 5.1.3", OK_RCPT, GO, SENT,
      "250 2.0.0 <r2@in.test> queued as "],
     [stored(b"m\n", to=("r@in.test", "r2@in.test"))]),
    ("sequence errors: MAIL before LHLO, RCPT before MAIL, a second MAIL",
     "main", [MAIL + LHLO + RCPT + MAIL + MAIL + QUIT],
     [GREET, "503 5.5.1", "250", "503 5.5.1", OK_MAIL, "503 5.5.1", BYE, None], []),
    ("no valid recipient: 554 at DATA, the pipelined body refused line by line",
     "main", [LHLO + MAIL + b"RCPT TO:<x\x7f@in.test>\r\nDATA\r\nbody\r\n.\r\n" + QUIT],
     [GREET, "250", OK_MAIL, "550 5.1.3", "554 5.5.1", "500 5.5.2", "500 5.5.2", BYE, None],
     []),
    ("RSET ends the transaction; NOOP, VRFY, unknown verbs, HELO",
     "main", [LHLO + MAIL + RCPT + b"RSET\r\nDATA\r\nNOOP\r\nVRFY x\r\nFOO\r\nHELO x\r\n" + QUIT],
     [GREET, "250", OK_MAIL, OK_RCPT, "250 2.0.0", "503 5.5.1", "250 2.0.0", "252 2.5.2",
      "500 5.5.2", "500 5.5.1", BYE], []),
    ("syntax: LHLO without a name, MAIL without brackets, unknown parameters",
     "main", [b"LHLO\r\n" + LHLO + b"MAIL FROM:s@src.test\r\nMAIL FROM:<s@src.test> RET=FULL\r\n" +
              b"MAIL FROM:<s@src.test> SIZE=x\r\n" + MAIL + b"RCPT TO:<r@in.test> NOTIFY=NEVER\r\n" +
              b"RCPT TO:<>\r\nDATA x\r\n" + QUIT],
     [GREET, "501 5.5.4", "250", "501 5.1.7", "555 5.5.4", "501 5.5.4", OK_MAIL, "555 5.5.4",
      "501 5.1.3", "501 5.5.4", BYE], []),
    ("a command line over 4 KiB: 500 5.5.2, and the session goes on",
     "main", [LHLO + b"NOOP " + b"z" * 5000 + b"\r\nNOOP\r\n" + QUIT],
     [GREET, "250", "500 5.5.2", "250 2.0.0", BYE], []),
    ("SIZE over the limit refused at MAIL",
     "main", [LHLO + b"MAIL FROM:<s@src.test> SIZE=%d\r\n" % (MAX + 1) + QUIT],
     [GREET, "250", "552 5.3.4", BYE], []),
    ("a body over the limit: 552 5.3.4 per recipient, nothing stored",
     "main", [message(b"s@src.test", [b"r@in.test", b"r2@in.test"],
                      wire(b"w" * 1000 + b"\n") * (MAX // 1000 + 10)) + b"NOOP\r\n"],
     [GREET, "250", OK_MAIL, OK_RCPT, OK_RCPT, GO, "552 5.3.4", "552 5.3.4", "250 2.0.0"], []),
    ("a client gone in the middle of DATA leaves nothing",
     "main", [LHLO + MAIL + RCPT + b"DATA\r\nhalf a mess", "close"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO], []),
    ("a message without its final dot is not stored",
     "main", [LHLO + MAIL + RCPT + b"DATA\r\nno end\r\n", "shutdown-write"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, None], []),
    ("1001 recipients: the one past the limit gets 452 4.5.3",
     "main", [LHLO + MAIL + b"".join(b"RCPT TO:<r%d@in.test>\r\n" % i for i in range(1001)) +
              b"RSET\r\n"],
     [GREET, "250", OK_MAIL] + [OK_RCPT] * 1000 + ["452 4.5.3", "250 2.0.0"], []),
    ("the channel is not in queue.cfg: 451 4.3.0, deferred",
     "nochannel", [message(b"s@src.test", [b"r@in.test", b"r2@in.test"], b"x\r\n")],
     [GREET, "250", OK_MAIL, OK_RCPT, OK_RCPT, GO, "451 4.3.0", "451 4.3.0"], []),
    ("the store locked by a stuck writer: 451 4.3.0 once the store's wait ran out",
     "main", ["lock", message(b"s@src.test", [b"r@in.test"], b"x\r\n"), "unlock"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, "451 4.3.0"], []),
    ("the spool's disk full: 452 4.3.1",
     "full", [message(b"s@src.test", [b"r@in.test"], wire(b"f" * 99 + b"\n") * 15000)],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, "452 4.3.1"], []),
    ("silent past the command timeout: 421 4.4.2",
     "timeout", [LHLO],
     [GREET, "250", "421 4.4.2", None], []),
    ("one session over --max-sessions: 421 4.3.2",
     "one", ["second"],
     [GREET, "421 4.3.2", None], []),
    ("SIGTERM in DATA: the message is finished and stored, then 421 4.3.2",
     "term", [LHLO + MAIL + RCPT + b"DATA\r\nfirst half\r\n", "term",
              b"second half\r\n.\r\nNOOP\r\n"],
     [GREET, "250", OK_MAIL, OK_RCPT, GO, SENT, "421 4.3.2", None],
     [stored(b"first half\nsecond half\n")]),
]


class Env:
    """The servers the rows use, each started at its first use."""

    def __init__(self):
        self.inst = Installation(MQCTL)
        self.servers = {}
        self.mounted = None

    def server(self, kind):
        if kind in self.servers:
            return self.servers[kind]
        inst = self.inst
        extra = ["--max-size", str(MAX)]
        channel = "IN"
        if kind == "nochannel":
            channel = "OUT"
        elif kind == "timeout":
            extra += ["--command-timeout", "1", "--data-timeout", "1"]
        elif kind == "one":
            extra += ["--max-sessions", "1"]
        elif kind == "full":
            inst = self.full_installation()
            if inst is None:
                return None
        s = Server(LMTPD, inst, channel, extra, name="lmtp-%s.sock" % kind)
        if kind != "term":
            self.servers[kind] = s
        return s

    def full_installation(self):
        """An installation on a small file system of its own, filled up."""
        root = os.path.join(self.inst.dir, "full")
        os.mkdir(root)
        try:
            mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4m", "tmpfs", root],
                                   capture_output=True)
        except OSError:  # no mount program (a bare build root)
            return None
        if mount.returncode != 0:
            return None
        self.mounted = root
        inst = Installation(MQCTL, root=root)
        before_put = last_pid()
        put = inst.ctl("put", "IN", "--from", "s@src.test", "--to", "r@in.test", "/dev/null")
        assert put.returncode == 0, put.stderr
        with open(os.path.join(root, "filler"), "wb") as f:
            try:
                while True:
                    f.write(b"\0" * 65536)
                    f.flush()
            except OSError:
                pass
        pids_far_from(before_put)
        return inst

    def close(self):
        for s in self.servers.values():
            s.stop()
        if self.mounted:
            subprocess.run(["umount", self.mounted])
        shutil.rmtree(self.inst.dir, ignore_errors=True)


NS_LAST_PID = "/proc/sys/kernel/ns_last_pid"


def last_pid():
    with open(NS_LAST_PID) as f:
        return int(f.read())


def pids_far_from(pid):
    """Makes the processes started next get ids far from pid's.

    A process's slot in the store's lock file, and so the part of the file
    it writes on opening, follows from its id: the server's sessions then use
    a part the installation's first put did not write, which a full disk
    must not keep them from (where the kernel lets ids be steered)."""
    with open("/proc/sys/kernel/pid_max") as f:
        pid_max = int(f.read())
    page = lambda p: (p % 16384) // 512
    for far in range(pid + 2048, pid + 2048 + 16384, 512):
        far = far % pid_max
        if far > 1000 and page(far) != page(pid) and page(far + 400) != page(pid):
            break
    try:
        with open(NS_LAST_PID, "w") as f:
            f.write(str(far))
    except OSError:
        pass


def hold_writers_lock(inst):
    """Takes the store's writers' lock as a stuck writer would hold it."""
    fd = os.open(os.path.join(inst.dir, "spool", "queue.lck"), os.O_RDWR)
    fcntl.fcntl(fd, fcntl.F_OFD_SETLK, struct.pack("hhqqi", fcntl.F_WRLCK, 0, 0, 1, 0))
    return fd


def run_row(env, row):
    name, kind, steps, want, want_stored = row
    server = env.server(kind) if kind != "full" or os.geteuid() == 0 else None
    if server is None:
        print("SKIP: %s (a small file system could not be mounted: needs root)" % name)
        return []
    inst = server.inst
    before = inst.ids()
    client = Client(server.socket)
    got = []
    locked = None
    extra = None
    try:
        for step in steps:
            if step == "close":
                # The replies sent so far are read first.
                got += client.replies(len(want))
                client.close()
                time.sleep(0.3)
            elif step == "shutdown-write":
                client.sock.shutdown(1)
            elif step == "lock":
                locked = hold_writers_lock(inst)
            elif step == "unlock":
                got += client.replies(len(want))
                os.close(locked)
                locked = None
            elif step == "second":
                got.append(client.reply())
                extra = Client(server.socket)
                client, extra = extra, client
            elif step == "term":
                time.sleep(0.2)
                server.proc.send_signal(signal.SIGTERM)
                time.sleep(0.3)
            else:
                client.send(step)
        while len(got) < len(want):
            got.append(client.reply())
    except OSError as e:
        got.append("error: %s" % e)
    finally:
        if locked is not None:
            os.close(locked)
        client.close()
        if extra:
            extra.close()
    failures = []
    for i, w in enumerate(want):
        g = got[i] if i < len(got) else "(nothing)"
        text = g[1] if isinstance(g, tuple) else g
        if (w is None and g is not None) or (w is not None and (text is None or not text.startswith(w))):
            failures.append("reply %d: got %r, want %r" % (i + 1, text, w))
    if kind == "term":
        rc = server.stop()
        if rc != 0:
            failures.append("mqlmtpd exited %s after SIGTERM, want 0" % rc)
    time.sleep(0.05)
    new = [{k: e[k] for k in ("from", "to", "body")}
           for e in inst.entries(skip=before)]
    if new != want_stored:
        failures.append("stored: got %r, want %r" % (
            [dict(e, body=e["body"][:80]) for e in new],
            [dict(e, body=e["body"][:80]) for e in want_stored]))
    return ["%s: %s" % (name, f) for f in failures]


def main():
    env = Env()
    failures = []
    try:
        for row in ROWS:
            failures += run_row(env, row)
    finally:
        env.close()
    for f in failures:
        print("FAIL:", f)
    print("%d rows, %d failures" % (len(ROWS), len(failures)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
