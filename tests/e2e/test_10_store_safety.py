"""Power-cut safety of the files the agent rewrites under /config.

Every store must leave the old or the new content on the disk at any moment:
write a temporary file in the same folder, fsync it, rename it over the
target, fsync the folder; never open the target for writing, truncate or
unlink it.

test_store_protocol_trace: the agent (with every process it starts) runs under
strace while it saves its device id into /config/korvane.json on the first
start and serves changing "config_pools", "config_network" and
"config_web_access" commands; the trace is checked store by store. The files
checked are the ones the agent renames into /config, so a new one is covered
without a change here.

test_kill_during_stores: the agent is killed (SIGKILL) at moments aimed
through an inotify watch on the device's /config, inside its stores, a few
hundred times in one sandbox (a restart loop in the sandbox starts it again on
request). After each kill every file is exactly its old or its new content,
leftovers of interrupted stores stay at one per file and go with the next
store, and the agent starts again and logs in.

  KVAGENT_STORE_KILLS=N          kills (default 300)
  KVAGENT_STORE_SECONDS=S        time cap of the kill loop (default 150)
  KVAGENT_STORE_SEED=N           random seed (default: new one, printed)

test_trace_checker_*: the trace checker on synthetic strace lines (in-place
writes, missing fsyncs, a child script, split lines of several processes).
"""

import codecs
import ctypes
import errno
import hashlib
import json
import os
import posixpath
import random
import re
import select
import signal
import struct
import time
from collections import Counter
from pathlib import Path

import pytest

import kvtest
from kvtest import TIME_SCALE

CONFIG_DIR = "/config"
REALM = "antMiner Configuration"
DEV_ID = "0000000000000000-001122AABBCC"  # from kvtest.DEFAULT_MAC
EXPECTED_TARGETS = {"/config/korvane.json", "/config/cgminer.conf", "/config/network.conf",
                    "/config/lighttpd-htdigest.user"}
STRACE = "/usr/bin/strace"
TRACED = ("open,openat,openat2,creat,write,writev,pwrite64,pwritev,pwritev2,ftruncate,"
          "truncate,unlink,unlinkat,rename,renameat,renameat2,fsync,fdatasync,close,dup,dup2,"
          "dup3,fcntl,sendfile,copy_file_range,clone,clone3,fork,vfork,execve,execveat")
AUTH_OK = "Agent successfully authenticated"


# ======================================================================
# strace output
# ======================================================================

class Call:
    """One system call of the trace: pid (the thread's id), name, raw
    argument texts, return value (int, None if unknown) and the path strace
    printed for a returned descriptor; start/end are the line numbers of its
    entry and its exit (different for a call split over two lines)."""

    def __init__(self, pid, name, args, ret, ret_path, start, end, text):
        self.pid, self.name, self.args, self.ret = pid, name, args, ret
        self.ret_path, self.start, self.end, self.text = ret_path, start, end, text

    def __repr__(self):
        return "line %d: [%d] %s" % (self.start + 1, self.pid, self.text)


_LINE = re.compile(r"^(?:\[pid\s+(\d+)\]\s+|(\d+)\s+)?(.*)$")
_UNFINISHED = re.compile(r"^([a-z_0-9]+|\?\?\?)\((.*?)\s*<unfinished \.\.\.>$")
_RESUMED = re.compile(r"^<\.\.\. ([a-z_0-9]+|\?\?\?) resumed>(.*)$")
_CALL = re.compile(r"^([a-z_0-9]+)\((.*)$")


def split_args(text):
    """Split "a, {b, c}, "d,e"...) = 3</x>" at the top level: returns
    (args, rest after the closing parenthesis) or (args, None) if the
    parenthesis is missing. Knows strings, brackets, braces and the <path>
    strace -y prints after a descriptor."""
    args, cur, depth, i, n = [], [], 0, 0, len(text)
    while i < n:
        c = text[i]
        if c == '"':
            j = i + 1
            while j < n and text[j] != '"':
                j += 2 if text[j] == "\\" else 1
            cur.append(text[i:j + 1])
            i = j + 1
            continue
        if c == "<" and cur and (cur[-1][-1:].isdigit() or "".join(cur).endswith("AT_FDCWD")):
            j, level = i, 0
            while j < n:
                if text[j] == "<":
                    level += 1
                elif text[j] == ">":
                    level -= 1
                    if level == 0:
                        break
                j += 1
            cur.append(text[i:j + 1])
            i = j + 1
            continue
        if c in "([{":
            depth += 1
        elif c in "}]":
            depth -= 1
        elif c == ")":
            if depth == 0:
                last = "".join(cur).strip()
                if last or args:
                    args.append(last)
                return args, text[i + 1:]
            depth -= 1
        elif c == "," and depth == 0:
            args.append("".join(cur).strip())
            cur = []
            i += 1
            continue
        cur.append(c)
        i += 1
    last = "".join(cur).strip()
    if last:
        args.append(last)
    return args, None


def _ret(rest):
    """' = 3</config/x.tmp>' -> (3, "/config/x.tmp"); ' = -1 ENOENT (...)' ->
    (-1, None); ' = ?' -> (None, None)."""
    m = re.match(r"\s*=\s*(-?\d+|0x[0-9a-f]+|\?)(?:<(.*)>)?", rest or "")
    if not m or m.group(1) == "?":
        return None, None
    return int(m.group(1), 0), m.group(2)


def parse_trace(text):
    """Calls of an `strace -f -y` output, in order of entry; a call split
    into "<unfinished ...>" and "<... resumed>" lines is joined. Returns
    (calls, lines not understood)."""
    calls, pending, odd = [], {}, []

    def unfinished(pid):
        # An entry whose exit never came (the thread was killed inside).
        name, head, start = pending.pop(pid)
        args, _ = split_args(head + ")")
        calls.append(Call(pid, name, args, None, None, start, start, "%s(%s" % (name, head)))

    for no, line in enumerate(text.splitlines()):
        m = _LINE.match(line)
        pid = int(m.group(1) or m.group(2) or 0)
        body = m.group(3).strip()
        if not body or body.startswith(("+++", "---")) or body.startswith("strace: "):
            continue
        u = _UNFINISHED.match(body)
        if u:
            if pid in pending:
                unfinished(pid)
            pending[pid] = (u.group(1), u.group(2), no)
            continue
        r = _RESUMED.match(body)
        if r:
            if pid not in pending or pending[pid][0] != r.group(1):
                odd.append(line)
                continue
            name, head, start = pending.pop(pid)
            full = head + (" " if head else "") + r.group(2).lstrip()
        else:
            c = _CALL.match(body)
            if not c:
                odd.append(line)
                continue
            name, full, start = c.group(1), c.group(2), no
            if pid in pending:
                unfinished(pid)
        args, rest = split_args(full)
        ret, ret_path = _ret(rest)
        calls.append(Call(pid, name, args, ret, ret_path, start, no,
                          "%s(%s" % (name, full)))
    for pid in list(pending):
        unfinished(pid)
    calls.sort(key=lambda c: (c.start, c.end))
    return calls, odd


