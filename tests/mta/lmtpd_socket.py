#!/usr/bin/env python3
"""Starts mqlmtpd as a service manager's socket unit does: the socket is
made here, as root, with the group and mode the MTA's LMTP client needs
(in Postfix's private directory: group postfix, 0660), and passed to
mqlmtpd as descriptor 3 (LISTEN_FDS), which then runs as the queue's user.

usage: lmtpd_socket.py SOCKET MQLMTPD INSTALLATION USER [MQLMTPD OPTIONS...]
(the process becomes mqlmtpd: its process id is the server's)
"""
import grp
import os
import pwd
import socket
import sys

path, binary, inst, user = sys.argv[1:5]
if os.path.exists(path):
    os.unlink(path)
s = socket.socket(socket.AF_UNIX)
s.bind(path)
os.chown(path, 0, grp.getgrnam("postfix").gr_gid)
os.chmod(path, 0o660)
s.listen(128)
os.dup2(s.fileno(), 3)
os.set_inheritable(3, True)  # dup2 onto itself keeps close-on-exec
who = pwd.getpwnam(user)
os.setgroups([])
os.setgid(who.pw_gid)
os.setuid(who.pw_uid)
os.environ.update(LISTEN_FDS="1", LISTEN_PID=str(os.getpid()), MQ_LOG=inst + "/mq.log")
os.execv(binary, [binary, "--config", inst] + sys.argv[5:])
