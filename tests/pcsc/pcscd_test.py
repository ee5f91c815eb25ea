#!/usr/bin/python3
"""Debian's pcscd, opensc-tool and pyscard, unmodified, with the zarq7 handler: real processes on a
private socket, every wait bounded. Exit 77 (skipped) with the reason when they cannot be had.

    pcscd_test.py CASE ROOT HANDLER CARD_TOOL
    CASE: opensc | apdu_cases | card_events | vicc | vicc_apdus | stops | unplug

The pyscard clients run as separate processes (this file with `client ...`).
"""
import os
import signal
import socket
import subprocess
import sys
import tempfile
import time

SKIP = 77
CRYPTODOME = "/usr/lib/python3/dist-packages/Cryptodome"  # where scripts/vicc.sh finds it
EVENT_LIMIT = 5.0  # seconds for an application to see a card change (the driver looks every 1.2 s)
BUILTIN_ATR = "3B 93 11 80 31 FE 45 80 31 C0 F9"
T0_ATR = "3B 93 11 00 80 31 C0"
SELECT_MF = [0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00]
SIZES = [1, 127, 128, 255]
OK = [0x90, 0x00]
RESET_READER = [0x20, 0x10, 0x00, 0x00]  # answered by the driver itself
VENDOR_TAG = 0x7A000  # a vendor-defined attribute: the driver's vendor request
GET_CHALLENGE = [0x00, 0x84, 0x00, 0x00, 0x08]
VICC_APDUS = 300
# An APDU that took this long waited for a time-out: the URB watchdog's is 2.5 s, the link's block
# waiting time 5 s; the card on the vicc route answers one in some 35 ms.
WAITED_ON_A_TIMEOUT = 2.0
STOPS = int(os.environ.get("ZARQ7_PCSCD_STOPS", "8"))  # more for a longer look
STOP_SPAN = 8.0  # seconds after the start over which the stops are spread


def hex_text(data):
    return " ".join("%02X" % b for b in data)


# --- clients (pyscard, in a process of their own) ---

