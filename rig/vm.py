"""The rig's virtual machine: its initramfs, QEMU, the console command loop
and the monitor (QMP) for hot-plugging USB-serial adapters."""

import hashlib
import json
import lzma
import os
import re
import shutil
import socket
import stat
import subprocess
import time
from pathlib import Path

RIG = Path(__file__).resolve().parent

# Modules the guest loads at start (their dependencies come first): the USB
# host controller and the FTDI driver, the USB monitor that counts the
# adapter's control requests, and the shared folder.
COMMAND_TRIES = 5  # sends of one console command before the rig gives up
WANTED_MODULES = ["xhci-pci", "ftdi_sio", "usbmon", "virtio_pci", "9pnet_virtio", "9p"]


class RigError(Exception):
    pass


def kernel_version(root):
    return sorted(p.name for p in (root / "lib/modules").iterdir())[-1]


def extract_vmlinux(vmlinuz, out):
    """The uncompressed ELF kernel inside the bzImage: QEMU boots it through
    its PVH entry, which saves the decompression that takes long under TCG."""
    data = vmlinuz.read_bytes()
    start = data.find(b"\xfd7zXZ\x00")
    if start < 0:
        raise RigError(f"{vmlinuz}: no xz stream in the kernel image")
    out.write_bytes(lzma.LZMADecompressor().decompress(data[start:]))


def module_index(root, version):
    index = {}
    for path in (root / "lib/modules" / version / "kernel").rglob("*.ko"):
        index[path.stem.replace("-", "_")] = path
    return index


def module_depends(path):
    m = re.search(rb"\x00depends=([^\x00]*)\x00", path.read_bytes())
    return [d.replace("-", "_") for d in m.group(1).decode().split(",") if d] if m else []


def module_order(root, version):
    index = module_index(root, version)
    order = []

    def visit(name):
        name = name.replace("-", "_")
        if name in order:
            return
        if name not in index:
            raise RigError(f"kernel module {name} is not in the kernel package")
        for dep in module_depends(index[name]):
            visit(dep)
        order.append(name)

    for name in WANTED_MODULES:
        visit(name)
    return [index[n] for n in order]


def libraries(binary, root=None, search_first=()):
    """Every library ldd names for `binary`, as (path on the host, path in
    the guest). `search_first` folders (inside the unpacked packages at
    `root`) win over the host's, and `root` is dropped from their paths."""
    env = dict(os.environ, LD_LIBRARY_PATH=":".join(str(p) for p in search_first))
    out = subprocess.run(["ldd", str(binary)], capture_output=True, text=True, env=env, check=True).stdout
    found = []
    for line in out.splitlines():
        m = re.search(r"(/\S+) \(0x", line)
        if not m:
            continue
        host = Path(m.group(1))
        guest = Path("/") / host.relative_to(root) if root and host.is_relative_to(root) else host
        found.append((host, guest))
    return found


class CpioWriter:
    """An uncompressed newc archive: the kernel unpacks it without a
    decompressor, which is quicker under TCG."""

    def __init__(self, path):
        self.out = open(path, "wb")
        self.ino = 1
        self.seen = set()

    def _entry(self, name, mode, data=b""):
        name = name.lstrip("/")
        if name in self.seen:
            return
        self.seen.add(name)
        head = "070701" + "".join(
            f"{v:08x}" for v in (self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0))
        self.ino += 1
        self.out.write(head.encode() + name.encode() + b"\0")
        self.out.write(b"\0" * ((4 - (110 + len(name) + 1) % 4) % 4))
        self.out.write(data)
        self.out.write(b"\0" * ((4 - len(data) % 4) % 4))

    def directory(self, name):
        parts = Path(name.lstrip("/")).parts
        for i in range(1, len(parts) + 1):
            self._entry("/".join(parts[:i]), stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o755):
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFREG | mode, data)

    def symlink(self, name, target):
        self.directory(str(Path(name).parent))
        self._entry(name, stat.S_IFLNK | 0o777, target.encode())

    def copy(self, host, guest, mode):
        """The file's contents (a link is followed) as a plain file."""
        self.file(str(guest), Path(host).read_bytes(), mode)

    def close(self):
        self._entry("TRAILER!!!", 0)
        self.out.close()


