"""One client of the facility test, a process of its own: subscribes to the change events of the
given attributes of the given devices (reached by name through TANGO_HOST), prints "ready",
then one line per event as it comes:

    event DEVICE ATTRIBUTE VALUE        (VALUE "None" for an INVALID reading)
    error DEVICE ATTRIBUTE REASON

(with --times, each line ends with the callback's time.monotonic(), for latencies)

and on "quit" (standard input) unsubscribes everything, prints "bye" and ends. Every
subscription is ended before the script ends: PyTango 9.3 can crash at the interpreter's exit
with subscriptions still open."""

import argparse
import sys
import threading
import time

import tango


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--attributes", default="Wavelength,State")
    parser.add_argument("--times", action="store_true", help="end each line with its time")
    parser.add_argument("devices", nargs="+")
    args = parser.parse_args()
    out = threading.Lock()

    def say(line: str) -> None:
        with out:
            sys.stdout.write(line + "\n")
            sys.stdout.flush()

    def callback(device: str, attribute: str):
        def push(event) -> None:
            at = f" {time.monotonic():.6f}" if args.times else ""
            if event.err:
                say(f"error {device} {attribute} {event.errors[0].reason}{at}")
            else:
                value = event.attr_value.value if event.attr_value is not None else None
                say(f"event {device} {attribute} {value}{at}")
        return push

    subscriptions = []
    for device in args.devices:
        proxy = tango.DeviceProxy(device)
        for attribute in args.attributes.split(","):
            subscriptions.append((proxy, proxy.subscribe_event(
                attribute, tango.EventType.CHANGE_EVENT, callback(device, attribute))))
    say("ready")
    for line in sys.stdin:
        if line.strip() == "quit":
            break
    for proxy, event_id in subscriptions:
        try:
            proxy.unsubscribe_event(event_id)
        except tango.DevFailed:
            pass
    say("bye")
    return 0


if __name__ == "__main__":
    sys.exit(main())
