"""vuzaravarede.testing.simulated_program against the built program: a lab script's test runs
through it as it would against the instrument, and the program folder it is installed in stays
as it was."""

import hashlib
import os
import shutil
import socket
import sys
import tempfile
import unittest
from typing import Dict, List
from unittest import mock

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "clients", "python"))

from vuzaravarede import Filter, OutOfRange  # noqa: E402
from vuzaravarede import testing  # noqa: E402
from vuzaravarede.testing import SimulationError, simulated_program  # noqa: E402

BIN = os.environ.get("VR_BIN_DIR", os.path.join(ROOT, "build", "bin"))


def snapshot(folder: str) -> Dict[str, str]:
    """Every entry under `folder`: a file's digest, a link's target, or "folder"."""
    entries = {}
    for top, folders, files in os.walk(folder):
        for name in folders + files:
            path = os.path.join(top, name)
            if os.path.islink(path):
                entries[path] = "-> " + os.readlink(path)
            elif os.path.isdir(path):
                entries[path] = "folder"
            else:
                with open(path, "rb") as f:
                    entries[path] = hashlib.sha256(f.read()).hexdigest()
    return entries


def simulated_folders(temp: str) -> List[str]:
    """The simulated programs' folders in `temp` (the toolkit may keep its own folder there)."""
    return [name for name in os.listdir(temp) if name.startswith("VuzaRavarede")]


def refused(host: str, port: int) -> bool:
    try:
        socket.create_connection((host, port), timeout=5.0).close()
        return False
    except ConnectionRefusedError:
        return True


class SimulatedProgramTest(unittest.TestCase):
    def setUp(self) -> None:
        self.work = tempfile.mkdtemp(prefix="vr-testing-")
        self.addCleanup(shutil.rmtree, self.work, True)
        # The program's temporary folders go here, to be seen removed.
        self.temp = os.path.join(self.work, "tmp")
        os.mkdir(self.temp)

    def test_a_script_test_through_the_program_on_path(self) -> None:
        env = {"PATH": BIN + os.pathsep + os.environ.get("PATH", ""), "TMPDIR": self.temp}
        # The first free port found is taken by someone else before the program listens there.
        holder = socket.socket()
        self.addCleanup(holder.close)
        holder.bind(("127.0.0.1", 0))
        holder.listen()
        taken = holder.getsockname()[1]
        ports = iter([taken])
        free_port = testing._free_port
        with mock.patch.dict(os.environ, env), \
                mock.patch.object(testing, "_free_port", lambda: next(ports, None) or free_port()):
            os.environ.pop("VR_PROGRAM", None)
            with simulated_program() as (host, port):
                self.assertEqual(host, "127.0.0.1")
                self.assertNotEqual(port, taken)
                with Filter(host, port, timeout=30.0) as f:
                    f.set_band(550.0, 10.0)
                    self.assertEqual((f.band.cwl_nm, f.band.fwhm_nm), (550.0, 10.0))
                    with self.assertRaises(OutOfRange):
                        f.set_band(300.0, 10.0)
                    self.assertEqual(f.scan(500, 504, 10, 2, 0.1), "SUCCESS")
                self.assertEqual(len(simulated_folders(self.temp)), 1)
            # Ended, with its simulator and its folder.
            self.assertTrue(refused(host, port))
            self.assertEqual(simulated_folders(self.temp), [])

    def test_program_folder_left_as_it_was(self) -> None:
        folder = os.path.join(self.work, "VuzaRavarede")
        os.mkdir(folder)
        for name in ("VuzaRavarede", "instrument-sim"):
            shutil.copy(os.path.join(BIN, name), folder)
        for sub in ("Cal", "Log", "Scans", "ports"):
            os.mkdir(os.path.join(folder, sub))
        with open(os.path.join(folder, "VuzaRavarede.ini"), "w") as f:
            f.write("[Info]\nType=QVL Rari v2\n[ComPort]\nPortName=COM2\n[Device]\nDebugMode=1\n")
        with open(os.path.join(folder, "Scans", "Scan 20261201-101500.csv"), "w") as f:
            f.write("# end,SUCCESS\n")
        os.symlink(os.path.join(folder, "nowhere"), os.path.join(folder, "ports", "COM1"))
        before = snapshot(folder)
        env = {"VR_PROGRAM": os.path.join(folder, "VuzaRavarede"), "TMPDIR": self.temp}
        with mock.patch.dict(os.environ, env):
            with simulated_program() as (host, port), Filter(host, port, timeout=30.0) as f:
                self.assertEqual(f.scan(500, 502, 10, 2, 0.1), "SUCCESS")
        self.assertEqual(snapshot(folder), before)
        self.assertEqual(simulated_folders(self.temp), [])

    def test_no_program(self) -> None:
        cases = [
            ("VR_PROGRAM names a missing file", {"VR_PROGRAM": os.path.join(self.work, "none")},
             FileNotFoundError, "VR_PROGRAM"),
            ("not on PATH", {"VR_PROGRAM": "", "PATH": self.work}, FileNotFoundError, "PATH"),
            ("a program that ends at once", {"VR_PROGRAM": shutil.which("false") or "/bin/false"},
             SimulationError, "status 1"),
        ]
        for name, env, error, says in cases:
            with self.subTest(name), mock.patch.dict(os.environ, env):
                with self.assertRaises(error) as caught:
                    with simulated_program():
                        self.fail("yielded without a program")
                # The reason itself, not a wait for READY that ran out.
                self.assertIn(says, str(caught.exception))


if __name__ == "__main__":
    unittest.main()
