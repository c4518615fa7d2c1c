"""A Tango control system on this machine, for tests and benchmarks: a MariaDB server holding the
Tango schema (the SQL that Debian's tango-db ships) and the Tango database server DataBaseds,
both in a temporary folder on free loopback ports, and TunableFilter device servers registered in
it and started by instance name. Nothing runs once the `with` block ends.

    with TangoSystem() as tango_system:
        tango_system.register("lab1", "lab/filter/1", program_port)
        server = tango_system.start_server("lab1")
        proxy = tango_system.proxy("lab/filter/1")
"""

import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import Callable, Dict, List, Optional

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(os.path.dirname(HERE)))
PYTHONPATH = os.pathsep.join([os.path.join(ROOT, "clients", "python"),
                              os.path.join(ROOT, "integrations", "tango")])

MARIADB = shutil.which("mariadbd") or "/usr/sbin/mariadbd"
INSTALL_DB = shutil.which("mariadb-install-db") or "/usr/bin/mariadb-install-db"
CLIENT = shutil.which("mariadb") or "/usr/bin/mariadb"
DATABASEDS = "/usr/lib/tango/DataBaseds"
SCHEMA = "/usr/share/dbconfig-common/data/tango-db/install/mysql"

# A small server: the Tango tables are MyISAM, and nothing here needs to survive a crash.
MARIADB_OPTIONS = ["--no-defaults", "--skip-name-resolve", "--innodb-buffer-pool-size=8M",
                   "--innodb-log-file-size=4M", "--innodb-flush-method=nosync",
                   "--innodb-doublewrite=0"]

START_S = 60.0  # bound on each start; every wait ends as soon as its event is seen


def free_port() -> int:
    import socket
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def missing() -> List[str]:
    """The Debian packages a Tango control system needs that are not installed."""
    needed = {"mariadb-server": MARIADB, "tango-db": DATABASEDS}
    return [package for package, path in needed.items() if not os.access(path, os.X_OK)]


def wait_until(predicate: Callable[[], bool], what: str, timeout: float = START_S,
               process: Optional[subprocess.Popen] = None) -> None:
    """Asks predicate() until it holds; fails at once when `process` ended meanwhile."""
    deadline = time.monotonic() + timeout
    while not predicate():
        if process is not None and process.poll() is not None:
            raise RuntimeError(f"{what}: the process ended with status {process.returncode}")
        if time.monotonic() > deadline:
            raise RuntimeError(f"timed out waiting for {what}")
        time.sleep(0.05)


def stop_process(process: Optional[subprocess.Popen], kill: bool = False,
                 output: Optional["Output"] = None) -> None:
    """Ends a process started here: SIGTERM (SIGKILL with kill, or after 20 s); then its
    output is read to the end."""
    if process is None:
        return
    if process.poll() is None:
        process.send_signal(signal.SIGKILL if kill else signal.SIGTERM)
        try:
            process.wait(20)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    if output is not None:
        output.thread.join(5)
    if process.stdout is not None:
        process.stdout.close()


class Output:
    """The lines a process prints, kept as they come; waits for one of them."""

    def __init__(self, process: subprocess.Popen) -> None:
        self.lines: List[str] = []
        self.cond = threading.Condition()
        self.thread = threading.Thread(target=self._read, args=(process.stdout,), daemon=True)
        self.thread.start()

    def _read(self, stream) -> None:
        for line in stream:
            with self.cond:
                self.lines.append(line.rstrip("\n"))
                self.cond.notify_all()
        with self.cond:
            self.lines.append("")  # the end
            self.cond.notify_all()

    def wait_for(self, text: str, what: str, timeout: float = START_S, start: int = 0) -> None:
        deadline = time.monotonic() + timeout
        with self.cond:
            while not any(text in line for line in self.lines[start:]):
                left = deadline - time.monotonic()
                if left <= 0 or (self.lines and self.lines[-1] == "" and
                                 not self.thread.is_alive()):
                    raise RuntimeError(f"{what}: no {text!r} in its output: "
                                       + "\n".join(self.lines[-20:]))
                self.cond.wait(min(left, 0.5))


