"""Shared pieces of the quilletd benchmarks: the scratch layout of a home, running the daemon,
telling when it has gone idle, and the rows of the results table."""

import os
import platform
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass, field

# ppoll(2) is the only call quilletd blocks in between two polls of the trash folder, so a
# process whose current system call is ppoll has finished what it had to do.
PPOLL_SYSCALL = {"x86_64": 271, "aarch64": 73, "riscv64": 73, "i686": 309, "i386": 309, "armv7l": 336}

CACHE_FOLDER_NAME = ".TrashCacheFolder"
INDEX_FILE_NAME = "ArchivedFileData"
UPDATE_FLAG_NAME = "UPD_FLAG"
DATE_FOLDER_FORMAT = "%Y-%m-%d %H_%M +0000"


def log(message):
    print(f"[bench] {message}", file=sys.stderr, flush=True)


@dataclass
class Row:
    figure: str
    measured: str
    reference: str
    ratio: float | None
    target: str
    verdict: str  # "pass", "MISS" or "skipped"
    notes: list[str] = field(default_factory=list)


def verdict(ok):
    return "pass" if ok else "MISS"


def skipped(figure, target, reason):
    return Row(figure, "–", "–", None, target, "skipped", [reason])


def ratio_text(row):
    return "–" if row.ratio is None else f"{row.ratio:.2f}×"


def rows_markdown(rows):
    """The results table of rows, then their details."""
    lines = ["| Figure | Measured | Reference | Ratio | Target | Verdict |",
             "| --- | --- | --- | --- | --- | --- |"]
    for row in rows:
        lines.append(f"| {row.figure} | {row.measured} | {row.reference} | {ratio_text(row)} | "
                     f"{row.target} | {row.verdict} |")
    notes = [row for row in rows if row.notes]
    if notes:
        lines += ["", "Details:", ""]
        for row in notes:
            lines.append(f"- {row.figure}: " + "; ".join(row.notes) + ".")
    return "\n".join(lines)


def standalone(run, doc, name):
    """The main of a benchmark module run on its own: run(ctx) on a scratch folder of its own,
    then its rows as bench/run prints them (without the machine lines)."""
    import argparse

    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("build", nargs="?", default="build", help="build directory (default ./build)")
    parser.add_argument("--quick", action="store_true", help="fewer rounds")
    parser.add_argument("--keep", action="store_true", help="keep the scratch folder")
    args = parser.parse_args()
    build = os.path.abspath(args.build)
    workdir = tempfile.mkdtemp(prefix=f"quillet-bench-{name}-")
    ctx = Context(build=build, quilletd=os.path.join(build, "libexec", "quillet", "quilletd"),
                  index_tool=os.path.join(build, "bench", "quillet-bench-index"), workdir=workdir, quick=args.quick)
    try:
        rows = run(ctx)
    finally:
        if args.keep:
            log(f"scratch folder kept: {workdir}")
        else:
            shutil.rmtree(workdir, ignore_errors=True)
    print(rows_markdown(rows))
    return 0


def ms(seconds):
    return f"{seconds * 1000:.1f} ms"


def median(values):
    return statistics.median(values)


@dataclass
class Context:
    build: str
    quilletd: str
    index_tool: str
    workdir: str
    quick: bool


def make_workdir():
    return tempfile.mkdtemp(prefix="quillet-bench-")


