#!/usr/bin/python3
"""The installed Quillet end to end, as a user and a screen reader meet it.

Installs the build into a temporary prefix, then in a private home, on a private X server
(Xvfb), session bus and accessibility bus: launches bin/Quillet, waits for its window, starts
protection with the status tab's button, trashes a file with trash-put, sees the cache size
change, stops protection (answering "Stop Quillet?"), and quits. Every control is found by its
accessible name through AT-SPI and pressed through its action, as assistive technology does.
Screenshots of the three tabs are saved into SCREENSHOT_DIR (default BUILD/screenshots).

    quillet_app_e2e.py BUILD_DIR [SCREENSHOT_DIR]

Exit status 0 on success, 1 on a failure, 77 when something this machine lacks is missing."""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

sys.dont_write_bytecode = True  # no __pycache__ in the source tree
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2elib  # noqa: E402
from e2elib import SKIP, STEP_TIMEOUT, fail, say, wait_for  # noqa: E402,F401

e2elib.prefix = "e2e"

NEEDED = ["Xvfb", "dbus-run-session", "trash-put", "import"]
AT_SPI_LAUNCHER = "/usr/libexec/at-spi-bus-launcher"



def own_processes(name):
    uid = os.getuid()
    found = []
    for pid in os.listdir("/proc"):
        if not pid.isdigit():
            continue
        try:
            with open(f"/proc/{pid}/status") as f:
                status = dict(line.rstrip("\n").split(":\t", 1) for line in f if ":\t" in line)
        except OSError:
            continue
        if status.get("Name") == name[:15] and int(status["Uid"].split()[0]) == uid and status["State"][0] != "Z":
            found.append(int(pid))
    return found