def c_string(arg):
    """The text of a quoted strace string argument (None if not one)."""
    if not arg.startswith('"'):
        return None
    body = arg[1:arg.rindex('"')] if arg.count('"') >= 2 else arg[1:]
    return codecs.escape_decode(body.encode("latin-1", "backslashreplace"))[0].decode(
        "utf-8", "surrogateescape")


def fd_arg(arg):
    """'3</config/x>' -> (3, "/config/x"); 'AT_FDCWD</>' -> ("AT_FDCWD", "/");
    '3' -> (3, None)."""
    m = re.match(r"^(-?\d+|AT_FDCWD)(?:<(.*)>)?$", arg.strip())
    if not m:
        return None, None
    v = m.group(1)
    return (v if v == "AT_FDCWD" else int(v)), m.group(2)


def _abs(dir_arg, path):
    if path is None or posixpath.isabs(path):
        return posixpath.normpath(path) if path else path
    _, base = fd_arg(dir_arg) if dir_arg else (None, None)
    return posixpath.normpath(posixpath.join(base or "/", path))


OPEN_WRITE_FLAGS = ("O_WRONLY", "O_RDWR", "O_TRUNC", "O_CREAT", "O_APPEND")


def _flags(arg):
    return set(re.findall(r"O_[A-Z_]+", arg or ""))


class Processes:
    """Which thread belongs to which process, and what each process runs."""

    def __init__(self, calls, root):
        self.root = root
        parent, thread = {}, {}
        for c in calls:
            if c.name in ("clone", "clone3", "fork", "vfork") and c.ret and c.ret > 0:
                parent[c.ret] = c.pid
                thread[c.ret] = c.name.startswith("clone") and "CLONE_THREAD" in c.text
        self._parent, self._thread = parent, thread
        self.exe = {}
        for c in calls:
            if c.name in ("execve", "execveat") and c.ret == 0:
                self.exe[self.tgid(c.pid)] = c_string(_arg(c, 1 if c.name == "execveat" else 0))

    def is_thread(self, tid):
        return bool(self._thread.get(tid))

    def tgid(self, tid):
        seen = set()
        while self._thread.get(tid) and tid not in seen:
            seen.add(tid)
            tid = self._parent[tid]
        return tid

    def is_agent(self, tid):
        return self.tgid(tid) == self.tgid(self.root)

    def describe(self, tid):
        g = self.tgid(tid)
        return "%s (pid %d)" % (self.exe.get(g, "?"), g)


class _Open:
    """One open file description of a process (shared by dup'ed fds)."""

    def __init__(self, path, flags, call):
        self.path, self.flags, self.call = path, flags, call
        self.writes, self.syncs, self.closed = [], [], None


RENAME_CALLS = ("rename", "renameat", "renameat2")


def _arg(c, i):
    return c.args[i] if len(c.args) > i else ""


def _rename_paths(c):
    """(old, new) absolute paths of a rename-like call."""
    if c.name == "rename":
        return _abs(None, c_string(_arg(c, 0))), _abs(None, c_string(_arg(c, 1)))
    return (_abs(_arg(c, 0), c_string(_arg(c, 1))), _abs(_arg(c, 2), c_string(_arg(c, 3))))


def _open_path(c):
    """(path, flags arg) of an open-like call."""
    if c.name in ("open", "creat"):
        flags = _arg(c, 1) if c.name == "open" else "O_CREAT|O_WRONLY|O_TRUNC"
        return _abs(None, c_string(_arg(c, 0))), flags
    if c.name in ("openat", "openat2"):
        return _abs(_arg(c, 0), c_string(_arg(c, 1))), _arg(c, 2)
    return None, None


WRITE_CALLS = {"write": 0, "writev": 0, "pwrite64": 0, "pwritev": 0, "pwritev2": 0,
               "sendfile": 0, "copy_file_range": 2}