def client(case, *args):
    from smartcard import scard as s

    hr, context = s.SCardEstablishContext(s.SCARD_SCOPE_USER)
    hr, readers = s.SCardListReaders(context, [])

    def reader(part):
        return next(r for r in readers if part in r)

    def connect(name):
        hr, card, protocol = s.SCardConnect(context, name, s.SCARD_SHARE_SHARED,
                                            s.SCARD_PROTOCOL_T0 | s.SCARD_PROTOCOL_T1)
        assert hr == s.SCARD_S_SUCCESS, f"connect {name}: {s.SCardGetErrorMessage(hr)}"
        return card, protocol

    def transmit(card, protocol, apdu):
        hr, answer = s.SCardTransmit(card, protocol, apdu)
        assert hr == s.SCARD_S_SUCCESS, f"{hex_text(apdu[:5])}: {s.SCardGetErrorMessage(hr)}"
        return answer

    def wait_for(name, flag, limit):
        """Seconds until the reader's state has `flag`, waiting in SCardGetStatusChange."""
        start = time.monotonic()
        hr, states = s.SCardGetStatusChange(context, 0, [(name, s.SCARD_STATE_UNAWARE)])
        while not states[0][1] & flag:
            left = limit - (time.monotonic() - start)
            assert left > 0, f"{name}: state {states[0][1]:#x} without {flag:#x} after {limit} s"
            hr, new = s.SCardGetStatusChange(context, int(left * 1000),
                                             [(name, states[0][1] & ~s.SCARD_STATE_CHANGED)])
            if hr == s.SCARD_S_SUCCESS:
                states = new
        return time.monotonic() - start, hex_text(states[0][2])

    if case == "apdu_cases":
        for part in ("USBTESK0", "USBTESK1"):
            card, protocol = connect(reader(part))
            t = "T=1" if protocol == s.SCARD_PROTOCOL_T1 else "T=0"
            checks = [("case 1", [0x80, 0xF2, 0, 0], OK), ("case 1", [0x80, 0xF0, 0, 0], OK)]
            for n in SIZES + [256]:
                checks.append((f"case 2 Le={n}", [0x80, 0xF0, n >> 8, n & 0xFF, n & 0xFF],
                               [i & 0xFF for i in range(n)] + OK))
            for n in SIZES:
                data = list(range(n))
                checks.append((f"case 3 Lc={n}", [0x80, 0xF2, 0, 0, n] + data, OK))
                for le in ([n] + ([256] if n == 255 else [])):
                    checks.append((f"case 4 Lc={n} Le={le}",
                                   [0x80, 0xF2, 0, 0, n] + data + [le & 0xFF], OK))
            # The card checks every byte it gets: a pattern with one byte wrong is refused.
            checks.append(("case 3 Lc=128, byte 127 wrong",
                           [0x80, 0xF2, 0, 0, 128] + list(range(127)) + [0], [0x6A, 0x80]))
            for name, apdu, expected in checks:
                answer = transmit(card, protocol, apdu)
                assert answer == expected, f"{part} {t} {name}: {hex_text(answer[-8:])}"
            print(f"{part} {t}: answered byte for byte: " + ", ".join(name for name, _, _ in checks))
        # SCardControl and SCardGetAttrib reach the driver's raw reader command, its vendor
        # request and the handler's empty feature list.
        raw = s.SCARD_CTL_CODE(55)
        hr, answer = s.SCardControl(card, raw, RESET_READER)
        assert hr == s.SCARD_S_SUCCESS and answer == OK, f"raw reader command: {hr:#x} {answer}"
        hr, features = s.SCardControl(card, s.SCARD_CTL_CODE(3400), [])
        assert hr == s.SCARD_S_SUCCESS and features == [], f"features: {hr:#x} {features}"
        hr, vendor = s.SCardGetAttrib(card, VENDOR_TAG)
        text = bytes(vendor).rstrip(b"\0").decode(errors="replace")
        assert hr == s.SCARD_S_SUCCESS and text == "Vendor IOCTL", f"vendor: {hr:#x} {vendor}"
        print(f"SCardControl {raw:#x} {hex_text(RESET_READER)}: {hex_text(answer)}; "
              f"features: none; SCardGetAttrib {VENDOR_TAG:#x}: \"{text}\"")
    elif case == "card_events":
        tool, = args
        name = reader("USBTESK0")
        wait_for(name, s.SCARD_STATE_PRESENT, EVENT_LIMIT)
        for change, flag, atr in (("remove", s.SCARD_STATE_EMPTY, ""),
                                  ("insert t0", s.SCARD_STATE_PRESENT, T0_ATR),
                                  ("swap builtin", s.SCARD_STATE_PRESENT, BUILTIN_ATR)):
            subprocess.run([tool, change], check=True, timeout=30, stdout=subprocess.DEVNULL)
            seconds, seen_atr = wait_for(name, flag, EVENT_LIMIT)
            assert seen_atr == atr, f"after {change}: ATR {seen_atr}"
            print(f"{change}: seen by SCardGetStatusChange after {seconds:.3f} s {seen_atr}")
    elif case == "select":
        name = readers[0]
        seconds, atr = wait_for(name, s.SCARD_STATE_PRESENT, 60)
        card, protocol = connect(name)
        answer = transmit(card, protocol, SELECT_MF)
        print(f"{name}: card {atr}; SELECT MF answered {hex_text(answer)}")
        assert answer == OK
    elif case == "challenges":
        count, = args
        name = readers[0]
        wait_for(name, s.SCARD_STATE_PRESENT, 60)
        card, protocol = connect(name)
        slow = []
        for i in range(int(count)):
            start = time.monotonic()
            answer = transmit(card, protocol, GET_CHALLENGE)
            took = time.monotonic() - start
            assert len(answer) == 10 and answer[-2:] == OK, f"APDU {i}: {hex_text(answer)}"
            if took >= WAITED_ON_A_TIMEOUT:
                slow.append(f"APDU {i}: {took * 1000:.0f} ms")
        print(f"{count} GET CHALLENGE on {name}; waited on a time-out: {slow or 'none'}")
        assert not slow
    elif case == "unplug":
        tool, = args
        name = reader("USBTESK0")
        card, protocol = connect(name)
        assert transmit(card, protocol, SELECT_MF) == OK
        subprocess.run([tool, "unplug"], check=True, timeout=30, stdout=subprocess.DEVNULL)
        hr, answer = s.SCardTransmit(card, protocol, SELECT_MF)
        print(f"transmit after the unplug: {s.SCardGetErrorMessage(hr).strip()}")
        assert hr != s.SCARD_S_SUCCESS
        seconds, _ = wait_for(name, s.SCARD_STATE_UNKNOWN | s.SCARD_STATE_UNAVAILABLE,
                              EVENT_LIMIT)
        print(f"reader state unknown after {seconds:.3f} s")
        s.SCardDisconnect(card, s.SCARD_LEAVE_CARD)
        subprocess.run([tool, "plug"], check=True, timeout=30, stdout=subprocess.DEVNULL)
        seconds, atr = wait_for(name, s.SCARD_STATE_PRESENT, 15)
        card, protocol = connect(name)
        assert transmit(card, protocol, SELECT_MF) == OK
        print(f"plugged in again: card {atr} after {seconds:.3f} s, SELECT MF answered 90 00")


# --- the test: pcscd and the tools around the clients ---

def run(command, env, timeout=60):
    done = subprocess.run(command, env=env, timeout=timeout, capture_output=True, text=True)
    print(f"$ {' '.join(command[-3:]) if command[0].endswith('.py') else ' '.join(command)}")
    print(done.stdout + done.stderr, end="")
    assert done.returncode == 0, f"exit status {done.returncode}"
    return done.stdout


def client_command(case, *args):
    import pcscd_session
    return [pcscd_session.PYTHON, os.path.abspath(__file__), "client", case, *args]


