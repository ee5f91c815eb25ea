#!/usr/bin/python3
"""APDU latency through Debian's pcscd, measured with pyscard as an application sees it.

    bench/pcscd_latency.py HANDLER [--count N] [--events N] [--together N] [--port PORT]
                           [--parts routes,cases,events,together]

1. routes: GET CHALLENGE (00 84 00 00 08: a 5-byte command, a 10-byte answer), N times (1000)
   on every route an application can take: our reader with its built-in card at 9600 and at
   115200 bit/s, our reader with the vicc emulator as its card (the vicc route, 115200 bit/s), and
   Debian's vsmartcard vpcd reader with the same emulator behind it, in a pcscd of its own: the
   same APDU, the same client. Median, 95th and 99th percentile and the longest SCardTransmit: a
   stall of one APDU in a hundred shows in the last two.
2. cases: APDU cases 1 to 4 at every length (769 APDUs: case 1 twice, case 2 with Le 1 to 256,
   case 3 with Lc 1 to 255, case 4 with Lc 1 to 255 and Le = Lc, and Lc 255 with Le 256) at
   115200 bit/s on our reader with the built-in card (its answers checked byte for byte) and on
   the vicc route (whatever the emulator answers), and on vpcd. The run's time is set beside the
   USB pipe's own limit for the bytes it moved: each APDU's T=1 blocks (IFSC and IFSD 254, chained
   beyond) cross the converter's interrupt pipes in 8-byte packets, one packet a poll (bInterval
   10 ms, which Windows polls every 8 ms), no two packets of one exchange in the same poll.
3. events: card removal and insertion (zarq7-card, beside the handler) as an application sees
   them: the time from the change until a waiting SCardGetStatusChange reports it, N times each
   (20), each change at a random moment of the driver's 1.2 s card tracking round.
4. together: nine readers of ours in one pcscd, each with its own card (its own seed), at 115200
   bit/s: N GET CHALLENGE (300) on all nine at once (a client process each), beside one alone.

Everything runs in real time on this machine: the numbers depend on its load.
"""
import argparse
import math
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
PARTS = ("routes", "cases", "events", "together")
# The converter's interrupt pipes: 8-byte packets, polled every 8 ms.
USB_PACKET = 8
USB_POLL_MS = 8.0
T1_IFS = 254  # the card's IFSC and the driver's IFSD: longer APDUs and answers are chained
T1_FRAME = 4  # NAD, PCB, LEN and the LRC around each block's information field
VICC = os.path.join(ROOT, "scripts", "vicc.sh")

# A pyscard client in a process of its own: waits for the card, connects, runs the APDUs and
# prints "milliseconds command-length answer-length failed" for each after the warm-up (a failed
# one, an error or a wrong answer, also on stderr).
# mode "challenge": COUNT GET CHALLENGE, each answered 8 bytes and 90 00.
# mode "cases": the case run; with "check", each answer byte for byte as the built-in card gives.
CLIENT = """
import sys, time
from smartcard import scard as s
part, mode, count, check = sys.argv[1], sys.argv[2], int(sys.argv[3]), sys.argv[4] == "check"
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
OK = [0x90, 0x00]
if mode == "challenge":
    apdus = [(%(challenge)r, None)] * (%(warm_up)d + count)
else:
    apdus = [([0x80, 0xF2, 0, 0], OK), ([0x80, 0xF0, 0, 0], OK)]
    apdus += [([0x80, 0xF0, n >> 8, n & 0xFF, n & 0xFF], list(i & 0xFF for i in range(n)) + OK)
              for n in range(1, 257)]
    apdus += [([0x80, 0xF2, 0, 0, n] + list(range(n)), OK) for n in range(1, 256)]
    apdus += [([0x80, 0xF2, 0, 0, n] + list(range(n)) + [le & 0xFF], OK)
              for n in range(1, 256) for le in ([n] + ([256] if n == 255 else []))]
    apdus = apdus[:%(warm_up)d] + apdus
for i, (apdu, expected) in enumerate(apdus):
    start = time.perf_counter()
    hr, answer = s.SCardTransmit(card, protocol, apdu)
    took = time.perf_counter() - start
    failed = hr != s.SCARD_S_SUCCESS
    if failed:
        answer = []
        why = s.SCardGetErrorMessage(hr).strip()
    elif mode == "challenge":
        failed, why = len(answer) != 10 or answer[-2:] != OK, "answer %%r" %% answer
    elif check:
        failed, why = answer != expected, "answer ends %%r" %% answer[-8:]
    if failed:
        print("%%s: %%s" %% (" ".join("%%02X" %% b for b in apdu[:5]), why), file=sys.stderr)
    if i >= %(warm_up)d:
        print("%%.3f %%d %%d %%d" %% (took * 1000, len(apdu), len(answer), failed), flush=True)
""" % {"challenge": GET_CHALLENGE, "warm_up": WARM_UP}


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


