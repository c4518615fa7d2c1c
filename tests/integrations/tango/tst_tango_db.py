"""The TunableFilter device the way a facility runs it, against a stand-in for the program: a
Tango database of its own (MariaDB and DataBaseds in a temporary folder), the filter registered
with `python3 -m vuzaravarede_tango register`, its server started by instance name, clients
reaching it by name; its properties from the database, a wrong one, a second server of the same
name, and a database that is down when the server starts."""

import os
import sys
import unittest

from tangodb import TangoSystem, missing, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from fake_program import FakeProgram  # noqa: E402

DEVICE = "lab/filter/1"


@unittest.skipIf(missing(), f"needs {', '.join(missing())}")
class RegisteredDevice(unittest.TestCase):

    @classmethod
    def setUpClass(cls):
        cls.system = TangoSystem().__enter__()
        os.environ["TANGO_HOST"] = cls.system.tango_host
        import tango
        cls.tango = tango
        cls.fake = FakeProgram().start()
        cls.system.register("lab1", DEVICE, cls.fake.port)
        cls.server = cls.system.start_server("lab1")
        cls.proxy = tango.DeviceProxy(DEVICE)

    @classmethod
    def tearDownClass(cls):
        cls.fake.stop()
        cls.system.__exit__(None, None, None)

    def wait_state(self, state, proxy=None):
        proxy = proxy or self.proxy
        wait_until(lambda: proxy.state() == state, f"state {state}")

    def test_reached_by_name_with_its_properties_from_the_database(self):
        self.wait_state(self.tango.DevState.ON)
        self.proxy.SetBand([550.0, 10.0])
        self.assertEqual(self.fake.lines("SETC")[-1], "SETC,550.0,10.0")
        self.assertEqual(self.proxy.Wavelength, 550.0)
        properties = self.proxy.get_property(["Host", "Port"])
        self.assertEqual({name: list(value) for name, value in properties.items()},
                         {"Host": ["127.0.0.1"], "Port": [str(self.fake.port)]})
        database = self.tango.Database()
        self.assertEqual(database.get_device_info(DEVICE).ds_full_name, "TunableFilter/lab1")

        cases = [
            ({"Port": ["abc"]}, "Device property Port is not a number: 'abc'."),
            ({"Port": [""]}, "Device property Port is missing."),
            ({"Port": ["70000"]}, "Device property Port must be a TCP port (1-65535), not 70000."),
            ({"Timeout": ["0"]}, "Device property Timeout must be a positive number, not 0."),
        ]
        good = {"Port": [str(self.fake.port)], "Timeout": ["10.0"]}
        try:
            for change, status in cases:
                with self.subTest(change):
                    database.put_device_property(DEVICE, dict(good, **change))
                    self.proxy.Init()
                    self.assertEqual(self.proxy.state(), self.tango.DevState.FAULT)
                    self.assertEqual(self.proxy.status(), status)
                    reason = self.failure(lambda: self.proxy.SetBand([550.0, 10.0]))
                    self.assertEqual(reason, ("FAULT", status))
            database.delete_device_property(DEVICE, ["Port"])
            self.proxy.Init()
            self.assertEqual(self.proxy.status(), "Device property Port is missing.")
        finally:
            database.put_device_property(DEVICE, good)
            self.proxy.Init()
        self.wait_state(self.tango.DevState.ON)

    def failure(self, call):
        try:
            call()
        except self.tango.DevFailed as error:
            return error.args[0].reason, error.args[0].desc
        self.fail("no DevFailed raised")

    def test_a_second_server_of_the_same_name_refuses_to_start(self):
        second = self.system.start_server("lab1", wait=False)
        self.assertNotEqual(second.process.wait(60), 0)
        second.output.thread.join(5)
        self.assertIn("This server is already running, exiting!", second.output.lines)
        self.proxy.ping()
        self.assertEqual(self.server.process.poll(), None)

    def test_a_server_started_while_the_database_is_down_waits_for_it(self):
        self.system.register("lab2", "lab/filter/2", self.fake.port)
        self.system.stop_databaseds()
        try:
            server = self.system.start_server("lab2", wait=False)
            server.output.wait_for("waiting for the Tango database", "the waiting server")
            self.assertIsNone(server.process.poll())
        finally:
            self.system.start_databaseds()
        server.output.wait_for("Ready to accept request", "the server once the database is up")
        other = self.tango.DeviceProxy("lab/filter/2")
        # The program serves one client at a time: lab/filter/1 holds it, so this one has no
        # connection, and says why.
        self.wait_state(self.tango.DevState.FAULT, other)
        self.assertIn(f"127.0.0.1:{self.fake.port}", other.status())
        server.stop()


if __name__ == "__main__":
    unittest.main()
