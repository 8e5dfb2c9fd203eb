#!/usr/bin/python3
"""The machine held up during an update, against logind's mock on a private
system bus: during the transfer one blocking inhibitor with our what, who
and why; after completion, failure and stop, none; with no bus, or a bus
without logind, the update completes and -v says why nothing was held.

test_logind_inhibit.py QXTOOL QXSIM [QXUPDATER_DEMO]
Exit 77 (skipped) without dbus-daemon or python3-dbusmock."""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

try:
    import dbus
    import dbusmock  # noqa: F401
except ImportError:
    print("skipped: python3-dbusmock is not installed (scripts/bootstrap)")
    sys.exit(77)
if not shutil.which("dbus-daemon"):
    print("skipped: dbus-daemon is not installed (scripts/bootstrap)")
    sys.exit(77)

QXTOOL, QXSIM = sys.argv[1], sys.argv[2]
DEMO = sys.argv[3] if len(sys.argv) > 3 else None
WHAT = "sleep:shutdown:idle:handle-lid-switch:handle-suspend-key:handle-hibernate-key"
WHY = "Updating the firmware of the QX-20: an interruption could leave it unusable"
LENGTH = 315424

work = tempfile.mkdtemp(prefix="qxlogind")
children = []
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what)


def start(argv, env=None, **kw):
    kw.setdefault("stdout", subprocess.DEVNULL)
    kw.setdefault("stderr", subprocess.DEVNULL)
    kw.setdefault("stdin", subprocess.DEVNULL)
    p = subprocess.Popen(argv, env=env, **kw)
    children.append(p)
    return p


def wait_until(test, seconds, what):
    # Process supervision in real time: the children run at their own pace.
    deadline = time.monotonic() + seconds
    while not test():
        if time.monotonic() > deadline:
            raise RuntimeError("timed out: " + what)
        time.sleep(0.005)


def main():
    bus_path = os.path.join(work, "system_bus")
    address = "unix:path=" + bus_path
    start(["dbus-daemon", "--session", "--nofork", "--nopidfile", "--address=" + address])
    wait_until(lambda: os.path.exists(bus_path), 60, "the private bus")
    env = dict(os.environ, DBUS_SYSTEM_BUS_ADDRESS=address, QX_TEST_SLEEP_SCALE="0.001",
               QT_QPA_PLATFORM="offscreen")
    bus = dbus.bus.BusConnection(address)
    mock = start(["/usr/bin/python3", "-m", "dbusmock", "--system", "--template", "logind"],
                 env=env)
    wait_until(lambda: bus.name_has_owner("org.freedesktop.login1"), 60, "the logind mock")
    manager = dbus.Interface(bus.get_object("org.freedesktop.login1", "/org/freedesktop/login1"),
                             "org.freedesktop.login1.Manager")


    def inhibitors():
        return [tuple(str(x) for x in i[:4]) for i in manager.ListInhibitors()]


    def none_left(seconds=10):
        # logind (and its mock) drops an inhibitor once its descriptor closes.
        try:
            wait_until(lambda: not inhibitors(), seconds, "the inhibitor's release")
        except RuntimeError:
            pass
        return inhibitors()


    serial = [0]


    def device(*args):
        serial[0] += 1
        d = os.path.join(work, "dev%d" % serial[0])
        os.mkdir(d, 0o700)
        start([QXSIM, "--dir", d, "--latency-us", "100"] + list(args))
        wait_until(lambda: os.path.exists(os.path.join(d, "qx-10_20")), 60, "qxsim")
        return dict(env, QX_DEVICE_DIR=d)


    def qxtool_case(name, sim_args, expect, sig=None):
        e = device(*sim_args)
        p = start([QXTOOL, "update", "--yes", "--json"], env=e, stdout=subprocess.PIPE,
                  stderr=subprocess.PIPE, text=True)
        held = None
        last = None
        for line in p.stdout:
            ev = json.loads(line)
            last = ev
            if ev.get("event") == "progress" and ev["position"] * 10 >= LENGTH * 3 and held is None:
                held = inhibitors()
                if sig:
                    p.send_signal(sig)
        p.wait(60)
        check(held == [(WHAT, "qxtool", WHY, "block")],
              "%s: one blocking inhibitor during the transfer, got %r" % (name, held))
        check(last and last.get("result") == expect, "%s: %s, got %r" % (name, expect, last))
        left = none_left()
        check(left == [], "%s: no inhibitor after the end, got %r" % (name, left))


    qxtool_case("completed", [], "completed")
    qxtool_case("failed", ["--unplug-after", "150000"], "failed")
    qxtool_case("stopped", [], "stopped", signal.SIGTERM)

    if DEMO:
        e = device()
        w = start([DEMO], env=e, stdout=subprocess.PIPE, stderr=None, text=True)
        held = None
        after = None
        for line in w.stdout:
            if line.startswith("window: ") and " of %d bytes sent" % LENGTH in line and held is None:
                if int(line.split()[1]) * 10 >= LENGTH * 3:
                    held = inhibitors()
            if line.startswith("window: bar at"):
                # The update is over, the window still there for 2 s:
                # nothing held.
                after = none_left(1)
        w.wait(60)
        check(held == [(WHAT, "qxupdater_demo", WHY, "block")],
              "window: one blocking inhibitor during the transfer, got %r" % (held,))
        check(w.returncode == 0, "window: completed, exit %r" % w.returncode)
        check(after == [], "window: no inhibitor once the update ended, got %r" % (after,))

    # Without logind on the bus, and without a bus: the update goes on, and -v
    # says why nothing was held.
    mock.terminate()
    mock.wait(20)
    for name, bus_address, why in [
            ("no logind", address, "logind took no inhibitor"),
            ("no bus", "unix:path=" + os.path.join(work, "none"), "no system bus")]:
        e = dict(device(), DBUS_SYSTEM_BUS_ADDRESS=bus_address)
        r = subprocess.run([QXTOOL, "-v", "update", "--yes"], env=e, capture_output=True, text=True,
                           timeout=120)
        check(r.returncode == 0 and "Completed." in r.stdout,
              "%s: completes, exit %d: %s" % (name, r.returncode, r.stderr[-500:]))
        check("qxpower: nothing holds the machine up during the update: " + why in r.stderr,
              "%s: -v says why: %s" % (name, r.stderr[:300]))
        r = subprocess.run([QXTOOL, "update", "--yes", "--allow-reinstall"], env=e,
                           capture_output=True, text=True, timeout=120)
        check("qxpower" not in r.stderr, "%s: quiet without -v: %s" % (name, r.stderr[:300]))


try:
    main()
except Exception as e:  # a hang or a missing service: report, never leave children behind
    failures.append(str(e))
    print("FAIL:", e)
finally:
    for p in children:
        if p.poll() is None:
            p.kill()
        p.wait()
    shutil.rmtree(work, ignore_errors=True)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