def start_client(pcscd, part, count, mode="challenge", check=False):
    return subprocess.Popen([pcscd_session.PYTHON, "-c", CLIENT, part, mode, str(count),
                             "check" if check else "any"],
                            env=pcscd.env, stdout=subprocess.PIPE, text=True)


def exchanges(client, timeout=1800):
    """[(ms, command length, answer length, failed)] of each APDU the client sent."""
    out, _ = client.communicate(timeout=timeout)
    if client.returncode != 0:
        raise RuntimeError("the client failed")
    return [(float(ms), int(c), int(a), f == "1")
            for ms, c, a, f in (line.split() for line in out.splitlines())]


def latencies(client):
    """The times of every APDU, and how many failed."""
    done = exchanges(client)
    return [ms for ms, _, _, _ in done], sum(failed for _, _, _, failed in done)


def block_sizes(length):
    """The T=1 blocks one side sends for an APDU or answer of `length` bytes, and the other side's
    R-blocks that ask for each next one of a chain."""
    chunks = max(1, math.ceil(length / T1_IFS))
    sent = [T1_FRAME + min(T1_IFS, length - i * T1_IFS) for i in range(chunks)]
    return sent, [T1_FRAME] * (chunks - 1)


def usb_limit_ms(command, answer):
    """The least time the interrupt pipes take to move one exchange's blocks: one 8-byte packet a
    poll, no two packets of the exchange in one poll (the first at once, at best)."""
    out, acks_in = block_sizes(command)
    back, acks_out = block_sizes(answer)
    packets = sum(math.ceil(b / USB_PACKET) for b in out + acks_in + back + acks_out)
    return (packets - 1) * USB_POLL_MS


def row(name, measured):
    values, failed = measured
    if len(values) < 2:
        return (f"| {name:<44} | {'-':>9} | {'-':>9} | {'-':>9} | {'-':>9} | {len(values):5} "
                f"| {failed:6} |")
    q = statistics.quantiles(values, n=100, method="inclusive")
    return (f"| {name:<44} | {statistics.median(values):9.1f} | {q[94]:9.1f} | {q[98]:9.1f} "
            f"| {max(values):9.1f} | {len(values):5} | {failed:6} |")


HEADER = ("| route                                        | median ms |    p95 ms |    p99 ms |"
          "    max ms | APDUs | failed |\n"
          "|----------------------------------------------|-----------|-----------|-----------|"
          "-----------|-------|--------|")
CASES_HEADER = ("| route                                        | APDUs | failed |    run s | "
                "USB limit s | time/limit | max ms |\n"
                "|----------------------------------------------|-------|--------|----------|"
                "-------------|------------|--------|")


def case_row(name, done, ours):
    total = sum(ms for ms, _, _, _ in done) / 1000
    failed = sum(f for _, _, _, f in done)
    if ours:
        limit = sum(usb_limit_ms(c, a) for _, c, a, _ in done) / 1000
        limit_text, ratio = f"{limit:11.1f}", f"{total / limit:10.2f}"
    else:
        limit_text, ratio = f"{'-':>11}", f"{'-':>10}"
    longest = max(ms for ms, _, _, _ in done)
    return (f"| {name:<44} | {len(done):5} | {failed:6} | {total:8.1f} | {limit_text} | {ratio} "
            f"| {longest:6.0f} |")