def build_initramfs(root, work, project_rule):
    """busybox as init and shell, udevd with Debian's rules, a generated
    hwdb and the project's rule, the drivers' modules, users for the
    permission case."""
    version = kernel_version(root)
    cpio = CpioWriter(work / "initramfs.cpio")
    cpio.copy(RIG / "guest/init", "/init", 0o755)
    cpio.copy(root / "bin/busybox", "/bin/busybox", 0o755)
    lib_dirs = [root / "lib/x86_64-linux-gnu", root / "usr/lib/x86_64-linux-gnu",
                root / "usr/lib/x86_64-linux-gnu/systemd", root / "lib/systemd"]
    # udevadm is udevd too, called by that name.
    cpio.copy(root / "bin/udevadm", "/bin/udevadm", 0o755)
    cpio.symlink("/lib/systemd/systemd-udevd", "/bin/udevadm")
    for host, inside in libraries(root / "bin/udevadm", root, lib_dirs):
        cpio.copy(host, inside, 0o755)
    for rules in sorted((root / "lib/udev/rules.d").glob("*.rules")):
        cpio.copy(rules, f"/lib/udev/rules.d/{rules.name}", 0o644)
    cpio.copy(project_rule, f"/lib/udev/rules.d/{Path(project_rule).name}", 0o644)
    # systemd-hwdb compiles the hwdb.d files of the root it is given: Debian's
    # USB ones, which name the adapters' vendors and models.
    hwdb_root = work / "hwdb-root"
    shutil.rmtree(hwdb_root, ignore_errors=True)
    (hwdb_root / "lib/udev/hwdb.d").mkdir(parents=True)
    for source in (root / "lib/udev/hwdb.d").glob("20-usb-*.hwdb"):
        shutil.copy(source, hwdb_root / "lib/udev/hwdb.d")
    subprocess.run([str(root / "bin/systemd-hwdb"), "update", "--root", str(hwdb_root), "--usr"],
                   check=True, capture_output=True,
                   env=dict(os.environ, LD_LIBRARY_PATH=":".join(map(str, lib_dirs))))
    cpio.copy(hwdb_root / "lib/udev/hwdb.bin", "/lib/udev/hwdb.bin", 0o644)
    modules = module_order(root, version)
    for ko in modules:
        cpio.copy(ko, f"/lib/modules/{ko.name}", 0o644)
    cpio.file("/etc/rig-modules", "\n".join(ko.name for ko in modules).encode() + b"\n", 0o644)
    cpio.file("/etc/passwd", b"root:x:0:0:root:/root:/bin/sh\nrig:x:1000:1000:rig:/tmp:/bin/sh\n"
              b"nobody:x:65534:65534:nobody:/nonexistent:/bin/sh\n", 0o644)
    cpio.file("/etc/group", b"root:x:0:\ndialout:x:20:\nrig:x:1000:\nnogroup:x:65534:\n", 0o644)
    cpio.close()
    vmlinux = work / "vmlinux"
    extract_vmlinux(root / "boot" / f"vmlinuz-{version}", vmlinux)
    return vmlinux, work / "initramfs.cpio"


def accelerator():
    """KVM only where a stock kernel runs under it: /dev/kvm from kvm_pvm
    hangs Debian's kernel early, so that one is not used."""
    if os.path.exists("/dev/kvm") and (os.path.isdir("/sys/module/kvm_intel") or os.path.isdir("/sys/module/kvm_amd")):
        return "kvm"
    return "tcg"