def free_port():
    """A loopback port nobody listens on now (for the vicc emulator to connect to)."""
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def stops(root, handler, port):
    """pcscd stopped with one SIGINT to scripts/pcscd.sh at moments spread over its start-up
    (readers being opened, a vicc card connecting, a client's APDUs in flight) and after it: every
    stop ends pcscd within the limit, with status 0 and no crash."""
    import pcscd_session
    failures = []
    for i in range(STOPS):
        delay = STOP_SPAN * (i + 0.5) / STOPS
        folder = tempfile.mkdtemp(prefix="zarq7-stops-")
        log_path = os.path.join(folder, "log")
        with open(log_path, "w") as log:
            pcscd = subprocess.Popen(
                [os.path.join(root, "scripts", "pcscd.sh"), "--dir", folder,
                 "--reader", "builtin,rate=115200", "--reader", f"vicc,port={port},rate=115200"],
                stdout=log, stderr=subprocess.STDOUT, env=dict(os.environ, ZARQ7_IFD=handler))
        env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(folder, "pcscd.comm"))
        others = [subprocess.Popen([os.path.join(root, "scripts", "vicc.sh"), str(port)],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)]
        if i % 2:
            others.append(subprocess.Popen(
                [pcscd_session.PYTHON, os.path.abspath(__file__), "client", "challenges", "1000"],
                env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
        time.sleep(delay)
        pcscd.send_signal(signal.SIGINT)
        try:
            status = pcscd.wait(60)
        except subprocess.TimeoutExpired:
            status = "still running 60 s after the SIGINT"
            with open(os.path.join(folder, "pcscd.sh.pid")) as f:
                os.kill(int(f.read()), signal.SIGKILL)
            pcscd.kill()
            pcscd.wait(30)
        for other in others:
            other.terminate()
            other.wait(30)
        with open(log_path, errors="replace") as f:
            text = f.read()
        opened = "zarq7 ifd: USBTESK0 opened" in text
        shut_down = pcscd_session.MACHINE_SHUT_DOWN in text
        print(f"stop {i} at {delay:.1f} s: status {status}, a reader opened {opened}, "
              f"machine shut down {shut_down}")
        if status != 0 or (opened and not shut_down) or "Segmentation" in text:
            failures.append(f"stop {i} at {delay:.1f} s: status {status}\n{text}")
        subprocess.run(["rm", "-rf", folder])
    assert not failures, "\n".join(failures)


def main():
    if sys.argv[1] == "client":
        client(*sys.argv[2:])
        return 0
    case, root, handler, tool = sys.argv[1:5]
    skip = os.environ.get("ZARQ7_PCSCD_SKIP")
    sys.path.insert(0, os.path.join(root, "pcsc"))
    import pcscd_session
    skip = skip or pcscd_session.missing_packages()
    if case == "opensc" and not skip and not os.path.exists("/usr/bin/opensc-tool"):
        skip = "opensc-tool is not installed (Debian package opensc)"
    if case in ("vicc", "vicc_apdus", "stops") and not skip and not os.path.exists("/usr/bin/vicc"):
        skip = "vicc is not installed (Debian package vsmartcard-vpicc)"
    if case in ("vicc", "vicc_apdus", "stops") and not skip and not os.path.isdir(CRYPTODOME):
        skip = "vicc needs pycryptodome (Debian package python3-pycryptodome)"
    if skip:
        print(f"skipped: {skip}")
        return SKIP

    if case == "stops":
        stops(root, handler, free_port())
        print("passed")
        return 0
    readers = {"opensc": ["builtin"], "apdu_cases": ["builtin", "t0"],
               "card_events": ["builtin"], "unplug": ["builtin"],
               "vicc": [f"vicc,port={free_port()}"],
               "vicc_apdus": [f"vicc,port={free_port()},rate=115200"]}[case]
    pcscd = pcscd_session.PrivatePcscd(root, handler, readers)
    vicc = None
    try:
        pcscd.start()
        env = pcscd.env
        if case == "opensc":
            listed = run(["opensc-tool", "--list-readers"], env)
            assert "Zarq7 USBTESK0" in listed
            atr = run(["opensc-tool", "--atr"], env)
            assert "3b:93:11:80:31:fe:45:80:31:c0:f9" in atr
            selected = run(["opensc-tool", "--send-apdu", "00:A4:00:0C:02:3F:00"], env)
            assert "SW1=0x90, SW2=0x00" in selected
        elif case in ("vicc", "vicc_apdus"):
            port = readers[0].split("port=")[1].split(",")[0]
            vicc = subprocess.Popen([os.path.join(root, "scripts", "vicc.sh"), port],
                                    stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if case == "vicc":
                run(client_command("select"), env, timeout=90)
            else:
                run(client_command("challenges", str(VICC_APDUS)), env, timeout=200)
        else:
            run(client_command(case, tool), env, timeout=120)
    finally:
        if vicc:
            vicc.terminate()
            vicc.wait(30)
        clean = pcscd.stop()
        handler_lines = [l for l in pcscd.last_log.splitlines() if l.startswith("zarq7 ifd")]
        print("pcscd's log, the handler's lines:\n  " + "\n  ".join(handler_lines))
    assert clean, "the handler's machine did not shut down cleanly when pcscd stopped"
    print("passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
