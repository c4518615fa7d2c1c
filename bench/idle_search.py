#!/usr/bin/env python3
"""What the device search costs while no instrument is there.

Starts the unchanged program (offscreen) in a temporary program folder, lets it search for an
instrument that never comes, and measures over a window of SECONDS (after a warm-up):
  CPU      user + system time of the process, as a share of one core;
  writes   bytes that reached the storage layer (write_bytes of /proc/<pid>/io), write system
           calls and the bytes handed to them (syscw, wchar; these include the event loop's
           own 8-byte wake-ups, which touch no file), per second;
  reads    read system calls per second (syscr);
  wake-ups times per second a thread of the program went to sleep (and so woke up again).
By default every port name COM1..COM64 is a link in ports/ to nothing, so no device is a
candidate (the targets: nothing reaches the storage, at most 0.1 % of a core, at most 2
wake-ups a second). With --machine-ports the names map to the machine's own devices
(/dev/ttyUSB*, /dev/ttyACM*, /dev/ttyS*) as in normal use.
Linux only; Python standard library only.
"""

import argparse
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

import benchlib

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CPU_TARGET_PERCENT = 0.1
WAKEUP_TARGET = 2.0


def read_io(pid):
    values = {}
    with open(f"/proc/{pid}/io") as f:
        for line in f:
            key, value = line.split(":")
            values[key.strip()] = int(value)
    return values


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0],
                                     formatter_class=argparse.RawDescriptionHelpFormatter,
                                     epilog="\n".join(__doc__.splitlines()[2:]))
    parser.add_argument("--bin", default=os.path.join(ROOT, "build", "bin"),
                        help="folder of the built programs (default: build/bin)")
    parser.add_argument("--exe", help="the program to measure (default: BIN/VuzaRavarede)")
    parser.add_argument("--seconds", type=float, default=30.0,
                        help="length of the measured window (default 30)")
    parser.add_argument("--warmup", type=float, default=3.0,
                        help="seconds after the start that are not measured (default 3)")
    parser.add_argument("--machine-ports", action="store_true",
                        help="let the names map to the machine's own serial devices")
    args = parser.parse_args()

    program = args.exe or os.path.join(args.bin, "VuzaRavarede")
    if not os.path.isfile(program):
        sys.exit(f"{program} is not built (cmake --build build)")
    folder = tempfile.mkdtemp(prefix="vr-idle-search-")
    process = None
    try:
        exe = os.path.join(folder, "VuzaRavarede")
        shutil.copy(program, exe)
        if not args.machine_ports:
            os.makedirs(os.path.join(folder, "ports"))
            for n in range(1, 65):
                os.symlink(os.path.join(folder, "nowhere"),
                           os.path.join(folder, "ports", f"COM{n}"))
        env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
        process = subprocess.Popen([exe], cwd=folder, env=env, stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        time.sleep(args.warmup)
        if process.poll() is not None:
            sys.exit(f"the program ended early (status {process.returncode})")
        pid = process.pid
        io0, cpu0, t0 = read_io(pid), benchlib.cpu_seconds(pid), time.monotonic()
        wake0 = benchlib.wakeups(pid)
        time.sleep(args.seconds)
        wake1 = benchlib.wakeups(pid)
        io1, cpu1, t1 = read_io(pid), benchlib.cpu_seconds(pid), time.monotonic()
        process.send_signal(signal.SIGTERM)
        process.wait(30)
    finally:
        if process is not None and process.poll() is None:
            process.kill()
            process.wait()
        shutil.rmtree(folder, ignore_errors=True)

    span = t1 - t0
    rate = {key: (io1[key] - io0[key]) / span for key in io1}
    cpu = 100.0 * (cpu1 - cpu0) / span
    wake_rate = (wake1 - wake0) / span
    ports = "machine's devices" if args.machine_ports else "no candidate device"
    print(f"idle search, {ports}, {span:.1f} s measured after {args.warmup:.0f} s")
    print(f"  write calls {rate['syscw']:.1f} /s, bytes written {rate['wchar']:.1f} /s "
          f"(with the event loop's own wake-ups), read calls {rate['syscr']:.1f} /s")
    where = "machine's ports" if args.machine_ports else "no candidate port"
    benchlib.record(f"idle search CPU, {where}", [cpu], "% core",
                    note=f"target <= {CPU_TARGET_PERCENT} %" if not args.machine_ports else "")
    benchlib.record(f"idle search wake-ups, {where}", [wake_rate], "/s",
                    note=f"target <= {WAKEUP_TARGET:g}" if not args.machine_ports else "")
    benchlib.record(f"idle search storage writes, {where}", [rate["write_bytes"]], "B/s",
                    note="target 0" if not args.machine_ports else "")
    if args.machine_ports:
        return 0
    ok = rate["write_bytes"] == 0 and cpu <= CPU_TARGET_PERCENT and wake_rate <= WAKEUP_TARGET
    print("  target met" if ok else "  TARGET MISSED", flush=True)
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main())