class Vicc:
    """scripts/vicc.sh connecting to PORT (again and again, until stopped)."""

    def __init__(self, port):
        self.process = subprocess.Popen([VICC, str(port)], stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.process.terminate()
        self.process.wait(30)


def our_readers(o):
    """A pcscd with our readers: built-in card at 9600 and at 115200 bit/s, and the vicc route."""
    return pcscd_session.PrivatePcscd(ROOT, o.handler, ["builtin", "builtin,rate=115200",
                                                        f"vicc,port={o.port},rate=115200"])


def vpcd(o):
    return pcscd_session.PrivatePcscd(ROOT, o.handler, vpcd_ports=[o.port + 1])


def routes(o):
    print(f"\nGET CHALLENGE (5-byte command, 10-byte answer) through pcscd, {o.count} on each "
          "route, pyscard SCardTransmit, real time")
    print(HEADER)
    with our_readers(o) as pcscd, Vicc(o.port):
        for part, name in (("USBTESK0", "zarq7, built-in card, 9600 bit/s"),
                           ("USBTESK1", "zarq7, built-in card, 115200 bit/s"),
                           ("USBTESK2", "zarq7, vicc route (vicc card), 115200 bit/s")):
            print(row(name, latencies(start_client(pcscd, part, o.count))), flush=True)
    with vpcd(o) as pcscd, Vicc(o.port + 1):
        print(row("vsmartcard vpcd with vicc (iso7816)",
                  latencies(start_client(pcscd, "Virtual PCD", o.count))), flush=True)


def cases(o):
    print("\nAPDU cases 1 to 4 at every length (769 APDUs) through pcscd at 115200 bit/s, the "
          "run's time beside the USB pipes' limit for the T=1 blocks it moved (8-byte packets, "
          "one an 8 ms poll)")
    print(CASES_HEADER)
    with our_readers(o) as pcscd, Vicc(o.port):
        for part, name, check in (("USBTESK1", "zarq7, built-in card, 115200 bit/s", True),
                                  ("USBTESK2", "zarq7, vicc route, 115200 bit/s", False)):
            done = exchanges(start_client(pcscd, part, 0, "cases", check))
            print(case_row(name, done, True), flush=True)
    with vpcd(o) as pcscd, Vicc(o.port + 1):
        done = exchanges(start_client(pcscd, "Virtual PCD", 0, "cases"))
        print(case_row("vsmartcard vpcd with vicc (iso7816)", done, False), flush=True)


def card_events(o):
    tool = os.path.join(os.path.dirname(os.path.abspath(o.handler)), "zarq7-card")
    print(f"\nCard removal and insertion seen by a waiting SCardGetStatusChange, {o.events} each, "
          "from the zarq7-card command on (the driver looks at the card every 1.2 s)")
    print(HEADER.replace("| APDUs", "| times").replace("route    ", "event    "))
    with pcscd_session.PrivatePcscd(ROOT, o.handler, ["builtin"]) as pcscd:
        client = subprocess.Popen([pcscd_session.PYTHON, "-c", EVENTS_CLIENT, tool, str(o.events)],
                                  env=pcscd.env, stdout=subprocess.PIPE, text=True)
        out, _ = client.communicate(timeout=1800)
        if client.returncode != 0:
            raise RuntimeError("the card event client failed")
        seen = {"remove": [], "insert": []}
        for line in out.splitlines():
            change, ms = line.split()
            seen[change].append(float(ms))
        for change, what in (("remove", "removal"), ("insert", "insertion")):
            print(row(f"card {what}", (seen[change], 0)), flush=True)


def together(o):
    print(f"\n{READERS_AT_ONCE} readers in one pcscd, each with its own card, 115200 bit/s, "
          f"{o.together} GET CHALLENGE each")
    print(HEADER)
    readers = [f"builtin,rate=115200,seed={unit + 1}" for unit in range(READERS_AT_ONCE)]
    with pcscd_session.PrivatePcscd(ROOT, o.handler, readers, start_timeout=240) as pcscd:
        alone = latencies(start_client(pcscd, "USBTESK0", o.together))
        print(row("USBTESK0 alone", alone), flush=True)
        clients = [start_client(pcscd, f"USBTESK{unit}", o.together)
                   for unit in range(READERS_AT_ONCE)]
        at_once = [latencies(client) for client in clients]
        for unit, values in enumerate(at_once):
            print(row(f"USBTESK{unit}, all {READERS_AT_ONCE} at once", values))
        print(row(f"all {READERS_AT_ONCE} at once, pooled",
                  (sum((v for v, _ in at_once), []), sum(f for _, f in at_once))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("handler")
    parser.add_argument("--count", type=int, default=1000, help="GET CHALLENGE on each route")
    parser.add_argument("--events", type=int, default=20, help="removals and insertions each")
    parser.add_argument("--together", type=int, default=300,
                        help="GET CHALLENGE on each of the nine readers at once")
    parser.add_argument("--port", type=int, default=35991,
                        help="loopback port of the vicc route (vpcd's: the next one)")
    parser.add_argument("--parts", default=",".join(PARTS), help="which of " + ",".join(PARTS))
    o = parser.parse_args()
    parts = set(o.parts.split(","))
    if not parts <= set(PARTS) or o.count < 2 or o.events < 1 or o.together < 2:
        parser.error(f"--parts takes some of {','.join(PARTS)}; counts are at least 2 (events 1)")
    missing = pcscd_session.missing_packages()
    for path, package in ((pcscd_session.VPCD_LIBRARY, "vsmartcard-vpcd"),
                          ("/usr/bin/vicc", "vsmartcard-vpicc")):
        if not missing and not os.path.exists(path):
            missing = f"{path} is missing (Debian package {package})"
    if missing:
        print(f"pcscd latency benchmark skipped: {missing}")
        return 0
    if "routes" in parts:
        routes(o)
    if "cases" in parts:
        cases(o)
    if "events" in parts:
        card_events(o)
    if "together" in parts:
        together(o)
    return 0


if __name__ == "__main__":
    sys.exit(main())
