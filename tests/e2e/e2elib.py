"""What the end-to-end scripts share: how a failure ends the script, progress lines, and the
wait for a condition with a deadline."""

import sys
import time

SKIP = 77
STEP_TIMEOUT = 30.0
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