def check_stores(text, folder=CONFIG_DIR):
    """Check every store the agent (the trace's first process and its
    threads) makes under `folder`: returns a dict with
    stores:   [{target, tmp, bytes, thread}] in order,
    targets:  set of files renamed into the folder by the agent,
    problems: list of texts (empty when every store is safe),
    others:   what other processes did to files of the folder (texts),
    odd:      trace lines not understood."""
    calls, odd = parse_trace(text)
    problems, others, stores = [], [], []
    if not calls:
        return {"stores": [], "targets": set(), "problems": ["empty trace"], "others": [],
                "odd": odd}
    procs = Processes(calls, calls[0].pid)

    def inside(p):
        return p is not None and posixpath.dirname(p) == folder

    renames = [(c,) + _rename_paths(c) for c in calls
               if c.name in RENAME_CALLS and procs.is_agent(c.pid)]
    targets = {new for _, _, new in renames if inside(new)}
    tmp_names = {old for _, old, new in renames if inside(new)}

    # Descriptor tables per process (threads share their process's table),
    # and every description each process opened.
    tables, history = {}, {}
    for c in calls:
        agent = procs.is_agent(c.pid)
        table = tables.setdefault(procs.tgid(c.pid), {})
        opened_by = history.setdefault(procs.tgid(c.pid), [])
        who = "agent" if agent else procs.describe(c.pid)

        path, flags_arg = _open_path(c)
        if path is not None:
            flags = _flags(flags_arg)
            writing = bool(flags & set(OPEN_WRITE_FLAGS))
            if writing and path in targets:
                msg = "opens the target %s for writing (%s)" % (path, flags_arg)
                if agent or flags & {"O_TRUNC", "O_WRONLY", "O_RDWR", "O_APPEND"}:
                    problems.append("%s: %s: %r" % (who, msg, c))
                else:
                    others.append("%s: %s: %r" % (who, msg, c))
            elif writing and inside(path):
                if agent and path not in tmp_names:
                    problems.append("agent: writes %s in place (never renamed over a target): "
                                    "%r" % (path, c))
                elif not agent:
                    others.append("%s: opens %s for writing (%s): %r" % (who, path, flags_arg, c))
            if c.ret is not None and c.ret >= 0:
                table[c.ret] = _Open(c.ret_path or path, flags, c)
                opened_by.append(table[c.ret])
            continue
        if agent and c.name in ("clone", "clone3", "fork", "vfork") and c.ret and c.ret > 0 \
                and not procs.is_thread(c.ret):
            held = sorted(o.path for o in table.values() if o.path in tmp_names)
            if held:
                others.append("agent: process %d started while %s was open: it holds the "
                              "descriptor until it executes its program" % (c.ret, held))
            continue
        if c.name in ("dup", "dup2", "dup3") or (c.name == "fcntl" and len(c.args) > 1
                                                   and "F_DUPFD" in c.args[1]):
            fd, _ = fd_arg(_arg(c, 0))
            if c.ret is not None and c.ret >= 0 and fd in table:
                table[c.ret] = table[fd]
            continue
        if c.name == "close":
            fd, _ = fd_arg(_arg(c, 0))
            o = table.pop(fd, None)
            if o is not None:
                o.closed = c
            continue
        if c.name in WRITE_CALLS or c.name in ("fsync", "fdatasync", "ftruncate"):
            fd, fd_path = fd_arg(_arg(c, WRITE_CALLS.get(c.name, 0)))
            o = table.get(fd)
            if o is None:
                o = table[fd] = _Open(fd_path, set(), None)
            p = fd_path or o.path
            if c.name in WRITE_CALLS:
                o.writes.append(c)
                if p in targets:
                    problems.append("%s: writes to the target %s in place: %r" % (who, p, c))
                elif inside(p) and not agent:
                    others.append("%s: writes %s: %r" % (who, p, c))
            elif c.name == "ftruncate":
                if p in targets:
                    problems.append("%s: truncates the target %s: %r" % (who, p, c))
                elif inside(p) and not agent:
                    others.append("%s: truncates %s: %r" % (who, p, c))
            else:
                o.syncs.append(c)
            continue
        if c.name == "truncate":
            p = _abs(None, c_string(_arg(c, 0)))
            if p in targets:
                problems.append("%s: truncates the target %s: %r" % (who, p, c))
            elif inside(p) and not agent:
                others.append("%s: truncates %s: %r" % (who, p, c))
            continue
        if c.name in ("unlink", "unlinkat"):
            p = (_abs(None, c_string(_arg(c, 0))) if c.name == "unlink"
                 else _abs(_arg(c, 0), c_string(_arg(c, 1))))
            if p in targets and (c.ret == 0 or agent):
                problems.append("%s: unlinks the target %s: %r" % (who, p, c))
            elif inside(p) and not agent:
                others.append("%s: unlinks %s: %r" % (who, p, c))
            continue
        if c.name in RENAME_CALLS:
            old, new = _rename_paths(c)
            if old in targets:
                problems.append("%s: moves the target %s away: %r" % (who, old, c))
            if not agent and (inside(new) or inside(old)):
                others.append("%s: renames %s to %s: %r" % (who, old, new, c))
            if not agent or not inside(new):
                continue
            # One store of the agent: the last descriptor opened on `old`
            # before the rename, in the agent's table or already closed.
            store = {"target": new, "tmp": old, "thread": c.pid, "bytes": 0}
            stores.append(store)
            if c.ret != 0:
                problems.append("agent: rename %s -> %s failed: %r" % (old, new, c))
            if posixpath.dirname(old) != posixpath.dirname(new):
                problems.append("agent: temporary file %s not in the folder of %s: %r"
                                % (old, new, c))
            opened = [o for o in opened_by if o.path == old and o.call.start < c.start
                      and o.flags & set(OPEN_WRITE_FLAGS)]
            if not opened:
                problems.append("agent: renames %s over %s without having written it: %r"
                                % (old, new, c))
                continue
            o = max(opened, key=lambda o: o.call.start)
            if not (o.flags & {"O_TRUNC", "O_EXCL"}):
                problems.append("agent: temporary file %s opened without O_TRUNC or O_EXCL: "
                                "an old longer content could stay: %r" % (old, o.call))
            writes = [w for w in o.writes if w.start < c.start]
            store["bytes"] = sum(w.ret for w in writes if w.ret and w.ret > 0)
            if any(w.ret is None or w.ret < 0 for w in writes):
                problems.append("agent: a write of %s failed before the rename: %r" % (old, writes))
            last_write = max((w.end for w in writes), default=o.call.end)
            synced = [s for s in o.syncs if s.start > last_write and s.end < c.start
                      and s.ret == 0]
            if not synced:
                problems.append("agent: %s renamed over %s without an fsync after its last "
                                "write: %r" % (old, new, c))
            # The folder's fsync: same thread, after the rename, before its next rename.
            nxt = min((r.start for r, _, _ in renames if r.pid == c.pid and r.start > c.start),
                      default=float("inf"))
            dsync = [s for s in calls if s.name in ("fsync", "fdatasync") and s.pid == c.pid
                     and c.end < s.start < nxt and s.ret == 0
                     and fd_arg(_arg(s, 0))[1] == posixpath.dirname(new)]
            if not dsync:
                problems.append("agent: no fsync of %s after renaming %s over %s: %r"
                                % (posixpath.dirname(new), old, new, c))
    return {"stores": stores, "targets": targets, "problems": problems, "others": others,
            "odd": odd}


# ======================================================================
# The checker on synthetic traces
# ======================================================================

# Two safe stores: korvane.json by the main thread, cgminer.conf by a
# second thread while the main thread spawns a script (lines of the three
# split and interleaved as `strace -f` writes them); the script appends to a
# log file of its own in /config.
GOOD_TRACE = r"""
100   execve("/opt/kvagent", ["kvagent", "-s", "wss://x"], 0x7ffd0 /* 3 vars */) = 0
100   openat(AT_FDCWD</>, "/config/korvane.json", O_RDONLY|O_CLOEXEC) = 3</config/korvane.json>
100   close(3</config/korvane.json>)    = 0
100   openat(AT_FDCWD</>, "/config/korvane.json.tmp", O_WRONLY|O_CREAT|O_TRUNC|O_NOFOLLOW|O_CLOEXEC, 0600) = 3</config/korvane.json.tmp>
100   write(3</config/korvane.json.tmp>, ""..., 80) = 80
100   fsync(3</config/korvane.json.tmp>) = 0
100   close(3</config/korvane.json.tmp>) = 0
100   rename("/config/korvane.json.tmp", "/config/korvane.json") = 0
100   openat(AT_FDCWD</>, "/config", O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 3</config>
100   fsync(3</config>)                 = 0
100   close(3</config>)                 = 0
100   clone3({flags=CLONE_VM|CLONE_FS|CLONE_FILES|CLONE_SIGHAND|CLONE_THREAD|CLONE_SYSVSEM|CLONE_SETTLS|CLONE_PARENT_SETTID|CLONE_CHILD_CLEARTID, child_tid=0x7f1, parent_tid=0x7f1, exit_signal=0, stack=0x7f2, stack_size=0x7fff80, tls=0x7f3} => {parent_tid=[101]}, 88) = 101
101   openat(AT_FDCWD</>, "/config/cgminer.conf", O_RDONLY|O_CLOEXEC) = 4</config/cgminer.conf>
101   close(4</config/cgminer.conf>)    = 0
101   openat(AT_FDCWD</>, "/config/cgminer.conf.tmp", O_WRONLY|O_CREAT|O_TRUNC|O_NOFOLLOW|O_CLOEXEC, 0644 <unfinished ...>
100   clone3({flags=CLONE_VM|CLONE_VFORK, exit_signal=SIGCHLD, stack=0x7f4, stack_size=0x9000}, 88 <unfinished ...>
101   <... openat resumed>)             = 4</config/cgminer.conf.tmp>
102   execve("/bin/sh", ["sh", "-c", "/etc/init.d/network.sh restart"], 0x7ffc /* 5 vars */ <unfinished ...>
101   write(4</config/cgminer.conf.tmp>, ""..., 1000 <unfinished ...>
100   <... clone3 resumed>)             = 102
101   <... write resumed>)              = 1000
102   <... execve resumed>)             = 0
101   write(4</config/cgminer.conf.tmp>, ""..., 234) = 234
101   fsync(4</config/cgminer.conf.tmp>) = 0
102   openat(AT_FDCWD</>, "/config/network.log", O_WRONLY|O_CREAT|O_APPEND, 0666) = 3</config/network.log>
101   close(4</config/cgminer.conf.tmp>) = 0
101   rename("/config/cgminer.conf.tmp", "/config/cgminer.conf" <unfinished ...>
102   write(3</config/network.log>, ""..., 20) = 20
101   <... rename resumed>)             = 0
101   openat(AT_FDCWD</>, "/config", O_RDONLY|O_CLOEXEC|O_DIRECTORY) = 5</config>
[pid   101] fsync(5</config>)           = 0
101   close(5</config>)                 = 0
102   +++ exited with 0 +++
100   --- SIGCHLD {si_signo=SIGCHLD, si_code=CLD_EXITED, si_pid=102, si_uid=0, si_status=0} ---
100   exit_group(0)                     = ?
100   +++ exited with 0 +++
"""


