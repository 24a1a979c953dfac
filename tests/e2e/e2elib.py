"""What the end-to-end scripts share: how a failure ends the script, progress lines, the wait
for a condition with a deadline, and a private X server with its clients started on it."""

import os
import socket
import struct
import subprocess
import sys
import time

SKIP = 77
STEP_TIMEOUT = 30.0
# A client of an X server that resets is now and then refused just after another one closed its
# connection; such a start is tried again.
DISPLAY_ATTEMPTS = 5
# The prefix of progress lines; each script sets its own.
prefix = "e2e"


def fail(message):
    print(f"FAIL: {message}", file=sys.stderr, flush=True)
    sys.exit(1)


def say(message):
    print(f"[{prefix}] {message}", flush=True)


def wait_for(what, predicate, timeout=STEP_TIMEOUT, pause=0.1):
    deadline = time.time() + timeout
    while time.time() < deadline:
        value = predicate()
        if value:
            return value
        time.sleep(pause)
    fail(f"timed out after {timeout:.0f} s waiting for {what}")


def x_server_answers(number):
    """True when the X server of display :number accepts a client: its connection setup answers
    Success to a setup request without authorisation, as Xvfb does."""
    try:
        with socket.socket(socket.AF_UNIX, socket.SOCK_STREAM) as s:
            s.settimeout(2.0)
            s.connect(f"/tmp/.X11-unix/X{number}")
            s.sendall(struct.pack("<BxHHHHxx", ord("l"), 11, 0, 0, 0))
            return s.recv(1) == b"\x01"
    except OSError:
        return False


def start_xvfb(first, last, size, log_path):
    """Starts Xvfb on the first free display in [first, last) and answers (process, number) once
    it accepts clients. -noreset: an X server resets when its last client leaves, and a client
    connecting meanwhile is refused ("could not connect to display")."""
    for number in range(first, last):
        if os.path.exists(f"/tmp/.X11-unix/X{number}") or os.path.exists(f"/tmp/.X{number}-lock"):
            continue
        with open(log_path, "w") as log:
            process = subprocess.Popen(["Xvfb", f":{number}", "-screen", "0", size, "-nolisten", "tcp", "-noreset"],
                                       stdout=subprocess.DEVNULL, stderr=log)
        deadline = time.time() + 10
        while time.time() < deadline and process.poll() is None and not x_server_answers(number):
            time.sleep(0.05)
        if process.poll() is None and x_server_answers(number):
            return process, number
        process.terminate()
        process.wait()
        say(f"Xvfb could not serve :{number}; trying the next display")
    with open(log_path) as log:
        fail(f"no Xvfb could be started; the last one said: {log.read().strip()}")


def start_x_client(command, env, errors_path, what):
    """Starts an X client and answers its process once it has stayed up a second, starting it again
    when it could not connect to the display; its standard error goes to errors_path."""
    for attempt in range(DISPLAY_ATTEMPTS):
        with open(errors_path, "w") as errors:
            process = subprocess.Popen(command, env=env, stdout=subprocess.DEVNULL, stderr=errors)
        time.sleep(1.0)
        if process.poll() is None:
            return process
        with open(errors_path) as f:
            text = f.read()
        if "could not connect to display" not in text:
            fail(f"{what} ended with {process.returncode} at its start: {text.strip()}")
        say(f"{what} could not connect to the display; starting it again")
    fail(f"{what} cannot connect to the display")
