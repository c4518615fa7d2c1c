"""`pip install ./clients/python` into a fresh virtual environment, with no network: the
package's build backend is in its own tree, so pip has nothing to download."""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))


def no_network_prefix():
    """`unshare -n` (a network namespace with no way out) where this user may make one."""
    unshare = shutil.which("unshare")
    if unshare and subprocess.run([unshare, "-n", "true"], capture_output=True).returncode == 0:
        return [unshare, "-n"]
    return []


class Install(unittest.TestCase):
    def test_offline_install_into_a_fresh_environment(self):
        folder = tempfile.mkdtemp(prefix="vr-pyclient-venv-")
        self.addCleanup(shutil.rmtree, folder, True)
        venv = os.path.join(folder, "venv")
        subprocess.run([sys.executable, "-m", "venv", venv], check=True)
        prefix = no_network_prefix()
        # Without a network namespace, pip is at least kept off any package index.
        offline = [] if prefix else ["--no-index"]
        env = dict(os.environ, PIP_DISABLE_PIP_VERSION_CHECK="1")
        install = subprocess.run(
            prefix + [os.path.join(venv, "bin", "pip"), "install", *offline, "./clients/python"],
            cwd=ROOT, env=env, capture_output=True, text=True)
        self.assertEqual(install.returncode, 0, install.stdout + install.stderr)
        # The installed copy, not the source tree, is what the environment imports.
        probe = subprocess.run(
            [os.path.join(venv, "bin", "python"), "-c",
             "import vuzaravarede as v; print(v.__file__); print(v.Filter.via_pyvisa.__name__)"],
            cwd=folder, capture_output=True, text=True)
        self.assertEqual(probe.returncode, 0, probe.stderr)
        where, name = probe.stdout.split()
        self.assertTrue(where.startswith(venv), where)
        self.assertEqual(name, "via_pyvisa")


if __name__ == "__main__":
    unittest.main()