def _line(text):
    """The line of GOOD_TRACE holding `text` (exactly one), with its newline."""
    found = [l for l in GOOD_TRACE.splitlines(True) if text in l]
    assert len(found) == 1, text
    return found[0]


def _edit(*pairs, trace=GOOD_TRACE):
    """GOOD_TRACE with each line holding pairs[i][0] replaced by pairs[i][1]
    (text; "" removes the line)."""
    for old, new in pairs:
        trace = trace.replace(_line(old), new)
    return trace


KJ_OPEN = _line('"/config/korvane.json.tmp", O_WRONLY')
KJ_WRITE = _line("write(3</config/korvane.json.tmp>")
KJ_SYNC = _line("fsync(3</config/korvane.json.tmp>")
KJ_CLOSE = _line("close(3</config/korvane.json.tmp>")
KJ_RENAME = _line('rename("/config/korvane.json.tmp"')
CG_RENAME = _line('rename("/config/cgminer.conf.tmp"')
CG_DIR_SYNC = _line("fsync(5</config>)")
CHILD_OPEN = _line('"/config/network.log"')
CHILD_WRITE = _line("write(3</config/network.log>")
CLONE_THREAD_LINE = _line("CLONE_THREAD")


def _in_place(line):
    return line.replace("korvane.json.tmp", "korvane.json")


BROKEN_TRACES = [
    # name, trace, a problem must match
    ("written in place",
     _edit(*[(l, _in_place(l)) for l in (KJ_OPEN, KJ_WRITE, KJ_SYNC, KJ_CLOSE)], (KJ_RENAME, "")),
     r"writes /config/korvane.json in place"),
    ("target truncated before the rename",
     _edit((KJ_OPEN, '100   truncate("/config/korvane.json", 0) = 0\n' + KJ_OPEN)),
     r"truncates the target /config/korvane.json"),
    ("target opened O_TRUNC for a backup copy",
     _edit((KJ_RENAME, KJ_RENAME + '100   openat(AT_FDCWD</>, "/config/korvane.json", '
                                   'O_RDWR|O_TRUNC) = 6</config/korvane.json>\n')),
     r"opens the target /config/korvane.json for writing"),
    ("target unlinked before the rename",
     _edit((KJ_RENAME, '100   unlink("/config/korvane.json") = 0\n' + KJ_RENAME)),
     r"unlinks the target /config/korvane.json"),
    ("target moved away",
     _edit((KJ_RENAME, '100   rename("/config/korvane.json", "/config/korvane.json.bak") = 0\n'
                       + KJ_RENAME)),
     r"moves the target /config/korvane.json away"),
    ("no fsync of the temporary file", _edit((KJ_SYNC, "")),
     r"korvane.json.tmp renamed over /config/korvane.json without an fsync"),
    ("fsync before the last write", GOOD_TRACE.replace(KJ_WRITE + KJ_SYNC, KJ_SYNC + KJ_WRITE),
     r"korvane.json.tmp renamed .* without an fsync after its last write"),
    ("fsync on another descriptor",
     _edit((KJ_SYNC, '100   openat(AT_FDCWD</>, "/config/korvane.json.tmp", O_RDONLY) = '
                     '7</config/korvane.json.tmp>\n'
                     '100   fsync(7</config/korvane.json.tmp>) = 0\n')),
     r"without an fsync after its last write"),
    ("failed fsync", _edit((KJ_SYNC, KJ_SYNC.replace("= 0", "= -1 EIO (Input/output error)"))),
     r"without an fsync"),
    ("no fsync of the folder", _edit(("fsync(3</config>)", "")),
     r"no fsync of /config after renaming /config/korvane.json.tmp"),
    ("folder synced before the rename",
     _edit((CG_DIR_SYNC, ""), (CG_RENAME, "101   fsync(5</config>) = 0\n" + CG_RENAME)),
     r"no fsync of /config after renaming /config/cgminer.conf.tmp"),
    ("folder synced by another thread only",
     _edit((CG_DIR_SYNC, CG_DIR_SYNC.replace("[pid   101]", "100  "))),
     r"no fsync of /config after renaming /config/cgminer.conf.tmp"),
    ("temporary file in another folder",
     GOOD_TRACE.replace("/config/korvane.json.tmp", "/tmp/korvane.json.tmp"),
     r"temporary file /tmp/korvane.json.tmp not in the folder of /config/korvane.json"),
    ("temporary file not truncated",
     _edit((KJ_OPEN, KJ_OPEN.replace("O_CREAT|O_TRUNC|", "O_CREAT|"))),
     r"opened without O_TRUNC"),
    ("a child script truncates the miner's file",
     _edit((CHILD_OPEN, CHILD_OPEN.replace("network.log", "cgminer.conf")
            .replace("O_APPEND", "O_TRUNC")),
           (CHILD_WRITE, CHILD_WRITE.replace("network.log", "cgminer.conf"))),
     r"/bin/sh \(pid 102\): opens the target /config/cgminer.conf for writing"),
]


LATE_CLONE_TRACE = _edit((CLONE_THREAD_LINE, ""), ("exit_group", CLONE_THREAD_LINE
                                                    + _line("exit_group")))


