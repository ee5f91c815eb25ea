#!/usr/bin/python3
"""APDU latency through Debian's pcscd, measured with pyscard as an application sees it.

    bench/pcscd_latency.py HANDLER [--count N] [--vicc-port PORT]

1. GET CHALLENGE (00 84 00 00 08: a 5-byte command, a 10-byte answer), N times (300) on one
   reader of ours at 9600 and at 115200 bit/s, and the same on Debian's vsmartcard vpcd reader
   with the vicc emulator behind it, in a pcscd of its own on another private socket: the same
   APDU, the same client. Median and 95th percentile of each SCardTransmit.
2. Nine readers of ours in one pcscd, each with its own card (its own seed), at 115200 bit/s:
   the same measurement on all nine at once (a client process each), beside one reader alone.

3. Card removal and insertion (zarq7-card, beside the handler) as an application sees them: the
   time from the change until a waiting SCardGetStatusChange reports it, N/15 times each, each
   change at a random moment of the driver's 1.2 s card tracking round.

Everything runs in real time on this machine: the numbers depend on its load.
"""
import argparse
import os
import statistics
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "pcsc"))
import pcscd_session  # noqa: E402

GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
WARM_UP = 5
READERS_AT_ONCE = 9

CLIENT = """
import sys, time
from smartcard import scard as s
part, count = sys.argv[1], int(sys.argv[2])
hr, context = s.SCardEstablishContext(s.SCARD_SCOPE_USER)
hr, readers = s.SCardListReaders(context, [])
name = next(r for r in readers if part in r)
deadline = time.monotonic() + 60
hr, states = s.SCardGetStatusChange(context, 0, [(name, s.SCARD_STATE_UNAWARE)])
while not states[0][1] & s.SCARD_STATE_PRESENT and time.monotonic() < deadline:
    hr, new = s.SCardGetStatusChange(context, 1000, [(name, states[0][1] & ~s.SCARD_STATE_CHANGED)])
    states = new if hr == s.SCARD_S_SUCCESS else states
hr, card, protocol = s.SCardConnect(context, name, s.SCARD_SHARE_SHARED, 3)
assert hr == s.SCARD_S_SUCCESS, s.SCardGetErrorMessage(hr)
apdu = %r
for i in range(%d + count):
    start = time.perf_counter()
    hr, answer = s.SCardTransmit(card, protocol, apdu)
    took = time.perf_counter() - start
    assert hr == s.SCARD_S_SUCCESS and len(answer) == 10 and answer[-2:] == [0x90, 0], answer
    if i >= %d:
        print("%%.3f" %% (took * 1000))
""" % (GET_CHALLENGE, WARM_UP, WARM_UP)


EVENTS_CLIENT = """
import random, subprocess, sys, time
from smartcard import scard as s
tool, count = sys.argv[1], int(sys.argv[2])
hr, context = s.SCardEstablishContext(s.SCARD_SCOPE_USER)
hr, readers = s.SCardListReaders(context, [])
name = readers[0]

def wait_for(flag, limit=10):
    start = time.monotonic()
    hr, states = s.SCardGetStatusChange(context, 0, [(name, s.SCARD_STATE_UNAWARE)])
    while not states[0][1] & flag:
        left = limit - (time.monotonic() - start)
        assert left > 0, "no card event within %d s" % limit
        hr, new = s.SCardGetStatusChange(context, int(left * 1000),
                                         [(name, states[0][1] & ~s.SCARD_STATE_CHANGED)])
        states = new if hr == s.SCARD_S_SUCCESS else states
    return time.monotonic() - start

wait_for(s.SCARD_STATE_PRESENT, 60)
for i in range(count):
    for change, flag in (("remove", s.SCARD_STATE_EMPTY), ("insert", s.SCARD_STATE_PRESENT)):
        # At a moment of its own in the driver's 1.2 s round, not in step with the last event.
        time.sleep(random.uniform(0, 1.2))
        start = time.monotonic()
        subprocess.run([tool, change], check=True, timeout=30, stdout=subprocess.DEVNULL)
        wait_for(flag)
        print(change, "%.3f" % ((time.monotonic() - start) * 1000))
"""


def start_client(pcscd, part, count):
    return subprocess.Popen([pcscd_session.PYTHON, "-c", CLIENT, part, str(count)],
                            env=pcscd.env, stdout=subprocess.PIPE, text=True)


