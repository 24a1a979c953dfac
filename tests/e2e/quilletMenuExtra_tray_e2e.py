#!/usr/bin/python3
"""The tray companion of the build under a real system tray, as a user meets it.

On a private X server (Xvfb) and session bus, in a private home, with trayer as the desktop's
tray (an XEmbed tray: the private bus has no StatusNotifierWatcher, so Qt embeds its icon
there), runs build/libexec/quillet/QuilletMenuExtra and checks:

- without any tray it says so once on standard error and keeps running without spinning;
- under trayer its icon is a window embedded in trayer's panel, it leaves the panel when
  "Display menu extra" is turned off (through quilletctl, which writes Quillet's settings as
  Quillet does) and comes back when it is turned on;
- a click on the icon (xdotool, right and left button) opens its menu; choosing the start item
  starts protection with the daemons of the build (one quilletd and one quilletCacheManagerd
  in the default home-only mode, no quilletMountDiskd), the icon's image changes, and the stop
  item stops every daemon again.

Daemons are counted as the controller tests count them: processes of this user whose
environment carries the test's private HOME.

    quilletMenuExtra_tray_e2e.py BUILD_DIR

Exit status 0 on success, 1 on a failure, 77 when something this machine lacks is missing."""

import hashlib
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import DISPLAY_ATTEMPTS, SKIP, STEP_TIMEOUT, fail, say, wait_for  # noqa: E402,F401

e2elib.prefix = "tray"

NEEDED = ["Xvfb", "trayer", "xdotool", "xwininfo", "import", "dbus-run-session"]
DAEMONS = ("quilletd", "quilletCacheManagerd", "quilletMountDiskd")
# Everything the companion counts as its own kind: one of these of this user would change what
# it shows, and stopping protection would reach it.
WATCHED = DAEMONS + ("Quillet", "QuilletMenuExtra")
# A companion that spins would use a whole CPU; its refresh costs well under a millisecond a second.
NO_SPIN_WINDOW = 5.0
NO_SPIN_LIMIT = 1.0