@pytest.mark.parametrize("trace", [GOOD_TRACE, LATE_CLONE_TRACE],
                         ids=["in order", "thread creation line after the thread's calls"])
def test_trace_checker_accepts_safe_stores(trace):
    """The good trace: two stores (one split over interleaved lines of three
    processes), nothing reported but the script's own log file; the second
    thread is the agent's even when strace writes its creation last."""
    res = check_stores(trace)
    assert res["problems"] == []
    assert res["odd"] == []
    assert res["targets"] == {"/config/korvane.json", "/config/cgminer.conf"}
    assert [(s["target"], s["tmp"], s["bytes"], s["thread"]) for s in res["stores"]] == [
        ("/config/korvane.json", "/config/korvane.json.tmp", 80, 100),
        ("/config/cgminer.conf", "/config/cgminer.conf.tmp", 1234, 101)]
    held, *script = res["others"]
    assert held.startswith("agent: process 102 started while ['/config/cgminer.conf.tmp'] "
                           "was open"), held
    assert len(script) == 2 and all(o.startswith("/bin/sh (pid 102): ") and "network.log" in o
                                    for o in script), script


@pytest.mark.parametrize("trace,problem", [b[1:] for b in BROKEN_TRACES],
                         ids=[b[0] for b in BROKEN_TRACES])
def test_trace_checker_finds_unsafe_stores(trace, problem):
    res = check_stores(trace)
    assert any(re.search(problem, p) for p in res["problems"]), res["problems"]


def test_trace_parser_lines():
    """Split calls are joined to their own process's entry; strings,
    braces and -y paths keep their commas; return values and paths."""
    calls, odd = parse_trace(
        '7  openat(AT_FDCWD</a,b>, "/x, y)", O_RDONLY <unfinished ...>\n'
        '8  write(1<pipe:[5]>, "a\\"),", 3 <unfinished ...>\n'
        '7  <... openat resumed>)             = 3</x, y)>\n'
        '[pid     8] <... write resumed>)  = 3\n'
        '9  clone3({flags=CLONE_VM|CLONE_VFORK, exit_signal=SIGCHLD}, 88) = 10\n'
        '9  unlink("/gone")  = -1 ENOENT (No such file or directory)\n'
        '9  fsync(4</config> <unfinished ...>\n'
        '9  +++ killed by SIGKILL +++\n'
        '11 rename("/a", "/b" <unfinished ...>\n'
        '11 ???( <unfinished ...>\n'
        'garbage here\n')
    assert odd == ["garbage here"]
    by = {(c.pid, c.name): c for c in calls}
    o = by[(7, "openat")]
    assert o.args == ["AT_FDCWD</a,b>", '"/x, y)"', "O_RDONLY"] and o.ret == 3
    assert o.ret_path == "/x, y)" and (o.start, o.end) == (0, 2)
    assert c_string(o.args[1]) == "/x, y)" and fd_arg(o.args[0]) == ("AT_FDCWD", "/a,b")
    w = by[(8, "write")]
    assert w.args == ["1<pipe:[5]>", '"a\\"),"', "3"] and w.ret == 3
    assert c_string(w.args[1]) == 'a"),'
    assert by[(9, "clone3")].ret == 10 and by[(9, "unlink")].ret == -1
    assert by[(9, "fsync")].ret is None  # killed inside
    r = by[(11, "rename")]
    assert r.ret is None and [c_string(a) for a in r.args] == ["/a", "/b"]
    assert [c.start for c in calls] == sorted(c.start for c in calls)


# ======================================================================
# Helpers of the scenarios
# ======================================================================

def htdigest_line(password):
    text = "root:%s:%s" % (REALM, password)
    return "root:%s:%s" % (REALM, hashlib.md5(text.encode()).hexdigest())


def pools_msg(n):
    return {"type": "config_pools",
            "main": {"stratum_url": "stratum+tcp://pool-%d.example.invalid:3333" % n,
                     "worker": "farm.w%d" % n, "password": "p%d" % n},
            "reserved": {"stratum_url": "stratum+tcp://backup-%d.example.invalid:3334" % n,
                         "worker": "farm.b%d" % n, "password": "x"}}


def network_msg(n):
    return {"type": "config_network", "mode": "static", "ip": "192.0.2.%d" % (20 + n),
            "netmask": "255.255.255.0", "gateway": "192.0.2.1", "hostname": "rig-k%d" % n,
            "dnsservers": ["192.0.2.53"]}


def network_text(n):
    return ("hostname=rig-k%d\nipaddress=192.0.2.%d\nnetmask=255.255.255.0\n"
            "gateway=192.0.2.1\ndnsservers=\"192.0.2.53\"\n" % (n, 20 + n))


def web_msg(n):
    return {"type": "config_web_access", "new_password": "secret-%d" % n}


NETWORK_CONF = network_text(0)


def children(pid):
    try:
        return [int(p) for p in
                Path("/proc/%d/task/%d/children" % (pid, pid)).read_text().split()]
    except OSError:
        return []


def runs_agent(pid):
    """Whether the process runs the agent's binary (its thread names are
    its own, so the program file tells)."""
    try:
        return os.readlink("/proc/%d/exe" % pid) == str(kvtest.agent_binary())
    except OSError:
        return False


def agent_child(parent, timeout=10):
    """Host pid of the agent process started by `parent` (the wrapper)."""
    return kvtest.wait_for(lambda: next((p for p in children(parent) if runs_agent(p)), None),
                           timeout * TIME_SCALE, interval=0.001,
                           what="the agent under pid %d" % parent)


def wait_gone(pid, timeout=10):
    def gone():
        try:
            return "Z" in Path("/proc/%d/stat" % pid).read_text().rsplit(")", 1)[1][:3]
        except OSError:  # gone, also between the open and the read
            return True
    kvtest.wait_for(gone, timeout * TIME_SCALE, interval=0.002, what="pid %d to end" % pid)


def config_files(device):
    return {p.name: p for p in (device.root / "config").iterdir() if p.is_file()}


# ======================================================================
# Protocol trace
# ======================================================================

def _request(server, msg, conn, timeout=20):
    sent = server.send(msg)
    assert sent["conn"] == conn, sent
    reply = server.wait_message(msg["type"], conn=conn, timeout=timeout)
    assert reply == {"type": msg["type"], "ok": True}, reply


def _relogin(server, conn):
    """The agent's connection `conn` closes after a network change; the
    next one logs in."""
    server.wait_event("close", conn=conn, timeout=20)
    server.wait_message("auth", conn=conn + 1, timeout=40)
    server.wait_event("sent", conn=conn + 1, timeout=10)
    return conn + 1


