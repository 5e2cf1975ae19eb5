"""The binary that ships, as the device runs it: fully static, on a kernel that
answers every system call newer than Linux 3.8 with ENOSYS and reports an old
release, under a host-lookup configuration of the device's own; and the ARM build on a Cortex-A8 under qemu-arm, with every
system call it makes checked against Linux 3.8's table.

Built by scripts/build-static.sh (x86_64, armhf); the tests are skipped
without the binaries. The launcher kvoldkernel and the trap module
libnss_kvtest.so.2 come from build/tests/e2e/drivers."""

import json
import re
import shutil
import signal

import pytest

import kvtest
from kvtest import REPO, TIME_SCALE

STATIC = {arch: REPO / ("build-static-%s" % arch) / "kvagent" for arch in ("x86_64", "armhf")}
DRIVERS = REPO / "build" / "tests" / "e2e" / "drivers"
OLD_KERNEL = DRIVERS / "kvoldkernel"
NSS_TRAP = DRIVERS / "libnss_kvtest.so.2"
AUTHENTICATED = ("INFO", "Agent successfully authenticated")

# An nsswitch.conf that names a module of "another C library" first, as the
# device's may (libnss_mdns4_minimal of its eglibc): loading it ends the
# process with status 86.
NSSWITCH = "passwd: files\ngroup: files\nhosts: kvtest files dns\n"

# ARM EABI system calls newer than Linux 3.8 (whose table ends at 379,
# finit_module), by name as qemu-arm -strace prints them.
ARM_NEWER = {
    380: "sched_setattr", 381: "sched_getattr", 382: "renameat2", 383: "seccomp",
    384: "getrandom", 385: "memfd_create", 386: "bpf", 387: "execveat", 388: "userfaultfd",
    389: "membarrier", 390: "mlock2", 391: "copy_file_range", 392: "preadv2", 393: "pwritev2",
    394: "pkey_mprotect", 395: "pkey_alloc", 396: "pkey_free", 397: "statx", 398: "rseq",
    399: "io_pgetevents", 400: "migrate_pages", 401: "kexec_file_load",
    403: "clock_gettime64", 404: "clock_settime64", 405: "clock_adjtime64",
    406: "clock_getres_time64", 407: "clock_nanosleep_time64", 408: "timer_gettime64",
    409: "timer_settime64", 410: "timerfd_gettime64", 411: "timerfd_settime64",
    412: "utimensat_time64", 413: "pselect6_time64", 414: "ppoll_time64",
    416: "io_pgetevents_time64", 417: "recvmmsg_time64", 418: "mq_timedsend_time64",
    419: "mq_timedreceive_time64", 420: "semtimedop_time64", 421: "rt_sigtimedwait_time64",
    422: "futex_time64", 423: "sched_rr_get_interval_time64", 424: "pidfd_send_signal",
    425: "io_uring_setup", 426: "io_uring_enter", 427: "io_uring_register", 428: "open_tree",
    429: "move_mount", 430: "fsopen", 431: "fsconfig", 432: "fsmount", 433: "fspick",
    434: "pidfd_open", 435: "clone3", 436: "close_range", 437: "openat2", 438: "pidfd_getfd",
    439: "faccessat2", 440: "process_madvise", 441: "epoll_pwait2", 442: "mount_setattr",
    443: "quotactl_fd", 444: "landlock_create_ruleset", 445: "landlock_add_rule",
    446: "landlock_restrict_self", 448: "process_mrelease", 449: "futex_waitv",
    450: "set_mempolicy_home_node", 451: "cachestat", 452: "fchmodat2",
}
LAST_ARM_SYSCALL_OF_3_8 = 379
# The newer calls the binary may make, each with the older call its C
# library (glibc 2.36) falls back to when the kernel answers ENOSYS
# (what the x86-64 scenario below exercises).
ARM_FALLBACKS = {
    "clock_gettime64": "clock_gettime",
    "clock_getres_time64": "clock_getres",
    "clock_nanosleep_time64": "clock_nanosleep",
    "futex_time64": "futex",
    "ppoll_time64": "ppoll",
    "pselect6_time64": "_newselect",
    "rt_sigtimedwait_time64": "rt_sigtimedwait",
    "timerfd_settime64": "timerfd_settime",
    "utimensat_time64": "utimensat",
    "recvmmsg_time64": "recvmmsg",
    "statx": "fstatat64",
    "clone3": "clone",
    # posix_spawn's "close every descriptor from 3 on" (the shell helper)
    "close_range": "close of each descriptor listed in /proc/self/fd",
    "rseq": "none: the thread runs without restartable sequences",
    "getrandom": "read of /dev/urandom",
}


def needs(*paths):
    missing = [str(p) for p in paths if not p.exists()]
    if missing:
        pytest.skip("not built: %s (scripts/build-static.sh, scripts/build.sh)"
                    % ", ".join(missing))


def start(device, server, binary, wrapper):
    """The given binary, preceded by the wrapper, with the simulated miner and
    a fresh /config/korvane.json (the device id is derived and saved)."""
    device.write_config({"api_key": kvtest.API_KEY})
    agent = kvtest.Agent(device, ["-s", server.url], miner=True, wrapper=wrapper)
    agent.binary = binary
    return agent.start()