def inside_session(build, shots):
    """Runs on the private session bus, with DISPLAY and HOME set by the outer part."""
    import pyatspi  # only in the system's python3-pyatspi

    subprocess.Popen([AT_SPI_LAUNCHER, "--launch-immediately"], stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    time.sleep(1.0)
    prefix = os.environ["QUILLET_E2E_PREFIX"]
    env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb")
    errors_path = os.path.join(os.environ["HOME"], "quillet-errors.txt")
    app_process = e2elib.start_x_client([os.path.join(prefix, "bin", "Quillet")], env, errors_path, "Quillet")

    def application():
        desktop = pyatspi.Registry.getDesktop(0)
        for index in range(desktop.childCount):
            app = desktop.getChildAtIndex(index)
            if app is not None and app.name == "Quillet":
                return app
        return None

    def find(node, name, role=None):
        if node is None:
            return None
        try:
            if node.name == name and (role is None or node.getRoleName() == role):
                return node
            for index in range(node.childCount):
                found = find(node.getChildAtIndex(index), name, role)
                if found:
                    return found
        except Exception:  # a widget that went away while being walked
            return None
        return None

    def control(name, role=None):
        return wait_for(f"the control {name!r}", lambda: find(application(), name, role))

    def showing(node):
        return node.getState().contains(pyatspi.STATE_SHOWING)

    def text_of(node):
        # A value label keeps its fixed name; the value is its description (app/ShownText.h).
        return node.description

    def press(node):
        node.queryAction().doAction(0)

    def select_tab(name, witness):
        tab = control(name, "page tab")
        press(tab)
        wait_for(f"the tab {name!r} shown", lambda: showing(control(witness)))
        time.sleep(0.5)  # let it paint

    def screenshot(name):
        path = os.path.join(shots, name)
        frame = find(application(), "Quillet", "frame")
        box = frame.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
        geometry = f"{box.width}x{box.height}+{max(box.x, 0)}+{max(box.y, 0)}"
        subprocess.run(["import", "-window", "root", "-crop", geometry, "+repage", path], check=True)
        say(f"screenshot {path}")

    try:
        window = wait_for("the window", lambda: find(application(), "Quillet", "frame"))
        say("the window appeared")
        off = control("Protection is off", "label")
        if not showing(off):
            fail("protection shows as on in a fresh home")
        cache_size = control("Cache size", "label")
        wait_for("the first cache size", lambda: text_of(cache_size) not in ("", "-"))
        size_before = text_of(cache_size)
        say(f"cache size at start: {size_before}")

        press(control("Start or stop protection", "push button"))
        wait_for("quilletd to run", lambda: own_processes("quilletd"))
        wait_for("the status to show protection on", lambda: showing(control("Protection is on", "label")))
        say("protection started from the status tab")

        document = os.path.join(os.environ["HOME"], "Report for the e2e test.txt")
        with open(document, "w") as f:
            f.write("kept by Quillet\n" * 4000)
        subprocess.run(["trash-put", document], check=True)
        # 64,000 bytes: the size shows in KB once the copy is counted (the index alone is bytes).
        wait_for("the cache size to count the file", lambda: text_of(cache_size).endswith("KB"))
        say(f"cache size after trash-put: {text_of(cache_size)}")
        screenshot("status.png")

        select_tab("Settings", "Save settings")
        screenshot("settings.png")
        select_tab("Cache", "Cached items")
        screenshot("cache.png")
        select_tab("Status", "Start or stop protection")

        press(control("Start or stop protection", "push button"))
        press(control("Stop", "push button"))  # in the "Stop Quillet?" sheet
        wait_for("every daemon to end", lambda: not (own_processes("quilletd") or own_processes("quilletCacheManagerd")))
        wait_for("the status to show protection off", lambda: showing(control("Protection is off", "label")))
        say("protection stopped")

        press(control("Quit", "menu item"))
        status = app_process.wait(timeout=STEP_TIMEOUT)
        if status != 0:
            fail(f"Quillet exited with {status}")
        say("Quillet quit")
        del window
    finally:
        if app_process.poll() is None:
            app_process.kill()
            app_process.wait()
        with open(errors_path) as f:
            sys.stderr.write(f.read())
        for name in ("quilletd", "quilletCacheManagerd", "quilletMountDiskd"):
            for pid in own_processes(name):
                os.kill(pid, signal.SIGINT)


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--inside":
        inside_session(sys.argv[2], sys.argv[3])
        return 0
    if len(sys.argv) < 2:
        print(__doc__, file=sys.stderr)
        return 2
    build = os.path.abspath(sys.argv[1])
    shots = os.path.abspath(sys.argv[2]) if len(sys.argv) > 2 else os.path.join(build, "screenshots")
    missing = [tool for tool in NEEDED if not shutil.which(tool)]
    if not os.path.exists(AT_SPI_LAUNCHER):
        missing.append(AT_SPI_LAUNCHER)
    try:
        import pyatspi  # noqa: F401
    except ImportError:
        missing.append("python3-pyatspi")
    if missing:
        print(f"SKIP: missing {', '.join(missing)}", flush=True)
        return SKIP
    for name in ("quilletd", "quilletCacheManagerd", "quilletMountDiskd"):
        if own_processes(name):
            print(f"SKIP: a {name} of this user runs already; the test would stop it", flush=True)
            return SKIP

    os.makedirs(shots, exist_ok=True)
    scratch = tempfile.mkdtemp(prefix="quillet-app-e2e-")
    xvfb = None
    try:
        prefix = os.path.join(scratch, "prefix")
        install = subprocess.run(["cmake", "--install", build, "--prefix", prefix], capture_output=True, text=True)
        if install.returncode != 0:
            fail(f"cmake --install failed: {install.stderr.strip()}")
        home = os.path.join(scratch, "home")
        env = dict(os.environ)
        env.update({"HOME": home, "XDG_CONFIG_HOME": os.path.join(home, ".config"),
                    "XDG_DATA_HOME": os.path.join(home, ".local/share"),
                    "XDG_STATE_HOME": os.path.join(home, ".local/state"),
                    "XDG_CACHE_HOME": os.path.join(home, ".cache"),
                    "XDG_RUNTIME_DIR": os.path.join(home, "run"),
                    "QUILLET_VOLUME_ROOTS": os.path.join(home, "volumes"),
                    "QUILLET_E2E_PREFIX": prefix, "LANG": "C.UTF-8"})
        for key in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_STATE_HOME", "XDG_CACHE_HOME", "XDG_RUNTIME_DIR",
                    "QUILLET_VOLUME_ROOTS"):
            os.makedirs(env[key], mode=0o700, exist_ok=True)
        # No update check from a test.
        with open(os.path.join(env["XDG_CONFIG_HOME"], "com.plx.Quillet.plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    "<key>App_Prefs_checkUpdates</key><integer>0</integer></dict></plist>\n")
        xvfb, number = e2elib.start_xvfb(90, 130, "1280x1024x24", os.path.join(scratch, "xvfb.log"))
        env["DISPLAY"] = f":{number}"
        env.pop("DBUS_SESSION_BUS_ADDRESS", None)
        env.pop("AT_SPI_BUS_ADDRESS", None)
        result = subprocess.run(["dbus-run-session", "--", "/usr/bin/python3", os.path.abspath(__file__), "--inside",
                                 build, shots], env=env, timeout=300)
        return result.returncode
    finally:
        if xvfb:
            xvfb.terminate()
            xvfb.wait()
        shutil.rmtree(scratch, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