@pytest.mark.device(miner_config=True)
def test_store_protocol_trace(device, server, start_agent):
    """strace of the agent and everything it starts: the first start saves
    the device id; pools (with a miner restart), network and web password
    changes follow. Every file the agent renames into /config (at least the
    four expected) is stored safely in every store; what the device's scripts
    do to /config is reported."""
    if not os.path.exists(STRACE):
        pytest.skip("strace is not installed")
    if kvtest.valgrind_enabled():
        pytest.skip("strace and valgrind do not stack")
    (device.root / "config" / "network.conf").write_text(NETWORK_CONF)
    htdigest = device.root / "config" / "lighttpd-htdigest.user"
    htdigest.write_text(htdigest_line("initial"))
    trace_file = device.root / "run" / "sandbox" / "store.trace"
    wrapper = [STRACE, "-f", "-y", "-s", "0", "--seccomp-bpf", "-e", "trace=" + TRACED,
               "-o", "/run/sandbox/store.trace"]
    agent = start_agent(device, server=server, miner=True, wrapper=wrapper)
    agent.wait_log_line("INFO", AUTH_OK, timeout=60)
    assert device.config_json() == {"api_key": kvtest.API_KEY, "dev_id": DEV_ID}

    conn = 1
    _request(server, pools_msg(1), conn)
    _request(server, web_msg(1), conn)
    _request(server, network_msg(1), conn)
    conn = _relogin(server, conn)
    _request(server, pools_msg(2), conn)
    _request(server, web_msg(2), conn)
    _request(server, network_msg(2), conn)
    conn = _relogin(server, conn)
    kvtest.wait_for(lambda: device.commands().count("cgminer.sh restart") >= 2
                    and agent.log_text().count("Miner restarted") >= 2,
                    30 * TIME_SCALE, what="two miner restarts")
    assert device.miner_config_json()["pools"][0]["url"] == pools_msg(2)["main"]["stratum_url"]
    assert (device.root / "config" / "network.conf").read_text() == network_text(2)
    assert htdigest.read_text() == htdigest_line("secret-2")

    # An orderly stop: the agent, then the miner it restarted (traced too).
    pid = agent_child(agent.pid)
    os.kill(pid, signal.SIGTERM)
    wait_gone(pid, 20)

    def miner_gone():
        for p in device.miner_pids():
            try:
                os.kill(p, signal.SIGTERM)
            except ProcessLookupError:
                pass
        return not agent.running()
    kvtest.wait_for(miner_gone, 30 * TIME_SCALE, interval=0.2, what="strace to end")
    assert agent.wait_exit(10) == 0, agent.log_text()

    text = trace_file.read_text(errors="replace")
    print("trace file:", trace_file)
    res = check_stores(text)
    per_target = Counter(s["target"] for s in res["stores"])
    print("trace: %d lines, %d stores: %s" % (text.count("\n"), len(res["stores"]),
                                              dict(per_target)))
    for o in res["others"]:
        print("other process:", o)
    assert res["odd"] == [], res["odd"][:20]
    assert res["problems"] == [], "\n".join(res["problems"])
    assert EXPECTED_TARGETS <= res["targets"], res["targets"]
    assert per_target["/config/korvane.json"] == 1
    for target in ("/config/cgminer.conf", "/config/network.conf",
                   "/config/lighttpd-htdigest.user"):
        assert per_target[target] >= 2, per_target
    # The last store of each file wrote what the file holds now.
    for target in res["targets"]:
        last = [s for s in res["stores"] if s["target"] == target][-1]
        host = device.root / target.lstrip("/")
        assert last["bytes"] == host.stat().st_size, (target, last)
    assert not [n for n in config_files(device) if n.endswith(".tmp")]


# ======================================================================
# Kills during stores
# ======================================================================

IN_MODIFY, IN_ATTRIB, IN_CLOSE_WRITE, IN_OPEN = 0x2, 0x4, 0x8, 0x20
IN_MOVED_FROM, IN_MOVED_TO, IN_CREATE, IN_DELETE = 0x40, 0x80, 0x100, 0x200
IN_Q_OVERFLOW = 0x4000
WATCH_MASK = (IN_MODIFY | IN_ATTRIB | IN_CLOSE_WRITE | IN_OPEN | IN_MOVED_FROM | IN_MOVED_TO
              | IN_CREATE | IN_DELETE)
# The steps of a store seen from the folder: the temporary file created or
# opened, its mode set, written, closed and moved; the target moved in.
TMP_STEPS = IN_CREATE | IN_OPEN | IN_ATTRIB | IN_MODIFY | IN_CLOSE_WRITE | IN_MOVED_FROM
STEPS_PER_STORE = 6
# What a target itself may never see: a write (a truncation is one too), or
# its removal. Not IN_CLOSE_WRITE: a process the agent spawns while a
# temporary file is open holds a copy of its descriptor until it executes its
# program (O_CLOEXEC), and that last close may come after the rename.
IN_PLACE = IN_MODIFY | IN_DELETE | IN_MOVED_FROM

TARGET_NAMES = {posixpath.basename(t) for t in EXPECTED_TARGETS}

# The restart loop: one run of the agent per "go" read from the fifo, its
# exit status after it.
LOOP = r"""
fifo=/run/sandbox/restart.fifo
while read -r cmd < "$fifo"; do
    [ "$cmd" = go ] || break
    "$@"
    echo "@@agent-exit $?"
done
"""
EXIT_RE = re.compile(r"(?m)^@@agent-exit (\d+)$")
# ERROR lines (their text after the source location) of a file the agent
# could not read or write.
ERROR_LINE = re.compile(r"(?m)^\r?%sERROR (?:\S+:\d+: )?(.*)$" % kvtest.LOG_PREFIX)
FILE_TROUBLE = re.compile(r"load|pars|json|save|store|creat|open|writ|config", re.I)


class Inotify:
    """An inotify watch on one folder (ctypes; events as (mask, name))."""

    def __init__(self, folder, mask):
        libc = ctypes.CDLL(None, use_errno=True)
        self.fd = libc.inotify_init1(os.O_NONBLOCK | os.O_CLOEXEC)
        if self.fd < 0:
            raise OSError(ctypes.get_errno(), "inotify_init1")
        if libc.inotify_add_watch(self.fd, os.fsencode(str(folder)), mask) < 0:
            err = ctypes.get_errno()
            os.close(self.fd)
            raise OSError(err, "inotify_add_watch %s" % folder)

    def read(self, timeout):
        if not select.select([self.fd], [], [], timeout)[0]:
            return []
        try:
            data = os.read(self.fd, 1 << 16)
        except BlockingIOError:
            return []
        events, off = [], 0
        while off + 16 <= len(data):
            _, mask, _, length = struct.unpack_from("iIII", data, off)
            name = data[off + 16:off + 16 + length].split(b"\0", 1)[0].decode("utf-8", "replace")
            events.append((mask, name))
            off += 16 + length
        return events

    def close(self):
        os.close(self.fd)


