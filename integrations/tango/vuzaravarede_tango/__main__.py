"""python3 -m vuzaravarede_tango INSTANCE [Tango options]

Runs the TunableFilter device server under the server name TunableFilter/INSTANCE. With a Tango
database (TANGO_HOST set), the server's devices and their properties come from it. Without one:

    python3 -m vuzaravarede_tango lab1 -nodb -port 10000 -dlist lab/filter/1

serves lab/filter/1 at tango://HOST:10000/lab/filter/1#dbase=no with the default properties
(Host localhost, Port 5050, Timeout 30). Other properties come from a Tango server file given
instead of -nodb and -dlist:

    python3 -m vuzaravarede_tango lab1 -file=filter.txt -ORBendPoint giop:tcp::10000

with lines such as "TunableFilter/lab1/DEVICE/TunableFilter: lab/filter/1" and
"lab/filter/1->Port: 5051".
"""

import sys
from typing import List, Optional

SERVER = "TunableFilter"


def main(argv: Optional[List[str]] = None) -> int:
    args = list(sys.argv[1:] if argv is None else argv)
    if not args or args[0] in ("-h", "--help", "-?"):
        print(__doc__.strip())
        return 0 if args else 2
    try:
        from tango.server import run

        from .device import TunableFilter
    except ImportError as error:
        print(f"vuzaravarede_tango: {error}. It needs Debian's python3-tango (run it with "
              "/usr/bin/python3) and the package of clients/python (pip install it, or put "
              "clients/python on PYTHONPATH).", file=sys.stderr)
        return 2
    run((TunableFilter,), args=[SERVER] + args)
    return 0


if __name__ == "__main__":
    sys.exit(main())
