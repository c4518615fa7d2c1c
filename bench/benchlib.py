"""Shared by the benchmark scripts of bench/: a program folder with the simulator, the program as a
process, its CPU time and memory from /proc, and the figures for the suite's table.
Python standard library only; Linux (pseudo-terminals and /proc).
"""

import glob
import json
import os
import shutil
import signal
import socket
import statistics
import subprocess
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SAMPLE = os.path.join(ROOT, "samples", "20180315_F123_ABCD12345678.csv")
KEPT_NAME = "F123_ABCD12345678.csv"
SIM_PORT = "COM3"


def summary(values):
    """Median, minimum and maximum of a list of numbers."""
    return {"median": statistics.median(values), "min": min(values), "max": max(values),
            "runs": len(values)}


def record(figure, values, unit, floor=None, note=""):
    """Prints one figure and, when VR_BENCH_JSON names a file, appends it there for the suite."""
    row = {"figure": figure, "unit": unit, **summary(values)}
    text = (f"  {figure}: median {row['median']:.4g} {unit} (min {row['min']:.4g}, "
            f"max {row['max']:.4g}, {row['runs']} runs)")
    if floor:
        row["floor"] = floor
        row["ratio"] = row["median"] / floor
        text += f"; floor {floor:.4g} {unit}, x{row['ratio']:.3f}"
    if note:
        row["note"] = note
        text += f"; {note}"
    print(text, flush=True)
    path = os.environ.get("VR_BENCH_JSON")
    if path:
        with open(path, "a", encoding="utf-8") as f:
            f.write(json.dumps(row) + "\n")


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def cpu_seconds(pid):
    """CPU time of every thread of the process so far, in seconds (nanosecond resolution where
    the kernel keeps scheduler statistics, else clock ticks)."""
    total = 0
    try:
        for stat in glob.glob(f"/proc/{pid}/task/*/schedstat"):
            try:
                with open(stat) as f:
                    total += int(f.read().split()[0])
            except (OSError, ValueError, IndexError):
                pass  # a thread that just ended
        if total:
            return total / 1e9
    except OSError:
        pass
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wakeups(pid):
    """Times a thread of the process has gone to sleep so far (voluntary context switches of
    every thread): each one is a wake-up later."""
    total = 0
    for status in glob.glob(f"/proc/{pid}/task/*/status"):
        try:
            with open(status) as f:
                for line in f:
                    if line.startswith("voluntary_ctxt_switches:"):
                        total += int(line.split()[1])
        except (OSError, ValueError, IndexError):
            pass  # a thread that just ended
    return total


def rss_mb(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024.0
    raise RuntimeError("no VmRSS")


def idle_load(pid, seconds):
    """Share of one core the process used over `seconds`, in percent."""
    c0, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    c1, t1 = cpu_seconds(pid), time.monotonic()
    return 100.0 * (c1 - c0) / (t1 - t0)


def stop(process, timeout=30):
    """Ends a process this script started: SIGTERM, then SIGKILL after `timeout`. Its status."""
    if process is None:
        return None
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return process.returncode


class Simulator:
    """instrument-sim with its output lines read as they come: (time, line) pairs."""

    def __init__(self, bin_dir, link, *options):
        self.lines = []
        self.cond = threading.Condition()
        self.process = subprocess.Popen(
            [os.path.join(bin_dir, "instrument-sim"), "--link", link, *options],
            stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True, bufsize=1)
        self.reader = threading.Thread(target=self._read, daemon=True)
        self.reader.start()
        if self.wait_for(lambda line: line.startswith("ready "), 10) is None:
            raise RuntimeError("the simulator did not start")

    def _read(self):
        for line in self.process.stdout:
            with self.cond:
                self.lines.append((time.monotonic(), line.rstrip("\n")))
                self.cond.notify_all()
        with self.cond:
            self.cond.notify_all()

    def wait_for(self, match, timeout, start=0):
        """Time of the first line from index `start` on that matches, or None after `timeout`."""
        deadline = time.monotonic() + timeout
        with self.cond:
            while True:
                for at, line in self.lines[start:]:
                    if match(line):
                        return at
                start = len(self.lines)
                left = deadline - time.monotonic()
                if left <= 0 or (self.process.poll() is not None and not self.reader.is_alive()):
                    return None
                self.cond.wait(min(left, 1.0))

    def count(self):
        with self.cond:
            return len(self.lines)

    def control(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()

    def stop(self):
        return stop(self.process)


HOME_LINE = 'exchange "HOME 3" -> "G\\r"'


class ProgramFolder:
    """A program folder of its own in which the unchanged program runs: the executable, a settings
    file, the kept calibration copy, and ports/ where every COMn is a link that points nowhere
    (so the program never touches the machine's own serial devices) except COM3, which leads to
    where the simulator publishes its pseudo-terminal."""

    def __init__(self, bin_dir, debug_mode=False, kept_copy=True):
        self.bin_dir = bin_dir
        self.path = tempfile.mkdtemp(prefix="vr-bench-")
        self.remote_port = free_port()
        shutil.copy(os.path.join(bin_dir, "VuzaRavarede"), self.path)
        ports = os.path.join(self.path, "ports")
        os.makedirs(ports)
        # The simulator removes its own link when it hangs up; COM3 then points nowhere too.
        self.sim_link = os.path.join(self.path, "instrument")
        for n in range(1, 65):
            target = self.sim_link if f"COM{n}" == SIM_PORT else os.path.join(self.path, "nowhere")
            os.symlink(target, os.path.join(ports, f"COM{n}"))
        if kept_copy:
            os.makedirs(os.path.join(self.path, "Cal"))
            shutil.copy(SAMPLE, os.path.join(self.path, "Cal", KEPT_NAME))
        with open(os.path.join(self.path, "VuzaRavarede.ini"), "w") as f:
            f.write(f"[Info]\nType=QVL Rari v2\n[ComPort]\nPortName={SIM_PORT}\n"
                    f"[Device]\nDebugMode={1 if debug_mode else 0}\n"
                    f"[Remote]\nPortNum={self.remote_port}\n")
        self.program = None
        self.sim = None

    def start_sim(self, *options):
        self.sim = Simulator(self.bin_dir, self.sim_link, *options)
        return self.sim

    def start_program(self):
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        self.program = subprocess.Popen(
            [os.path.join(self.path, "VuzaRavarede"), "--remote-listen", "127.0.0.1"],
            cwd=self.path, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL)
        return self.program

    def log_text(self):
        text = ""
        for name in glob.glob(os.path.join(self.path, "Log", "*.ini")):
            with open(name, "rb") as f:
                text += f.read().decode("latin-1")
        return text

    def close(self):
        """Stops the program and the simulator; the program's exit status."""
        status = stop(self.program)
        if self.sim:
            self.sim.stop()
        shutil.rmtree(self.path, ignore_errors=True)
        return status


class RemoteClient:
    """A lock-step client of the remote control: send a line, read its one response line."""

    def __init__(self, port, timeout=60):
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        self.rx = b""

    def ask(self, request):
        self.sock.sendall(request.encode("latin-1") + b"\r")
        while b"\r" not in self.rx:
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("connection closed by the program")
            self.rx += chunk
        line, self.rx = self.rx.split(b"\r", 1)
        return line.decode("latin-1")

    def close(self):
        self.sock.close()