class RecordTail:
    """The server's record, read incrementally."""

    def __init__(self, path):
        self.path, self.off, self.rest, self.events = path, 0, b"", []

    def poll(self):
        try:
            with open(self.path, "rb") as f:
                f.seek(self.off)
                data = f.read()
        except FileNotFoundError:
            return self.events
        self.off += len(data)
        *lines, self.rest = (self.rest + data).split(b"\n")
        self.events.extend(json.loads(line) for line in lines if line.strip())
        return self.events

    def find(self, pred, since=0):
        events = self.poll()
        for i in range(since, len(events)):
            if pred(events[i]):
                return i, events[i]
        return None


class Instance:
    """One run of the agent in the restart loop."""

    def __init__(self, pid, log_at, record_at):
        self.pid, self.log_at, self.record_at = pid, log_at, record_at
        self.conn = None


class Rig:
    """The agent in a restart loop inside one sandbox: each go() starts it
    once more; the server and the sandbox stay up."""

    def __init__(self, device, server, agent):
        self.device, self.server, self.agent = device, server, agent
        self.fifo = device.root / "run" / "sandbox" / "restart.fifo"
        self.record = RecordTail(server.record_path)
        self.started = 0

    def _say(self, word):
        deadline = time.monotonic() + 10 * TIME_SCALE
        while True:
            try:
                fd = os.open(self.fifo, os.O_WRONLY | os.O_NONBLOCK)
                break
            except OSError as exc:
                if exc.errno != errno.ENXIO or time.monotonic() > deadline:
                    raise AssertionError("the restart loop does not listen:\n"
                                         + self.agent.log_text()[-3000:]) from None
                time.sleep(0.0005)
        try:
            os.write(fd, (word + "\n").encode())
        finally:
            os.close(fd)

    def start(self):
        log_at, record_at = len(self.agent.log_text()), len(self.record.poll())
        self._say("go")
        self.started += 1
        return Instance(agent_child(self.agent.pid), log_at, record_at)

    def stop_loop(self):
        self._say("stop")

    def wait_login(self, inst, timeout=20):
        """The instance's connection is answered its login and the agent
        says it is authenticated; returns the connection number."""
        def answered():
            ended = EXIT_RE.search(self.agent.log_text(), inst.log_at)
            if ended:
                raise AssertionError("agent run %d ended with status %s before its login:\n%s"
                                     % (self.started, ended.group(1),
                                        self.agent.log_text()[inst.log_at:]))
            c = self.record.find(lambda e: e["event"] == "connect", inst.record_at)
            if c is None:
                return None
            conn = c[1]["conn"]
            a = self.record.find(lambda e: e["event"] == "sent" and e["conn"] == conn
                                 and '"auth"' in e["text"], c[0])
            return conn if a else None
        inst.conn = kvtest.wait_for(answered, timeout * TIME_SCALE, interval=0.002,
                                    what="login of agent run %d" % self.started)
        self.agent.wait_log(kvtest.log_re("INFO", AUTH_OK), timeout, since=inst.log_at)
        return inst.conn

    def connected(self, inst):
        return self.record.find(lambda e: e["event"] == "connect", inst.record_at) is not None

    def replied(self, inst, mtype):
        return self.record.find(lambda e: e["event"] == "message" and e["conn"] == inst.conn
                                and (e["msg"] or {}).get("type") == mtype,
                                inst.record_at) is not None

    def exit_status(self, inst, timeout=20):
        m = self.agent.wait_log(EXIT_RE, timeout, since=inst.log_at)
        return int(m.group(1))


def snapshot(folder):
    out = {}
    for p in folder.iterdir():
        st = p.lstat()
        out[p.name] = (p.read_bytes() if p.is_file() else None, st.st_ino)
    return out


