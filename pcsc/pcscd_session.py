"""Debian's pcscd with the zarq7 reader handler on a private socket, for tests and benchmarks.

    with PrivatePcscd(root, handler, readers=["builtin,rate=115200"]) as pcscd:
        subprocess.run(["opensc-tool", "--atr"], env=pcscd.env, timeout=30)

Runs scripts/pcscd.sh (pcscd in a mount namespace of its own, its socket in a scratch folder),
waits until pcscd lists every reader, and stops it with SIGINT, on which pcscd closes its readers
(the handler then shuts its machine down and says so in the log). Every wait is bounded.

Clients run as processes of their own with `env`: the PC/SC client library reads
PCSCLITE_CSOCK_NAME once per process, so one process cannot talk to two pcscd.
"""
import os
import shutil
import signal
import subprocess
import tempfile
import time

PYTHON = "/usr/bin/python3"  # Debian's, with pyscard; `python3` may be another one
VPCD_LIBRARY = "/usr/lib/pcsc/drivers/serial/libifdvpcd.so"
MACHINE_SHUT_DOWN = "zarq7 ifd: the machine shut down"

_LIST_READERS = """
from smartcard.scard import *
hr, context = SCardEstablishContext(SCARD_SCOPE_USER)
hr, readers = SCardListReaders(context, [])
print("\\n".join(readers if hr == SCARD_S_SUCCESS else []))
"""


def missing_packages():
    """Why pcscd cannot be run here, or None."""
    for tool, package in (("pcscd", "pcscd"), ("unshare", "util-linux")):
        if not shutil.which(tool) and not os.path.exists("/usr/sbin/" + tool):
            return f"{tool} is not installed (Debian package {package})"
    try:
        subprocess.run([PYTHON, "-c", "import smartcard"], check=True, timeout=30,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    except (OSError, subprocess.SubprocessError):
        return "pyscard is not installed for /usr/bin/python3 (Debian package python3-pyscard)"
    namespace = ["unshare", "--mount", "true"] if os.getuid() == 0 else \
        ["unshare", "--map-root-user", "--mount", "true"]
    if subprocess.run(namespace, stderr=subprocess.DEVNULL, timeout=30).returncode != 0:
        return "no mount namespace can be made here (unshare --mount failed)"
    return None


class PrivatePcscd:
    def __init__(self, root, handler, readers=(), vpcd_ports=(), start_timeout=90):
        self.root = root
        self.handler = handler
        self.readers = list(readers)
        self.vpcd_ports = list(vpcd_ports)
        self.start_timeout = start_timeout
        self.folder = None
        self.process = None
        self.env = None

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()

    @property
    def log_path(self):
        return os.path.join(self.folder, "pcscd.log")

    def log(self):
        with open(self.log_path, errors="replace") as f:
            return f.read()

    def start(self):
        self.folder = tempfile.mkdtemp(prefix="zarq7-pcscd-")
        command = [os.path.join(self.root, "scripts", "pcscd.sh"), "--dir", self.folder]
        for reader in self.readers:
            command += ["--reader", reader]
        for port in self.vpcd_ports:
            command += ["--vpcd", str(port)]
        with open(self.log_path, "w") as log:
            self.process = subprocess.Popen(command, stdout=log, stderr=subprocess.STDOUT,
                                            env=dict(os.environ, ZARQ7_IFD=self.handler))
        self.env = dict(os.environ, PCSCLITE_CSOCK_NAME=os.path.join(self.folder, "pcscd.comm"))
        wanted = len(self.readers) + len(self.vpcd_ports)
        deadline = time.monotonic() + self.start_timeout
        while len(self.reader_names()) < wanted:
            if self.process.poll() is not None or time.monotonic() > deadline:
                log = self.log()
                self.stop()
                raise RuntimeError(f"pcscd did not list {wanted} readers:\n{log}")
            time.sleep(0.2)

    def reader_names(self):
        if not os.path.exists(self.env["PCSCLITE_CSOCK_NAME"]):
            return []
        listed = subprocess.run([PYTHON, "-c", _LIST_READERS], env=self.env, timeout=30,
                                capture_output=True, text=True)
        return [name for name in listed.stdout.splitlines() if name]

    def stop(self, timeout=30):
        """Stops pcscd; True when it closed its readers and every machine shut down cleanly."""
        if not self.process:
            return False
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGINT)
            try:
                self.process.wait(timeout)
            except subprocess.TimeoutExpired:
                self._kill()
        self.process = None
        clean = MACHINE_SHUT_DOWN in self.log()
        self.last_log = self.log()
        shutil.rmtree(self.folder, ignore_errors=True)
        return clean

    def _kill(self):
        try:
            with open(os.path.join(self.folder, "pcscd.sh.pid")) as f:
                os.kill(int(f.read().strip()), signal.SIGKILL)
        except (OSError, ValueError):
            pass
        self.process.kill()
        self.process.wait(30)