def latencies(client):
    out, _ = client.communicate(timeout=600)
    if client.returncode != 0:
        raise RuntimeError("the client failed")
    return [float(line) for line in out.split()]


def row(name, values):
    p95 = statistics.quantiles(values, n=20)[-1]
    return f"| {name:<44} | {statistics.median(values):9.1f} | {p95:9.1f} | {len(values):5} |"


HEADER = ("| reader                                       | median ms |    p95 ms | APDUs |\n"
          "|----------------------------------------------|-----------|-----------|-------|")


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("handler")
    parser.add_argument("--count", type=int, default=300)
    parser.add_argument("--vicc-port", type=int, default=35991)
    o = parser.parse_args()
    missing = pcscd_session.missing_packages()
    for path, package in ((pcscd_session.VPCD_LIBRARY, "vsmartcard-vpcd"),
                          ("/usr/bin/vicc", "vsmartcard-vpicc")):
        if not missing and not os.path.exists(path):
            missing = f"{path} is missing (Debian package {package})"
    if missing:
        print(f"pcscd latency benchmark skipped: {missing}")
        return 0

    print(f"GET CHALLENGE (5-byte command, 10-byte answer) through pcscd, {o.count} each, "
          "pyscard SCardTransmit, real time")
    print(HEADER)
    with pcscd_session.PrivatePcscd(ROOT, o.handler,
                                    ["builtin", "builtin,rate=115200"]) as pcscd:
        for part, rate in (("USBTESK0", 9600), ("USBTESK1", 115200)):
            values = latencies(start_client(pcscd, part, o.count))
            print(row(f"zarq7 driver, built-in card, {rate} bit/s", values), flush=True)
    with pcscd_session.PrivatePcscd(ROOT, o.handler, vpcd_ports=[o.vicc_port]) as pcscd:
        vicc = subprocess.Popen([os.path.join(ROOT, "scripts", "vicc.sh"), str(o.vicc_port)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            values = latencies(start_client(pcscd, "Virtual PCD", o.count))
        finally:
            vicc.terminate()
            vicc.wait(30)
        print(row("vsmartcard vpcd with vicc (iso7816)", values), flush=True)

    events = max(o.count // 15, 1)
    tool = os.path.join(os.path.dirname(os.path.abspath(o.handler)), "zarq7-card")
    print(f"\nCard removal and insertion seen by a waiting SCardGetStatusChange, {events} each, "
          "from the zarq7-card command on (the driver looks at the card every 1.2 s)")
    print(HEADER.replace("median ms |    p95 ms | APDUs", "median ms |    p95 ms | times"))
    with pcscd_session.PrivatePcscd(ROOT, o.handler, ["builtin"]) as pcscd:
        client = subprocess.Popen([pcscd_session.PYTHON, "-c", EVENTS_CLIENT, tool, str(events)],
                                  env=pcscd.env, stdout=subprocess.PIPE, text=True)
        out, _ = client.communicate(timeout=600)
        if client.returncode != 0:
            raise RuntimeError("the card event client failed")
        seen = {"remove": [], "insert": []}
        for line in out.splitlines():
            change, ms = line.split()
            seen[change].append(float(ms))
        for change, what in (("remove", "removal"), ("insert", "insertion")):
            print(row(f"card {what}, worst {max(seen[change]):.0f} ms", seen[change]), flush=True)

    print(f"\n{READERS_AT_ONCE} readers in one pcscd, each with its own card, 115200 bit/s, "
          f"{o.count} GET CHALLENGE each")
    print(HEADER)
    readers = [f"builtin,rate=115200,seed={unit + 1}" for unit in range(READERS_AT_ONCE)]
    with pcscd_session.PrivatePcscd(ROOT, o.handler, readers, start_timeout=240) as pcscd:
        alone = latencies(start_client(pcscd, "USBTESK0", o.count))
        print(row("USBTESK0 alone", alone), flush=True)
        clients = [start_client(pcscd, f"USBTESK{unit}", o.count)
                   for unit in range(READERS_AT_ONCE)]
        together = [latencies(client) for client in clients]
        for unit, values in enumerate(together):
            print(row(f"USBTESK{unit}, all {READERS_AT_ONCE} at once", values))
        print(row(f"all {READERS_AT_ONCE} at once, pooled", sum(together, [])))
    return 0


if __name__ == "__main__":
    sys.exit(main())
