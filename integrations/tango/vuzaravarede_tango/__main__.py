"""python3 -m vuzaravarede_tango INSTANCE [Tango options]
python3 -m vuzaravarede_tango register --instance INSTANCE --device DEVICE --port PORT
                                       [--host HOST] [--timeout SECONDS]

The first form runs the TunableFilter device server under the server name
TunableFilter/INSTANCE. With a Tango database (TANGO_HOST=host:port), the server's devices and
their properties (Host, Port, Timeout) come from it; register them there first with the second
form, which adds DEVICE to the server TunableFilter/INSTANCE and sets its properties (Host
defaults to localhost, Timeout to 30 s):

    export TANGO_HOST=control-pc:10000
    python3 -m vuzaravarede_tango register --instance lab1 --device lab/filter/1 \\
        --host lab-pc --port 5050
    python3 -m vuzaravarede_tango lab1

Clients then reach the filter by name: tango.DeviceProxy("lab/filter/1"). A server started
while the database is down waits for it.

Without a database:

    python3 -m vuzaravarede_tango lab1 -nodb -port 10000 -dlist lab/filter/1

serves lab/filter/1 at tango://HOST:10000/lab/filter/1#dbase=no; its Port property then comes
from a Tango server file given instead of -nodb and -dlist:

    python3 -m vuzaravarede_tango lab1 -file=filter.txt -ORBendPoint giop:tcp::10000

with lines such as "TunableFilter/lab1/DEVICE/TunableFilter: lab/filter/1" and
"lab/filter/1->Port: 5051".
"""

import argparse
import os
import socket
import sys
import time
from typing import List, Optional, Tuple

SERVER = "TunableFilter"


def register(argv: List[str]) -> int:
    """Adds a TunableFilter device to the Tango database of TANGO_HOST, with its properties."""
    parser = argparse.ArgumentParser(prog="python3 -m vuzaravarede_tango register",
                                     description=register.__doc__)
    parser.add_argument("--instance", required=True, help="server instance, e.g. lab1")
    parser.add_argument("--device", required=True, help="device name, e.g. lab/filter/1")
    parser.add_argument("--host", default="localhost", help="the program's PC (localhost)")
    parser.add_argument("--port", required=True, type=int,
                        help="the program's remote control port (PortNum of its settings)")
    parser.add_argument("--timeout", type=float, default=30.0,
                        help="seconds to wait for one answer of the program (30)")
    args = parser.parse_args(argv)
    if not os.environ.get("TANGO_HOST"):
        print("vuzaravarede_tango register: set TANGO_HOST to the database's host:port.",
              file=sys.stderr)
        return 2
    import tango

    try:
        database = tango.Database()
        info = tango.DbDevInfo()
        info.name, info._class, info.server = args.device, SERVER, f"{SERVER}/{args.instance}"
        database.add_device(info)
        database.put_device_property(args.device, {
            "Host": [args.host], "Port": [str(args.port)], "Timeout": [repr(args.timeout)]})
    except tango.DevFailed as error:
        print(f"vuzaravarede_tango register: {error.args[0].desc.strip()}", file=sys.stderr)
        return 1
    print(f"{args.device} registered in the server {SERVER}/{args.instance} of "
          f"{os.environ['TANGO_HOST']} (program at {args.host}:{args.port}).")
    return 0


def database_addresses() -> List[Tuple[str, int]]:
    """The (host, port) of each database server of TANGO_HOST ("host:port[,host:port]")."""
    addresses = []
    for item in os.environ.get("TANGO_HOST", "").split(","):
        host, _, port = item.strip().rpartition(":")
        if host and port.isdigit():
            addresses.append((host, int(port)))
    return addresses


def wait_for_database(retry_s: float = 1.0) -> None:
    """Returns once a database server of TANGO_HOST accepts a connection. Tango's own start
    gives up at once when the database is down, so a server started with the machine (or
    while the database restarts) waits here instead."""
    addresses = database_addresses()
    told = False
    while addresses:
        for address in addresses:
            try:
                socket.create_connection(address, timeout=retry_s).close()
                if told:
                    print("vuzaravarede_tango: the Tango database answers; starting.", flush=True)
                return
            except OSError as error:
                reason = error
        if not told:
            print(f"vuzaravarede_tango: waiting for the Tango database at "
                  f"{os.environ['TANGO_HOST']} ({reason}); trying again every {retry_s:g} s.",
                  flush=True)
            told = True
        time.sleep(retry_s)


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help", "-?"):
        print(__doc__.strip())
        return 0 if args else 2
    if args[0] == "register":
        return register(args[1:])
    try:
        from tango.server import run

        from .device import TunableFilter
    except ImportError as error:
        print(f"vuzaravarede_tango: {error}. It needs Debian's python3-tango (run it with "
              "/usr/bin/python3) and the package of clients/python (pip install it, or put "
              "clients/python on PYTHONPATH).", file=sys.stderr)
        return 2
    if not any(a == "-nodb" or a.startswith("-file=") for a in args):
        wait_for_database()
    # A second server of the same name ends here with Tango's "This server is already
    # running, exiting!"; the first one goes on.
    run((TunableFilter,), args=[SERVER] + args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