def process_status(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            return dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
    except OSError:
        return None


def user_processes(name, home=None):
    """Running processes of this user named name (cut to 15 characters, as the kernel keeps it);
    with home, only those whose environment has HOME=home."""
    uid = os.getuid()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        status = process_status(pid)
        if not status or status.get("Name") != name[:15] or status["State"][0] == "Z":
            continue
        if int(status["Uid"].split()[0]) != uid:
            continue
        if home is not None:
            try:
                with open(f"/proc/{pid}/environ", "rb") as f:
                    if f"HOME={home}".encode() not in f.read().split(b"\0"):
                        continue
            except OSError:
                continue
        found.append(int(pid))
    return found


def own_daemon_counts():
    home = os.environ["HOME"]
    return {name: len(user_processes(name, home)) for name in DAEMONS}


def stop_own_daemons():
    home = os.environ["HOME"]
    for name in DAEMONS:
        for pid in user_processes(name, home):
            try:
                os.kill(pid, signal.SIGINT)
            except ProcessLookupError:
                pass


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    # utime and stime are fields 14 and 15 of the line, 12 and 13 after the command name.
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def x(*args):
    return subprocess.run(list(args), capture_output=True, text=True, check=False).stdout


def xdotool(*args):
    """Runs xdotool, again when it could not open the display."""
    for attempt in range(DISPLAY_ATTEMPTS):
        result = subprocess.run(["xdotool", *args], capture_output=True, text=True, check=False)
        if result.returncode == 0:
            return
        time.sleep(0.2)
    fail(f"xdotool {' '.join(args)}: {result.stderr.strip()}")


def tree(window):
    """(id, class) of every window below window, at any depth."""
    found = []
    for line in x("xwininfo", "-tree", "-id", window).splitlines():
        match = re.match(r'\s*(0x[0-9a-f]+) .*\("([^"]*)" "([^"]*)"\)', line)
        if match:
            found.append((match.group(1), match.group(3)))
    return found


def viewable(window):
    return "IsViewable" in x("xwininfo", "-id", window)


def window_size(window):
    info = x("xwininfo", "-id", window)
    width = re.search(r"Width: (\d+)", info)
    height = re.search(r"Height: (\d+)", info)
    return (int(width.group(1)), int(height.group(1))) if width and height else (0, 0)


def start_companion(companion, errors_path):
    return e2elib.start_x_client([companion], dict(os.environ, QT_QPA_PLATFORM="xcb"), errors_path, "the companion")


def end(process, how=signal.SIGTERM):
    if process.poll() is None:
        process.send_signal(how)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()


def without_tray(build, scratch):
    companion = os.path.join(build, "libexec", "quillet", "QuilletMenuExtra")
    errors_path = os.path.join(scratch, "no-tray-errors.txt")
    process = start_companion(companion, errors_path)
    try:
        def said():
            with open(errors_path) as f:
                return f.read().count("no system tray")
        wait_for("the companion to say there is no tray", lambda: said() >= 1)
        before = cpu_seconds(process.pid)
        time.sleep(NO_SPIN_WINDOW)
        if process.poll() is not None:
            fail(f"without a tray the companion ended with {process.returncode}")
        used = cpu_seconds(process.pid) - before
        if said() != 1:
            fail(f"without a tray the companion said so {said()} times")
        if used >= NO_SPIN_LIMIT:
            fail(f"without a tray the companion used {used:.2f} s of CPU in {NO_SPIN_WINDOW:.0f} s")
        say(f"no tray: said once, still running, {used * 1000:.0f} ms CPU in {NO_SPIN_WINDOW:.0f} s")
    finally:
        end(process)


def start_trayer(scratch):
    """trayer and its panel window."""
    errors_path = os.path.join(scratch, "trayer-errors.txt")
    for attempt in range(DISPLAY_ATTEMPTS):
        with open(errors_path, "w") as errors:
            trayer = subprocess.Popen(["trayer", "--edge", "top", "--align", "right", "--widthtype", "pixel",
                                       "--width", "200", "--heighttype", "pixel", "--height", "32", "--SetDockType",
                                       "true"], stdout=subprocess.DEVNULL, stderr=errors)
        panel = wait_for("trayer's panel or its end",
                         lambda: x("xdotool", "search", "--name", "^panel$").split() or trayer.poll() is not None)
        if isinstance(panel, list):
            return trayer, panel[0]
        with open(errors_path) as f:
            say(f"trayer ended at once ({f.read().strip()}); starting it again")
        time.sleep(0.5)
    fail("trayer does not start")


def under_tray(build, scratch):
    companion = os.path.join(build, "libexec", "quillet", "QuilletMenuExtra")
    quilletctl = os.path.join(build, "bin", "quilletctl")
    trayer, panel = start_trayer(scratch)
    process = None
    try:
        errors_path = os.path.join(scratch, "tray-errors.txt")
        process = start_companion(companion, errors_path)

        def icon():
            for window, klass in tree(panel):
                if klass == "QuilletMenuExtra" and viewable(window):
                    return window
            return None

        def setting(value):
            result = subprocess.run([quilletctl, "settings", "Display menu extra", value], capture_output=True,
                                    text=True)
            if result.returncode != 0:
                fail(f"quilletctl settings failed: {result.stderr.strip()}")

        def snapshot(window):
            image = subprocess.run(["import", "-window", window, "rgb:-"], capture_output=True, check=False).stdout
            return hashlib.sha256(image).hexdigest() if image else None

        window = wait_for("the icon in trayer's panel", icon)
        with open(errors_path) as f:
            if "no system tray" in f.read():
                fail("the companion says there is no tray while trayer runs")
        say(f"the icon is window {window} in trayer's panel {panel}")

        setting("0")
        wait_for("the icon to leave the panel", lambda: icon() is None)
        if process.poll() is not None:
            fail(f"the companion ended with {process.returncode} instead of hiding its icon")
        say("hidden with \"Display menu extra\" off")
        setting("1")
        window = wait_for("the icon back in the panel", icon)
        say("shown again with \"Display menu extra\" on")
        time.sleep(1.5)  # the refresh after showing sets the image for the current state
        image_off = wait_for("the icon's image", lambda: snapshot(window))

        def menu():
            """The companion's menu: a mapped top-level window of the companion, taller than the icon."""
            for candidate in x("xdotool", "search", "--onlyvisible", "--class", "QuilletMenuExtra").split():
                candidate = hex(int(candidate))
                if candidate != window and window_size(candidate)[1] > 60:
                    return candidate
            return None

        def open_menu(button):
            xdotool("mousemove", "--window", window, "10", "10", "click", button)
            return wait_for(f"the menu after a click with button {button}", menu, timeout=10)

        def choose_first_enabled_item():
            # The first item shows the state and is never enabled; start comes right after it and
            # is enabled only while protection is off, stop right after that only while it is on.
            xdotool("key", "Down", "Return")
            wait_for("the menu to close", lambda: menu() is None, timeout=10)

        open_menu("1")
        xdotool("key", "Escape")
        wait_for("the menu to close", lambda: menu() is None, timeout=10)
        open_menu("3")
        say("a click with either button opens the menu")
        choose_first_enabled_item()
        wait_for("quilletd and quilletCacheManagerd to run",
                 lambda: own_daemon_counts() == {"quilletd": 1, "quilletCacheManagerd": 1, "quilletMountDiskd": 0})
        wait_for("the icon's image for protection on", lambda: snapshot(window) not in (None, image_off))
        say(f"start item: protection runs {own_daemon_counts()}, the icon changed")

        time.sleep(1.5)  # past the start's own refresh: the stop item is enabled
        open_menu("3")
        choose_first_enabled_item()
        wait_for("every daemon to end", lambda: sum(own_daemon_counts().values()) == 0)
        wait_for("the icon's image for protection off", lambda: snapshot(window) == image_off)
        say("stop item: every daemon ended, the icon shows protection off")
        if process.poll() is not None:
            fail(f"the companion ended with {process.returncode}")
    finally:
        if process:
            end(process)
        end(trayer)


def inside_session(build, scratch):
    """Runs on the private session bus, with DISPLAY and HOME set by the outer part."""
    try:
        without_tray(build, scratch)
        under_tray(build, scratch)
    finally:
        stop_own_daemons()
    return 0


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--inside":
        return inside_session(sys.argv[2], sys.argv[3])
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    missing = [tool for tool in NEEDED if not shutil.which(tool)]
    if missing:
        print(f"SKIP: missing {', '.join(missing)}", flush=True)
        return SKIP
    for program in ("libexec/quillet/QuilletMenuExtra", "bin/quilletctl", "libexec/quillet/quilletd",
                    "libexec/quillet/quilletCacheManagerd"):
        if not os.access(os.path.join(build, program), os.X_OK):
            fail(f"{program} is not built in {build}")
    for name in WATCHED:
        if user_processes(name):
            # The companion looks at every such process of the user, and its stop item would
            # stop daemons that are not the test's.
            print(f"SKIP: a {name} of this user runs already", flush=True)
            return SKIP

    scratch = tempfile.mkdtemp(prefix="quillet-tray-e2e-")
    xvfb = None
    try:
        home = os.path.join(scratch, "home")
        env = dict(os.environ)
        env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_DATA_HOME": os.path.join(home, ".local/share"),
                    "XDG_STATE_HOME": os.path.join(home, ".local/state"),
                    "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "XDG_RUNTIME_DIR": os.path.join(home, "run"),
                    "QUILLET_VOLUME_ROOTS": os.path.join(home, "volumes"), "LANG": "C.UTF-8"})
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                    "QUILLET_VOLUME_ROOTS"):
            os.makedirs(env[key], mode=0o700, exist_ok=True)
        # No update check from a test.
        with open(os.path.join(env["XDG_CONFIG_HOME"], "com.plx.Quillet.plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    "<key>App_Prefs_checkUpdates</key><integer>0</integer></dict></plist>\n")
        xvfb, number = e2elib.start_xvfb(140, 200, "1024x768x24", os.path.join(scratch, "xvfb.log"))
        env["DISPLAY"] = f":{number}"
        for key in ("DBUS_SESSION_BUS_ADDRESS", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM", "XAUTHORITY"):
            env.pop(key, None)
        result = subprocess.run(["dbus-run-session", "--", "/usr/bin/python3", os.path.abspath(__file__), "--inside",
                                 build, scratch], env=env, timeout=300)
        return result.returncode
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