class Home:
    """A scratch home: a freedesktop trash under data/Trash and a cache folder under home/."""

    def __init__(self, root):
        self.root = root
        self.home = os.path.join(root, "home")
        self.data = os.path.join(root, "data")
        self.trash = os.path.join(self.data, "Trash", "files")
        self.cache = os.path.join(self.home, CACHE_FOLDER_NAME)
        for folder in (self.home, os.path.join(self.data, "Trash"), self.trash,
                       os.path.join(self.data, "Trash", "info")):
            os.makedirs(folder, mode=0o700, exist_ok=True)
        os.makedirs(self.cache, mode=0o700, exist_ok=True)
        os.chmod(self.cache, 0o700)

    @property
    def index(self):
        return os.path.join(self.cache, INDEX_FILE_NAME)

    @property
    def update_flag(self):
        return os.path.join(self.cache, UPDATE_FLAG_NAME)

    def env(self):
        env = dict(os.environ)
        env["HOME"] = self.home
        env["XDG_DATA_HOME"] = self.data
        return env

    def qt_env(self, extra):
        """env() for the Qt programs: private configuration, state and runtime folders, no extra
        volumes, and settings with the update check off; then extra."""
        env = self.env()
        env.update({"XDG_CONFIG_HOME": os.path.join(self.root, "config"),
                    "XDG_STATE_HOME": os.path.join(self.root, "state"),
                    "XDG_RUNTIME_DIR": os.path.join(self.root, "run"),
                    "QUILLET_VOLUME_ROOTS": os.path.join(self.root, "volumes")})
        for key in ("XDG_CONFIG_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR", "QUILLET_VOLUME_ROOTS"):
            os.makedirs(env[key], mode=0o700, exist_ok=True)
        with open(os.path.join(env["XDG_CONFIG_HOME"], "com.plx.Quillet.plist"), "w") as f:
            f.write('<?xml version="1.0" encoding="UTF-8"?>\n<plist version="1.0"><dict>'
                    "<key>App_Prefs_checkUpdates</key><integer>0</integer></dict></plist>\n")
        env.update(extra)
        return env

    def date_folders(self):
        with os.scandir(self.cache) as entries:
            return [entry.path for entry in entries if entry.is_dir(follow_symlinks=False)]

    def cached_path(self, name):
        """Path of the archived copy of the trash entry name, or None while there is none."""
        for folder in self.date_folders():
            path = os.path.join(folder, ".x_" + name)
            if os.path.lexists(path):
                return path
        return None