def request(server, msg, reply_type=None, timeout=15):
    server.send(msg)
    return server.wait_message(reply_type or msg["type"], timeout=timeout)


def stop_in_order(agent, server):
    agent.signal(signal.SIGTERM)
    assert agent.wait_exit(25) == 0, agent.log_text()
    close = server.wait_event("close", conn=1)
    assert close["code"] == 1000 and close["initiated_by"] == "agent", server.describe_events()


def check_identity_and_fans(device, server, agent):
    """The saved device id, then a fan command with its store."""
    assert device.config_json()["dev_id"] == "0000000000000000-001122AABBCC"
    reply = request(server, {"type": "config_fans", "mode": "manual", "speed": 55,
                             "target_temp": 70, "silent_start": False})
    assert reply == {"type": "config_fans", "ok": True}, agent.log_text()
    stored = device.miner_config_json()
    assert stored["bitmain-fan-ctrl"] is True and stored["bitmain-fan-pwm"] == "55"


@pytest.mark.device(miner_config=True)
def test_static_binary_on_the_devices_kernel_and_userland(device, server):
    needs(STATIC["x86_64"], OLD_KERNEL, NSS_TRAP)
    (device.root / "etc" / "nsswitch.conf").write_text(NSSWITCH)
    sandbox_run = device.root / "run" / "sandbox"
    (sandbox_run / "nss").mkdir()
    shutil.copyfile(NSS_TRAP, sandbox_run / "nss" / NSS_TRAP.name)
    wrapper = ["env", "LD_LIBRARY_PATH=/run/sandbox/nss", OLD_KERNEL]
    agent = start(device, server, STATIC["x86_64"], wrapper)

    # The first start saves the device id; the login goes through the host
    # lookup of "localhost" and a TLS handshake seeded without getrandom.
    agent.wait_log_line(*AUTHENTICATED, timeout=30)
    assert server.wait_message("auth")["device_id"] == "0000000000000000-001122AABBCC"
    status = server.wait_message("status", timeout=20)
    assert status["state"] == {"name": "mining"}
    metrics = server.wait_message("metrics", timeout=20)
    assert [c["id"] for c in metrics["chains"]] == ["1", "2", "3", "4"]
    check_identity_and_fans(device, server, agent)

    # The watcher (inotify) sees a change made by someone else.
    since = server.mark()
    kvtest.wait_for(lambda: agent.log_text().count("Miner restarted") >= 1, 30 * TIME_SCALE,
                    what="the miner restart after the fan change")
    conf = device.miner_config_json()
    conf["bitmain-fan-pwm"] = "60"
    kvtest.write_atomic(device.miner_config_path, json.dumps(conf).encode())
    upload = server.wait_message("update_config", where=lambda m: "fans" in m, timeout=20,
                                 since=since)
    assert upload["fans"]["speed"] == 60, upload

    logs = request(server, {"type": "logs", "request_id": "k1"})
    assert "Booting Linux" in logs["logs"]
    stop_in_order(agent, server)
    assert "host-lookup module loaded" not in agent.log_text()


def arm_syscalls(trace):
    """Names of the system calls in a qemu-arm -strace log; numbers of those
    it could not name."""
    names, unknown = set(), set()
    for line in trace.splitlines():
        m = re.match(r"\d+ (\w+)\(", line)
        if m:
            names.add(m.group(1))
            continue
        m = re.search(r"Unknown syscall (\d+)", line)
        if m:
            unknown.add(int(m.group(1)))
    return names, unknown


@pytest.mark.device(miner_config=True)
def test_static_arm_binary_on_a_cortex_a8(device, server):
    needs(STATIC["armhf"])
    qemu = shutil.which("qemu-arm")
    if qemu is None:
        pytest.skip("qemu-arm is not installed (scripts/install-deps-armhf.sh)")
    trace_path = device.root / "run" / "sandbox" / "qemu-strace.log"
    wrapper = [qemu, "-cpu", "cortex-a8", "-D", "/run/sandbox/qemu-strace.log", "-strace"]
    agent = start(device, server, STATIC["armhf"], wrapper)
    agent.wait_log_line(*AUTHENTICATED, timeout=60)
    status = server.wait_message("status", timeout=30)
    assert status["network"]["mac"] == kvtest.DEFAULT_MAC
    check_identity_and_fans(device, server, agent)
    stop_in_order(agent, server)

    names, unknown = arm_syscalls(trace_path.read_text(errors="replace"))
    assert {"connect", "socket"} <= names, sorted(names)
    newer = {n for n in names if n in ARM_NEWER.values()}
    newer |= {ARM_NEWER.get(n, "#%d" % n) for n in unknown if n > LAST_ARM_SYSCALL_OF_3_8}
    without_fallback = sorted(newer - set(ARM_FALLBACKS))
    assert without_fallback == [], \
        "system calls newer than Linux 3.8 with no known fallback: %s" % without_fallback
