"""A simulated gimbal on the host: gimbal-sim on its pseudo-terminal, the
terminal bridged (raw) to the QEMU chardev socket behind a guest's serial
device, so that the guest's driver talks to the simulator as to a wire."""

import os
import select
import signal
import socket
import subprocess
import termios
import threading
import time
import tty
from pathlib import Path


class Gimbal:
    def __init__(self, build, work, name, socket_path, extra=(), powered=True):
        self.out = Path(work) / f"sim-{name}"
        self.out.mkdir(parents=True, exist_ok=True)
        self.log = open(self.out / "sim.log", "w")
        self.proc = subprocess.Popen([str(build / "sim/gimbal-sim"), "--out", str(self.out), *extra],
                                     stdout=subprocess.PIPE, stderr=self.log, text=True)
        self.pty_path = self.proc.stdout.readline().strip()
        if not self.pty_path.startswith("/"):
            raise RuntimeError(f"gimbal-sim printed no port: {self.pty_path!r}")
        self.socket_path = socket_path
        self.lock = threading.Lock()
        self.stopping = False
        self.dropped = 0
        self.capture = b""
        self.reboot_asked = threading.Event()
        # Off, the simulator has no client on its terminal and stays silent.
        self.powered = threading.Event()
        if powered:
            self.powered.set()
        self.thread = threading.Thread(target=self._pump, daemon=True)
        self.thread.start()

    def _open_pty(self):
        fd = os.open(self.pty_path, os.O_RDWR | os.O_NOCTTY | os.O_NONBLOCK)
        tty.setraw(fd, termios.TCSANOW)
        return fd

    def _connect(self):
        deadline = time.monotonic() + 30
        while True:
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            try:
                s.connect(str(self.socket_path))
                # A wire keeps nothing for a receiver that is not listening:
                # what the emulated adapter does not take is dropped, as a
                # real adapter's small buffer overflows.
                s.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 4096)
                s.setblocking(False)
                return s
            except OSError:
                s.close()
                if time.monotonic() > deadline or self.stopping:
                    raise
                time.sleep(0.05)

    def _pump(self):
        try:
            sock = self._connect()
        except OSError:
            return
        fd = -1
        try:
            while not self.stopping:
                if fd < 0 and self.powered.is_set():
                    fd = self._open_pty()
                if self.reboot_asked.is_set() and fd >= 0:
                    # The simulator takes a client that leaves and comes back
                    # for a gimbal that was unplugged: it boots and announces.
                    os.close(fd)
                    time.sleep(0.05)
                    fd = self._open_pty()
                    self.reboot_asked.clear()
                ready, _, _ = select.select([sock] + ([fd] if fd >= 0 else []), [], [], 0.05)
                if sock in ready:
                    try:
                        data = sock.recv(65536)
                    except BlockingIOError:
                        data = None
                    except OSError:  # the adapter was pulled out
                        data = b""
                    if data == b"":
                        break
                    if data and fd >= 0:
                        with self.lock:
                            self.capture += data
                        self._write_all(fd, data)
                if fd >= 0 and fd in ready:
                    try:
                        data = os.read(fd, 65536)
                    except BlockingIOError:
                        data = b""
                    except OSError:
                        break
                    if data:
                        try:
                            self.dropped += len(data) - sock.send(data)
                        except BlockingIOError:
                            self.dropped += len(data)
        finally:
            sock.close()
            if fd >= 0:
                os.close(fd)

    @staticmethod
    def _write_all(fd, data):
        while data:
            try:
                data = data[os.write(fd, data):]
            except BlockingIOError:
                select.select([], [fd], [], 1)

    def start_capture(self):
        with self.lock:
            self.capture = b""

    def captured(self):
        """What the guest sent since start_capture()."""
        with self.lock:
            return bytes(self.capture)

    def power_on(self):
        self.powered.set()

    def reboot(self):
        self.reboot_asked.set()

    def stop(self):
        """Ends the simulator (its recordings are written then)."""
        self.stopping = True
        self.thread.join(timeout=5)
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()

    def recorded_equals(self, firmware):
        """What the simulator recorded, MCU after MCU (image after image in
        the three-axis dialect), equals the file's pages."""
        data = Path(firmware).read_bytes()[8:]
        names = [f"mcu{m}.bin" for m in range(3)] + [f"image{m}.bin" for m in range(1, 4)]
        got = b"".join((self.out / n).read_bytes() for n in names if (self.out / n).exists())
        return got == data, f"recorded {len(got)} bytes, file has {len(data)}"