class Daemon:
    """A quilletd process in copy mode on a Home, stopped with SIGINT as the launchers do."""

    def __init__(self, ctx, home, mode=0, period=1):
        self.ctx = ctx
        self.home = home
        self.args = [ctx.quilletd, str(period), home.trash + "/", home.home + "/", "0", "0", str(mode)]
        self.log_path = os.path.join(home.root, "quilletd.log")
        self.process = None
        self.started_at = None

    def start(self):
        log_file = open(self.log_path, "ab")
        self.started_at = time.perf_counter()
        self.process = subprocess.Popen(self.args, stdout=log_file, stderr=log_file,
                                        stdin=subprocess.DEVNULL)
        log_file.close()
        return self

    @property
    def pid(self):
        return self.process.pid

    def blocked_in_ppoll(self):
        """True when the daemon sleeps in its wait between two polls."""
        try:
            with open(f"/proc/{self.pid}/syscall") as f:
                fields = f.read().split()
        except OSError:
            return False
        return bool(fields) and fields[0] == str(ppoll_number())

    def wait_idle(self, timeout=60.0, pause=0.0002):
        """Waits until the daemon sleeps between polls; returns the perf_counter time it was
        first seen doing so."""
        deadline = time.perf_counter() + timeout
        while time.perf_counter() < deadline:
            if self.process.poll() is not None:
                raise RuntimeError(f"quilletd exited with {self.process.returncode}: {self.log_tail()}")
            if self.blocked_in_ppoll():
                return time.perf_counter()
            time.sleep(pause)
        raise RuntimeError("quilletd did not go idle in time")

    def settle(self, seconds=1.5):
        """Lets a poll period pass (the daemon notices removals only at its next poll), then
        waits until it sleeps again."""
        time.sleep(seconds)
        self.wait_idle()

    def stop(self):
        if self.process is None or self.process.poll() is not None:
            return self.process.returncode if self.process else None
        self.process.send_signal(signal.SIGINT)
        try:
            return self.process.wait(timeout=60)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()
            raise RuntimeError("quilletd did not stop on SIGINT")

    def log_tail(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read()[-500:].decode(errors="replace")
        except OSError:
            return ""

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def ppoll_number():
    machine = platform.machine()
    if machine not in PPOLL_SYSCALL:
        raise RuntimeError(f"no ppoll system call number known for {machine}")
    return PPOLL_SYSCALL[machine]


def cpu_times(pid):
    """(utime+stime in ms from /proc/PID/stat, on-CPU time in ms from /proc/PID/schedstat)."""
    with open(f"/proc/{pid}/stat") as f:
        # The command name is in parentheses and may hold spaces: split after it.
        fields = f.read().rsplit(")", 1)[1].split()
    ticks = int(fields[11]) + int(fields[12])  # utime, stime (fields 14 and 15)
    stat_ms = ticks * 1000.0 / os.sysconf("SC_CLK_TCK")
    with open(f"/proc/{pid}/schedstat") as f:
        sched_ms = int(f.read().split()[0]) / 1e6
    return stat_ms, sched_ms


def process_cpu_ms(pid):
    """On-CPU time in ms of every thread of the process (/proc/PID/task/*/schedstat); threads
    that ended before the reading are not counted."""
    total = 0
    for task in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{task}/schedstat") as f:
                total += int(f.read().split()[0])
        except (FileNotFoundError, ProcessLookupError):
            pass
    return total / 1e6


def proc_status(pid):
    values = {}
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            key, _, value = line.partition(":")
            values[key] = value.strip()
    return values


def kib(status_value):
    return int(status_value.split()[0])


def wait_for(predicate, timeout, pause=0.0005):
    """Polls predicate until true; returns the perf_counter time it was seen true (an upper
    bound of when it became true, by at most one pause and one look), or None on timeout."""
    deadline = time.perf_counter() + timeout
    while True:
        if predicate():
            return time.perf_counter()
        if time.perf_counter() > deadline:
            return None
        time.sleep(pause)


def sync():
    subprocess.run(["sync"], check=True)


def remove(path):
    if os.path.isdir(path) and not os.path.islink(path):
        shutil.rmtree(path)
    elif os.path.lexists(path):
        os.unlink(path)


def write_file(path, size, rng, mtime=None):
    with open(path, "wb") as f:
        f.write(rng.randbytes(size))
    if mtime is not None:
        os.utime(path, (mtime, mtime))


def run_index_tool(ctx, command, cache_folder):
    result = subprocess.run([ctx.index_tool, command, cache_folder + "/"], capture_output=True,
                            text=True)
    if result.returncode != 0:
        raise RuntimeError(f"quillet-bench-index {command} failed: {result.stderr.strip()}")
    return int(result.stdout.strip())


def make_archived_state(ctx, home, count, rng, folders=100, size_range=(64, 4096)):
    """A trash of count files and, in folders date folders, their archived copies (same name,
    size and modification time) with an index holding one record per copy: a state quilletd
    starts on with nothing to archive."""
    base = int(time.time()) - 86400
    per_folder = -(-count // folders)
    date_folders = []
    for number in range(folders):
        name = time.strftime(DATE_FOLDER_FORMAT, time.gmtime(base + 60 * number))
        path = os.path.join(home.cache, name)
        os.makedirs(path, mode=0o700, exist_ok=True)
        date_folders.append(path)
    for number in range(count):
        name = f"document-{number:05d}.txt"
        mtime = base + number
        data = rng.randbytes(rng.randint(*size_range))
        for path in (os.path.join(home.trash, name),
                     os.path.join(date_folders[number // per_folder], ".x_" + name)):
            with open(path, "wb") as f:
                f.write(data)
            os.utime(path, (mtime, mtime))
    records = run_index_tool(ctx, "write", home.cache)
    if records != count:
        raise RuntimeError(f"index holds {records} records, expected {count}")