@pytest.mark.device(miner_config=True)
def test_kill_during_stores(device, server, start_agent):
    """SIGKILL inside stores of korvane.json (first start), cgminer.conf,
    network.conf and the web password file, aimed by the folder's inotify
    events: after each kill every file holds its old or its new content
    (exactly), at most the one leftover of the interrupted store is there,
    and the agent starts again and logs in."""
    if kvtest.valgrind_enabled():
        pytest.skip("hundreds of starts: too slow under valgrind")
    kills = int(os.environ.get("KVAGENT_STORE_KILLS", "300"))
    cap = float(os.environ.get("KVAGENT_STORE_SECONDS", "150")) * TIME_SCALE
    seed = int(os.environ.get("KVAGENT_STORE_SEED", "0")) or random.randrange(1, 1 << 30)
    print("KVAGENT_STORE_SEED=%d" % seed)
    rng = random.Random(seed)
    folder = device.root / "config"
    (folder / "network.conf").write_text(NETWORK_CONF)
    (folder / "lighttpd-htdigest.user").write_text(htdigest_line("initial"))
    os.mkfifo(device.root / "run" / "sandbox" / "restart.fifo")
    agent = start_agent(device, server=server, wrapper=["/bin/sh", "-c", LOOP, "sh"])
    rig = Rig(device, server, agent)
    fresh = device.config_text().encode()
    ino = Inotify(folder, WATCH_MASK)
    faults = []
    journal = []

    def audit(events):
        journal.extend(events)
        for mask, name in events:
            if mask & IN_Q_OVERFLOW:
                faults.append("inotify queue overflow: events lost")
            elif name in TARGET_NAMES and mask & IN_PLACE:
                faults.append("%s changed in place (inotify mask 0x%x)" % (name, mask))

    # Warm-up, no kill inside: the exact content of every variant.
    inst = rig.start()
    conn = rig.wait_login(inst)
    new = {"korvane.json": {0: (folder / "korvane.json").read_bytes()}}
    assert json.loads(new["korvane.json"][0]) == {"api_key": kvtest.API_KEY, "dev_id": DEV_ID}
    new["cgminer.conf"] = {}
    for v in (1, 2, 3, 4, 1):
        _request(server, pools_msg(v), conn)
        data = (folder / "cgminer.conf").read_bytes()
        assert new["cgminer.conf"].setdefault(v, data) == data, "pools %d stored differently" % v
        stored = json.loads(data)
        assert [p["url"] for p in stored["pools"][:2]] == [
            pools_msg(v)["main"]["stratum_url"], pools_msg(v)["reserved"]["stratum_url"]]
    new["network.conf"] = {v: network_text(v).encode() for v in range(1, 5)}
    new["lighttpd-htdigest.user"] = {v: htdigest_line("secret-%d" % v).encode()
                                     for v in range(1, 5)}
    _request(server, web_msg(1), conn)
    assert (folder / "lighttpd-htdigest.user").read_bytes() == new["lighttpd-htdigest.user"][1]
    _request(server, network_msg(1), conn)
    assert (folder / "network.conf").read_bytes() == new["network.conf"][1]
    os.kill(inst.pid, signal.SIGKILL)
    assert rig.exit_status(inst) == 128 + signal.SIGKILL
    audit(ino.read(0))
    assert not faults, faults

    kinds = {"korvane.json": None, "cgminer.conf": pools_msg, "network.conf": network_msg,
             "lighttpd-htdigest.user": web_msg}
    outcomes = Counter()
    leftovers_seen = 0
    began = time.monotonic()
    done = 0
    while done < kills and time.monotonic() - began < cap:
        target = rng.choice(sorted(kinds))
        before = snapshot(folder)
        if target == "korvane.json":
            kvtest.write_atomic(folder / "korvane.json", fresh)
            before = snapshot(folder)
            v = 0
        else:
            v = rng.choice([k for k in new[target] if new[target][k] != before[target][0]])
        ino.read(0)  # the test's own write
        fresh_start = json.loads(before["korvane.json"][0]).get("dev_id") is None
        steps = rng.randint(1, STEPS_PER_STORE)
        delay = rng.choice([0.0, rng.uniform(0, 0.0015)])
        tmp = target + ".tmp"

        del journal[:]
        inst = rig.start()
        if target != "korvane.json":
            rig.wait_login(inst)
            if fresh_start and (folder / "korvane.json").read_bytes() != new["korvane.json"][0]:
                faults.append("run %d logged in without its device id stored" % rig.started)
            audit(ino.read(0))
            assert server.send(kinds[target](v))["conn"] == inst.conn
        seen, late = 0, False
        deadline = time.monotonic() + 20 * TIME_SCALE
        while seen < steps:
            events = ino.read(0.002)
            audit(events)
            seen += sum(1 for mask, name in events
                        if (name == tmp and mask & TMP_STEPS)
                        or (name == target and mask & IN_MOVED_TO))
            if seen >= steps:
                break
            if not events and (rig.connected(inst) if target == "korvane.json"
                               else rig.replied(inst, kinds[target](v)["type"])):
                late = True
                break
            assert time.monotonic() < deadline, "no store of %s seen:\n%s" % (
                target, agent.log_text()[-3000:])
        if delay:
            end = time.perf_counter() + delay
            while time.perf_counter() < end:
                pass
        os.kill(inst.pid, signal.SIGKILL)
        status = rig.exit_status(inst)
        if status != 128 + signal.SIGKILL:
            faults.append("run %d ended by itself with status %d before the kill"
                          % (rig.started, status))
        audit(ino.read(0))
        after = snapshot(folder)

        # Every file: old or new content, exactly; a change is a new file.
        targeted = {target} | ({"korvane.json"} if fresh_start else set())
        for name in sorted(set(before) | set(after)):
            old, now = before.get(name), after.get(name)
            if name.endswith(".tmp") and name[:-4] in TARGET_NAMES:
                continue
            if name not in TARGET_NAMES:
                if old != now:
                    faults.append("run %d: %s appeared or changed: %r" % (rig.started, name, now))
                continue
            if now is None:
                faults.append("run %d: %s is gone" % (rig.started, name))
                continue
            wanted = new[name][v if name == target else 0] if name in targeted else old[0]
            if now[0] not in (old[0], wanted):
                faults.append("run %d: %s holds neither its old nor its new content (%d "
                              "bytes)" % (rig.started, name, len(now[0])))
            elif now[0] != old[0] and now[1] == old[1]:
                faults.append("run %d: %s rewritten in place (same inode)" % (rig.started, name))
            if name.endswith(".json") or name == "cgminer.conf":
                try:
                    json.loads(now[0])
                except ValueError:
                    faults.append("run %d: %s is not JSON" % (rig.started, name))
        # Leftovers: one per file at most (its fixed name), a prefix of the
        # interrupted store's content; gone once a store of the file ends.
        for name in TARGET_NAMES:
            t, old_t, now_t = name + ".tmp", before.get(name + ".tmp"), after.get(name + ".tmp")
            if now_t is None:
                continue
            leftovers_seen += 1
            changed = after[name][0] != before[name][0]
            if changed:
                faults.append("run %d: %s left after the store of %s ended"
                              % (rig.started, t, name))
            elif name in targeted:
                wanted = new[name][v if name == target else 0]
                if not wanted.startswith(now_t[0]):
                    faults.append("run %d: %s is not a part of the content stored"
                                  % (rig.started, t))
            elif now_t != old_t:
                faults.append("run %d: %s changed without a store of %s" % (rig.started, t, name))
        extra = [n for n in after if n.endswith(".tmp") and n[:-4] not in TARGET_NAMES]
        if extra:
            faults.append("run %d: unknown leftovers %s" % (rig.started, extra))

        if late:
            outcomes["late"] += 1
        elif after[target][0] != before[target][0]:
            outcomes["after rename"] += 1
        elif (tmp in after) and after[tmp] != before.get(tmp):
            outcomes["inside (leftover)"] += 1
        else:
            outcomes["before the first write"] += 1
        done += 1
        if faults:
            faults.append("run %d (%s %d, kill after %d steps%s): inotify events %s" % (
                rig.started, target, v, steps, ", late" if late else "",
                " ".join("%s:0x%x" % (n, m) for m, n in journal)))
            break
    elapsed = time.monotonic() - began
    print("kills: %d in %.1f s (%.0f ms each), outcomes %s, leftovers seen %d"
          % (done, elapsed, 1000 * elapsed / max(done, 1), dict(outcomes), leftovers_seen))
    assert not faults, "\n".join(faults[:20])

    # A last run without a kill: every file stored once more, no leftover.
    inst = rig.start()
    conn = rig.wait_login(inst)
    assert (folder / "korvane.json").read_bytes() == new["korvane.json"][0]
    final = {}
    for name in ("lighttpd-htdigest.user", "cgminer.conf", "network.conf"):
        cur = (folder / name).read_bytes()
        final[name] = next(k for k in sorted(new[name]) if new[name][k] != cur)
        _request(server, kinds[name](final[name]), conn)
    for name, v in final.items():
        assert (folder / name).read_bytes() == new[name][v], name
    assert sorted(n for n in os.listdir(folder) if n.endswith(".tmp")) == []
    os.kill(inst.pid, signal.SIGTERM)
    assert rig.exit_status(inst) == 0
    rig.stop_loop()
    assert agent.wait_exit(10) == 0
    audit(ino.read(0))
    ino.close()
    assert not faults, faults
    errors = sorted({e for e in ERROR_LINE.findall(agent.log_text()) if FILE_TROUBLE.search(e)})
    assert not errors, errors
    assert done >= min(kills, 50), "only %d kills in %.0f s" % (done, elapsed)
    # The aim: kills inside the stores (a leftover, the old content) and
    # after their renames, not only before or after them.
    if done >= 50:
        assert outcomes["inside (leftover)"] >= done // 50, outcomes
        assert outcomes["after rename"] >= 1, outcomes