class DeviceServer:
    """A TunableFilter device server process, started by instance name."""

    def __init__(self, system: "TangoSystem", instance: str) -> None:
        self.system = system
        self.instance = instance
        self.process: Optional[subprocess.Popen] = None
        self.output: Optional[Output] = None

    def start(self, wait: bool = True) -> "DeviceServer":
        self.process = subprocess.Popen(
            [sys.executable, "-m", "vuzaravarede_tango", self.instance],
            env=self.system.env(), stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.output = Output(self.process)
        if wait:
            self.output.wait_for("Ready to accept request", f"device server {self.instance}")
        return self

    @property
    def pid(self) -> int:
        return self.process.pid if self.process else 0

    def stop(self, kill: bool = False) -> Optional[int]:
        stop_process(self.process, kill, self.output)
        return self.process.returncode if self.process else None


class TangoSystem:
    """MariaDB, DataBaseds and device servers in a temporary folder; a context manager."""

    def __init__(self) -> None:
        self.path = ""
        self.mysql_port = 0
        self.port = 0  # DataBaseds, the TANGO_HOST port
        self.mariadb: Optional[subprocess.Popen] = None
        self.databaseds: Optional[subprocess.Popen] = None
        self.databaseds_output: Optional[Output] = None
        self.servers: List[DeviceServer] = []

    @property
    def tango_host(self) -> str:
        return f"127.0.0.1:{self.port}"

    def env(self, extra: Optional[Dict[str, str]] = None) -> Dict[str, str]:
        """The environment of a process of this control system (TANGO_HOST, the package paths)."""
        env = dict(os.environ, TANGO_HOST=self.tango_host, PYTHONDONTWRITEBYTECODE="1")
        env["PYTHONPATH"] = PYTHONPATH + (os.pathsep + env["PYTHONPATH"]
                                          if env.get("PYTHONPATH") else "")
        env.update(extra or {})
        return env

    # -------------------------------------------------------------- life

    def __enter__(self) -> "TangoSystem":
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def start(self) -> None:
        lacking = missing()
        if lacking:
            raise RuntimeError(f"a Tango control system needs {', '.join(lacking)} "
                               "(apt-get install them; scripts/test does)")
        self.path = tempfile.mkdtemp(prefix="vr-tangodb-")
        self.mysql_port, self.port = free_port(), free_port()
        self._start_mariadb()
        self._create_schema()
        self.start_databaseds()

    def _user(self) -> List[str]:
        # mariadbd refuses to run as root unless told so; as anyone else it runs as them.
        return ["--user=root"] if os.geteuid() == 0 else []

    def _start_mariadb(self) -> None:
        data = os.path.join(self.path, "data")
        log = os.path.join(self.path, "mariadb-install.log")
        with open(log, "w") as out:
            status = subprocess.call([INSTALL_DB, *MARIADB_OPTIONS, *self._user(),
                                      f"--datadir={data}", "--skip-test-db",
                                      "--auth-root-authentication-method=normal"],
                                     stdout=out, stderr=subprocess.STDOUT)
        if status != 0:
            raise RuntimeError(f"mariadb-install-db failed ({status}); see {log}")
        self.mariadb = subprocess.Popen(
            [MARIADB, *MARIADB_OPTIONS, *self._user(), f"--datadir={data}",
             f"--socket={self.socket}", f"--port={self.mysql_port}",
             "--bind-address=127.0.0.1", f"--pid-file={os.path.join(self.path, 'mariadb.pid')}",
             f"--log-error={os.path.join(self.path, 'mariadb.log')}"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(lambda: self._sql("SELECT 1", check=False) == 0, "MariaDB", process=self.mariadb)

    @property
    def socket(self) -> str:
        return os.path.join(self.path, "mariadb.sock")

    def _sql(self, statement: str = "", database: str = "", check: bool = True,
             script: Optional[str] = None) -> int:
        command = [CLIENT, "--no-defaults", f"--socket={self.socket}", "-uroot"]
        if database:
            command.append(database)
        if statement:
            command += ["-e", statement]
        with open(script) if script else open(os.devnull) as stdin:
            result = subprocess.run(command, stdin=stdin, stdout=subprocess.DEVNULL,
                                    stderr=subprocess.PIPE, text=True)
        if check and result.returncode != 0:
            raise RuntimeError(f"SQL failed: {result.stderr.strip()}")
        return result.returncode

    def _create_schema(self) -> None:
        self._sql("CREATE DATABASE tango")
        self._sql(database="tango", script=SCHEMA)

    def start_databaseds(self) -> None:
        """Starts the Tango database server (again, after stop_databaseds) on the same port."""
        env = dict(os.environ, MYSQL_HOST=f"127.0.0.1:{self.mysql_port}", MYSQL_USER="root",
                   MYSQL_PASSWORD="", MYSQL_DATABASE="tango", TANGO_HOST=self.tango_host)
        self.databaseds = subprocess.Popen(
            [DATABASEDS, "2", "-ORBendPoint", f"giop:tcp:127.0.0.1:{self.port}"],
            env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, text=True, bufsize=1)
        self.databaseds_output = Output(self.databaseds)
        self.databaseds_output.wait_for("Ready to accept request", "DataBaseds")

    def stop_databaseds(self) -> None:
        stop_process(self.databaseds, output=self.databaseds_output)
        self.databaseds = self.databaseds_output = None

    def close(self) -> None:
        for server in self.servers:
            server.stop(kill=True)
        self.servers = []
        self.stop_databaseds()
        stop_process(self.mariadb)
        self.mariadb = None
        if self.path:
            shutil.rmtree(self.path, ignore_errors=True)
            self.path = ""

    # -------------------------------------------------------------- device servers

    def register(self, instance: str, device: str, program_port: int,
                 host: str = "127.0.0.1", timeout_s: float = 10.0) -> None:
        """Registers a filter as a facility does, with the package's own command."""
        result = subprocess.run(
            [sys.executable, "-m", "vuzaravarede_tango", "register", "--instance", instance,
             "--device", device, "--host", host, "--port", str(program_port),
             "--timeout", str(timeout_s)],
            env=self.env(), stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        if result.returncode != 0:
            raise RuntimeError(f"register {device} failed: {result.stdout}")

    def start_server(self, instance: str, wait: bool = True) -> DeviceServer:
        server = DeviceServer(self, instance).start(wait)
        self.servers.append(server)
        return server
