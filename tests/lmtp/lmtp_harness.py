"""Shared pieces of the LMTP server's tests: a queue installation in a
temporary directory, an mqlmtpd process serving it (stopped by its process
id), an LMTP client over its socket, and the queue's entries read back
through mqctl."""

import base64
import json
import os
import signal
import socket
import subprocess
import tempfile
import time


class Installation:
    """A queue installation: daduv.ini and queue.cfg with the given channels."""

    def __init__(self, mqctl, channels=("IN",), root=None):
        self.mqctl = mqctl
        self.dir = root or tempfile.mkdtemp(prefix="mq-lmtp.")
        with open(os.path.join(self.dir, "daduv.ini"), "w") as f:
            f.write("[Config]\nInstallDirectory=%s\n" % self.dir)
        with open(os.path.join(self.dir, "queue.cfg"), "w") as f:
            for c in channels:
                f.write("%s\t\t%s\t\tin\r\n" % (c, c.lower()))

    def ctl(self, *args):
        env = dict(os.environ, MQ_LOG=os.path.join(self.dir, "mq.log"))
        return subprocess.run([self.mqctl, "--config", self.dir] + list(args),
                              capture_output=True, env=env)

    def ids(self, channel="IN"):
        """The identifiers of channel's entries."""
        out = self.ctl("list", channel, "--ids")
        return {int(w) for w in out.stdout.split()} if out.returncode == 0 else set()

    def entries(self, channel="IN", skip=frozenset()):
        """The entries of channel but those in skip: dicts with id, from, to
        and body (bytes)."""
        out = self.ctl("list", channel, "--json")
        if out.returncode != 0:
            # A channel nothing was ever put into has no spool yet.
            return []
        found = []
        for line in out.stdout.decode().splitlines():
            e = json.loads(line)
            if e["id"] in skip:
                continue
            shown = self.ctl("show", str(e["id"]), "--json", "--body")
            o = json.loads(shown.stdout)
            body = (base64.b64decode(o["body_base64"]) if "body_base64" in o
                    else o["body"].encode("utf-8"))
            found.append({"id": e["id"], "from": e["from"], "to": e["to"], "body": body})
        return found


class Server:
    """An mqlmtpd process on a unix socket in the installation's directory."""

    def __init__(self, binary, inst, channel="IN", extra=(), name="lmtp.sock"):
        self.inst = inst
        self.socket = os.path.join(inst.dir, name)
        self.log = open(os.path.join(inst.dir, "mqlmtpd.log"), "ab")
        env = dict(os.environ, MQ_LOG=os.path.join(inst.dir, "mq.log"))
        self.proc = subprocess.Popen(
            [binary, "--config", inst.dir, "--channel", channel,
             "--listen", "unix:" + self.socket, "--hostname", "lmtp.test"] + list(extra),
            stdout=self.log, stderr=self.log, env=env, start_new_session=True)
        for _ in range(200):
            try:
                probe = socket.socket(socket.AF_UNIX)
                probe.connect(self.socket)
                probe.close()
                return
            except OSError:
                probe.close()
            if self.proc.poll() is not None:
                raise RuntimeError("mqlmtpd exited with %d" % self.proc.returncode)
            time.sleep(0.02)
        raise RuntimeError("mqlmtpd made no socket")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait()
        self.log.close()
        return self.proc.returncode

    def kill(self):
        """SIGKILL to the server and its sessions (the group it leads)."""
        os.killpg(self.proc.pid, signal.SIGKILL)
        self.proc.wait()
        self.log.close()


class Client:
    """An LMTP client: sends bytes, reads replies (code, enhanced, text)."""

    def __init__(self, path, timeout=20):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(timeout)
        self.sock.connect(path)
        self.buf = b""

    def send(self, data):
        self.sock.sendall(data)

    def reply(self):
        """One whole reply, its continuation lines folded: (code, text), or
        None when the server closed the connection."""
        lines = []
        while True:
            while b"\r\n" not in self.buf:
                chunk = self.sock.recv(65536)
                if not chunk:
                    return None
                self.buf += chunk
            line, self.buf = self.buf.split(b"\r\n", 1)
            lines.append(line.decode("latin-1"))
            if len(line) < 4 or line[3:4] != b"-":
                return lines[-1][:3], "\n".join(lines)

    def replies(self, n):
        return [self.reply() for _ in range(n)]

    def close(self):
        self.sock.close()


def message(sender, recipients, body, lhlo=True):
    """The LMTP bytes of one transaction; body in wire form (stuffed, CRLF)."""
    out = b"LHLO client.test\r\n" if lhlo else b""
    out += b"MAIL FROM:<" + sender + b">\r\n"
    for r in recipients:
        out += b"RCPT TO:<" + r + b">\r\n"
    return out + b"DATA\r\n" + body + b".\r\n"


def wire(body):
    """body (LF line ends) as sent: CRLF line ends, leading dots doubled."""
    lines = body.split(b"\n")
    if lines and lines[-1] == b"":
        lines.pop()
    return b"".join((b"." + l if l.startswith(b".") else l) + b"\r\n" for l in lines)