class Machine:
    """One QEMU guest. Its console (ttyS0) takes one shell command a line;
    ttyS1 (isa-serial) and a pci-serial UART are bridged to chardev sockets."""

    def __init__(self, work, vmlinux, initramfs, share):
        self.work = work
        self.qmp_path = work / "qmp.sock"
        self.console_log = open(work / "console.log", "wb")
        self.uart_sockets = {"isa": work / "isa.sock", "pci": work / "pci.sock"}
        cmd = ["qemu-system-x86_64", "-M", "pc", "-accel", accelerator(), "-m", "768", "-smp", "1",
               "-display", "none", "-no-reboot", "-monitor", "none",
               "-kernel", str(vmlinux), "-initrd", str(initramfs),
               "-append", "console=ttyS0 quiet loglevel=1 rdinit=/init panic=-1 no_timer_check 8250.nr_uarts=8",
               "-chardev", "stdio,id=con,signal=off", "-serial", "chardev:con",
               "-qmp", f"unix:{self.qmp_path},server=on,wait=off",
               "-fsdev", f"local,id=fs0,path={share},security_model=none",
               "-device", "virtio-9p-pci,fsdev=fs0,mount_tag=share",
               "-device", "qemu-xhci,id=xhci",
               "-nic", "none"]
        for name, path in self.uart_sockets.items():
            cmd += ["-chardev", f"socket,id={name},path={path},server=on,wait=off"]
        cmd += ["-device", "isa-serial,chardev=isa,index=1", "-device", "pci-serial,chardev=pci"]
        self.accel = accelerator()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, bufsize=0)
        os.set_blocking(self.proc.stdout.fileno(), False)
        self.pending = b""
        self.qmp = None
        self.resends = 0  # commands the guest's console garbled and got again

    def _read_until(self, pattern, deadline):
        regex = re.compile(pattern)
        while True:
            m = regex.search(self.pending)
            if m:
                text = self.pending[:m.end()]
                self.pending = self.pending[m.end():]
                return text, m
            if time.monotonic() > deadline:
                raise RigError(f"guest gave no {pattern!r} in time; last output: {self.pending[-2000:]!r}")
            if self.proc.poll() is not None:
                raise RigError(f"QEMU exited with {self.proc.returncode}; last output: {self.pending[-2000:]!r}")
            try:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
            except BlockingIOError:
                chunk = b""
            if chunk:
                self.console_log.write(chunk)
                self.console_log.flush()
                self.pending += chunk
            else:
                time.sleep(0.01)

    def wait_ready(self, timeout=120):
        self._read_until(rb"RIG-READY\r?\n", time.monotonic() + timeout)
        self.qmp = Qmp(self.qmp_path)

    def run(self, command, timeout=60):
        """Runs one shell line in the guest; answers (exit code, output)."""
        self._send(command)
        text, m = self._read_until(rb"RIG-DONE (\d+)\r?\n", time.monotonic() + timeout)
        output = text[:m.start()].decode(errors="replace").replace("\r\n", "\n")
        return int(m.group(1)), output

    def _send(self, command):
        """Hands one line to the guest's loop, again while a byte was lost on
        the way (the loop checks the line's MD5). A lost newline leaves the
        loop waiting for the rest: a bare newline then ends the broken line."""
        digest = hashlib.md5(command.encode()).hexdigest()
        answer = re.compile(rb"RIG-(?:TAKEN " + digest.encode() + rb"|RESEND)\r?\n")
        for _ in range(COMMAND_TRIES):
            self.proc.stdin.write(f"{digest} {command}\n".encode())
            try:
                _, m = self._read_until(answer, time.monotonic() + 10)
            except RigError:
                if self.proc.poll() is not None:
                    raise
                self.proc.stdin.write(b"\n")
                _, m = self._read_until(answer, time.monotonic() + 10)
            if m.group(0).startswith(b"RIG-TAKEN"):
                return
            self.resends += 1
        raise RigError(f"the guest's console garbled one command {COMMAND_TRIES} times: {command[:200]!r}")

    def stop(self):
        if self.qmp:
            try:
                self.qmp.command("quit")
            except (OSError, RigError):
                pass
        try:
            self.proc.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class Qmp:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.sock.connect(str(path))
        self.file = self.sock.makefile("rwb", buffering=0)
        self.events = []
        self._read()  # greeting
        self.command("qmp_capabilities")

    def _read(self, deadline=None):
        self.sock.settimeout(None if deadline is None else max(0.01, deadline - time.monotonic()))
        try:
            line = self.file.readline()
        except socket.timeout:
            return None
        if not line:
            raise RigError("QEMU's monitor closed")
        return json.loads(line)

    def command(self, name, **arguments):
        self.file.write(json.dumps({"execute": name, "arguments": arguments}).encode() + b"\n")
        while True:
            reply = self._read(time.monotonic() + 30)
            if reply is None:
                raise RigError(f"QMP {name}: no answer in 30 s")
            if "event" in reply:
                self.events.append(reply)
                continue
            if "error" in reply:
                raise RigError(f"QMP {name}: {reply['error']}")
            return reply.get("return")

    def wait_event(self, name, device_id, timeout=30):
        deadline = time.monotonic() + timeout
        while True:
            for e in self.events:
                if e["event"] == name and e.get("data", {}).get("device") == device_id:
                    self.events.remove(e)
                    return e
            reply = self._read(deadline)
            if reply is None:
                raise RigError(f"no {name} for {device_id} in {timeout} s")
            if "event" in reply:
                self.events.append(reply)

    def add_adapter(self, device_id, socket_path, serial):
        """Plugs an emulated FTDI adapter whose line is the chardev socket."""
        self.command("chardev-add", id=f"c-{device_id}", backend={
            "type": "socket", "data": {"addr": {"type": "unix", "data": {"path": str(socket_path)}},
                                       "server": True, "wait": False}})
        self.command("device_add", driver="usb-serial", id=device_id, chardev=f"c-{device_id}",
                     bus="xhci.0", serial=serial)

    def remove_adapter(self, device_id):
        self.command("device_del", id=device_id)
        self.wait_event("DEVICE_DELETED", device_id)
        self.command("chardev-remove", id=f"c-{device_id}")
