"""The rig's cases. Each takes the Rig and raises CaseFailed with the reason;
what it returns is printed after its name."""

import json
import re
import time

from gimbal import Gimbal

FLASH = "/share/bin/quenlo-flash"
ENTER_REQUEST = bytes.fromhex("55aa00010000f0b3")


class CaseFailed(Exception):
    pass


def check(condition, message):
    if not condition:
        raise CaseFailed(message)


def guest(rig, command, timeout=60, expect=0):
    code, out = rig.vm.run(command, timeout)
    if expect is not None and code != expect:
        raise CaseFailed(f"`{command}` answered {code} (wanted {expect}):\n{out[-3000:]}")
    return out


def wait_guest(rig, command, what, timeout=30):
    """Repeats a guest command until it succeeds; every wait has an end."""
    deadline = time.monotonic() + timeout
    while True:
        code, out = rig.vm.run(command, timeout)
        if code == 0:
            return out
        if time.monotonic() > deadline:
            raise CaseFailed(f"{what}: not within {timeout} s ({out.strip()[-500:]})")
        time.sleep(0.1)


class Adapter:
    """An emulated FTDI adapter hot-plugged into the guest, with a simulated
    gimbal behind it."""

    def __init__(self, rig, serial, sim_args=(), settle=True, powered=True):
        self.rig, self.serial = rig, serial
        self.id = f"ftdi-{serial}"
        sock = rig.work / f"{self.id}.sock"
        rig.vm.qmp.add_adapter(self.id, sock, serial)
        self.gimbal = Gimbal(rig.build, rig.work, self.id, sock, sim_args, powered)
        self.path = self.settle() if settle else None

    def settle(self):
        link = f"/dev/serial/by-id/usb-*_{self.serial}-if00*"
        out = wait_guest(self.rig, f"p=$(readlink -f {link}) && case $p in /dev/tty*) echo $p;; *) false;; esac",
                         f"{self.serial}: by-id link")
        self.path = out.strip().splitlines()[-1]
        return self.path

    def unplug(self):
        self.rig.vm.qmp.remove_adapter(self.id)

    def close(self):
        self.gimbal.stop()


def flash(rig, port, baud=115200, firmware="/share/fw36.bin", extra="", wait=30):
    # Bounded in the guest too: a run that never ends would block the console.
    code, out = rig.vm.run(f"timeout -s INT 100 {FLASH} --port {port} --baud {baud} --wait {wait} {extra} "
                           f"{firmware} 2>&1", 120)
    return code, out


def first_open(rig, port):
    """A line never opened since it appeared comes up with the kernel's
    default attributes, echo on, and echoes whatever arrives during the
    kernel's own open, before any program can act (README, hardware notes).
    The first open is made with the gimbal off: it must end with "no version
    report" (exit 6) in its wait, and its close leaves echo off."""
    code, out = flash(rig, port, 115200, "/share/fw3.bin", wait=1)
    check(code == 6, f"first open of {port} with no gimbal: exit {code}, not 6:\n{out[-1500:]}")


def whole_upgrade(rig, port, gimbal, baud, firmware="fw36.bin"):
    code, out = flash(rig, port, baud, f"/share/{firmware}")
    gimbal.stop()
    check(code == 0, f"quenlo-flash answered {code}:\n{out[-2000:]}")
    same, detail = gimbal.recorded_equals(rig.share / firmware)
    check(same, f"the gimbal's recordings differ from the file: {detail}")
    return detail


def case_ftdi(rig, baud):
    a = Adapter(rig, f"UP{baud}", ["--baud", str(baud)], powered=False)
    try:
        first_open(rig, a.path)
        a.gimbal.power_on()
        detail = whole_upgrade(rig, a.path, a.gimbal, baud)
    finally:
        a.unplug()
        a.close()
    return f"{a.path} at {baud}: {detail}"


def uart_path(rig, kind):
    """ttyS of the 8250 behind the isa-serial (its I/O port 0x2f8) or the
    pci-serial device."""
    if kind == "isa":
        return "/dev/ttyS1"
    out = guest(rig, "for t in /sys/class/tty/ttyS*; do "
                     "case $(readlink -f $t/device) in *pci*) echo ${t##*/};; esac; done")
    names = out.split()
    check(names, "no ttyS behind the pci-serial device")
    return "/dev/" + names[0]


def case_uart(rig, kind):
    path = uart_path(rig, kind)
    g = Gimbal(rig.build, rig.work, f"uart-{kind}", rig.vm.uart_sockets[kind], ["--baud", "115200"], False)
    try:
        first_open(rig, path)
        g.power_on()
        detail = whole_upgrade(rig, path, g, 115200)
    finally:
        g.stop()
    return f"{path}: {detail}"


def case_opens(rig, count=20):
    """The gimbal announces every 5 ms, also while the port opens: no byte of
    it may come back. What the gimbal receives after each open must start
    with the enter request."""
    a = Adapter(rig, "OPENS", ["--announce-ms", "5", "--baud", "115200"], powered=False)
    try:
        first_open(rig, a.path)
        a.gimbal.power_on()
        for i in range(count):
            a.gimbal.reboot()
            wait_for(lambda: not a.gimbal.reboot_asked.is_set(), "bridge reopened the simulator", 10)
            a.gimbal.start_capture()
            code, out = flash(rig, a.path, 115200, "/share/fw3.bin")
            check(code == 0, f"open {i + 1}: quenlo-flash answered {code}:\n{out[-1500:]}")
            first = a.gimbal.captured()[:len(ENTER_REQUEST)]
            rig.measure.setdefault("first bytes after open", []).append(first.hex(" ") or "(none captured)")
            # An echo shows as other bytes first. Once in a long series the
            # bridge had captured nothing of a run that still upgraded
            # exactly; that says nothing about echo either way, so it is
            # shown above but does not fail the case.
            check(first in (ENTER_REQUEST, b""),
                  f"open {i + 1}: the gimbal first received {first.hex(' ')}, not the enter request")
    finally:
        a.unplug()
        a.close()
    same, detail = a.gimbal.recorded_equals(rig.share / "fw3.bin")
    check(same, f"last upgrade not exact: {detail}")
    firsts = rig.measure["first bytes after open"]
    clean = sum(1 for f in firsts if f == ENTER_REQUEST.hex(" "))
    return (f"{count} opens, each upgraded; no echo: the first bytes the gimbal got were the enter request "
            f"{clean} times" + (f", nothing captured {count - clean} times" if clean < count else ""))


def case_new_adapters(rig, runs=10):
    """A new adapter for every run, its gimbal announcing every 5 ms: each
    upgrade is the first open of a fresh ttyUSB. Half the gimbals announce
    from the moment the adapter is plugged in, half are powered once it has
    appeared (when the udev rule has made it raw and silent). Each must
    upgrade exactly; a gimbal that heard an echo first is sent the end of any
    frame and answered again (one warning line)."""
    counts = {"at plug": [0, 0, 0], "after plug": [0, 0, 0]}  # runs, echoed, recovered
    took = []
    for i in range(runs):
        when = "at plug" if i % 2 == 0 else "after plug"
        a = Adapter(rig, f"NEW{i}", ["--announce-ms", "5", "--baud", "115200"], powered=when == "at plug")
        try:
            a.gimbal.power_on()
            start = time.monotonic()
            code, out = flash(rig, a.path, 115200, "/share/fw3.bin")
            took.append(time.monotonic() - start)
            first = a.gimbal.captured()[:len(ENTER_REQUEST)]
        finally:
            a.unplug()
            a.close()
        check(code == 0, f"run {i + 1}: quenlo-flash answered {code}:\n{out[-1500:]}")
        same, detail = a.gimbal.recorded_equals(rig.share / "fw3.bin")
        check(same, f"run {i + 1}: not exact: {detail}")
        rig.measure.setdefault(f"new adapter, powered {when}: first bytes", []).append(first.hex(" ") or "(none)")
        c = counts[when]
        c[0] += 1
        c[1] += first not in (ENTER_REQUEST, b"")
        c[2] += "announced itself again before acknowledging" in out
    parts = [f"powered {when}: {c[0]} runs, the gimbal first heard an echo {c[1]} times, sent the end of a frame "
             f"and answered again {c[2]} times" for when, c in counts.items()]
    return f"each upgraded exactly; {'; '.join(parts)}; {min(took):.1f} to {max(took):.1f} s a run"


def wait_for(condition, what, timeout):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise CaseFailed(f"{what}: not within {timeout} s")
        time.sleep(0.02)


def case_list(rig):
    a = Adapter(rig, "LIST42")
    try:
        out = guest(rig, f"{FLASH} --list --json")
        ports = [json.loads(line) for line in out.splitlines() if line.startswith("{")]
        mine = [p for p in ports if p.get("path") == a.path]
        check(mine, f"{a.path} not listed:\n{out}")
        p = mine[0]
        check(p.get("usb") == "0403:6001", f"vendor:product {p.get('usb')}")
        check(p.get("serial") == "LIST42", f"serial {p.get('serial')}")
        check(p.get("driver") == "ftdi_sio", f"driver {p.get('driver')}")
        check(str(p.get("byId", "")).startswith("/dev/serial/by-id/usb-") and "LIST42" in p["byId"],
              f"by-id link {p.get('byId')}")
        check(p.get("state") == "free", f"state {p.get('state')}")
        uarts = [q["path"] for q in ports if q["path"].startswith("/dev/ttyS")]
        # ttyS0 is the console; the unused legacy ttyS2/3 have no hardware.
        wanted = {"/dev/ttyS1", uart_path(rig, "pci")}
        check(wanted <= set(uarts) and "/dev/ttyS2" not in uarts, f"wanted {sorted(wanted)}, listed {uarts}")
    finally:
        a.unplug()
        a.close()
    return f"{p['path']} {p['usb']} {p['serial']} {p['driver']} {p['byId']}; UARTs {','.join(uarts)}"


def case_holder_and_user(rig):
    """A port another quenlo-flash holds (its gimbal silent) and a user
    outside the dialout group are refused with the reason and the fix."""
    a = Adapter(rig, "HOLD", powered=False)
    try:
        guest(rig, f"{FLASH} --port {a.path} --wait 60 /share/fw3.bin > /tmp/holder.out 2>&1 & echo $! > /tmp/holder")
        listed = wait_guest(rig, f"{FLASH} --list --json | grep '\"path\":\"{a.path}\"' | grep '\"state\":\"busy\"'",
                            "--list shows the port busy")
        p = json.loads(listed.strip().splitlines()[-1])
        check(p.get("holderProgram") == "quenlo-flash", f"--list with a holder: {p}")
        code, out = flash(rig, a.path, extra="--json")
        guest(rig, "kill -INT $(cat /tmp/holder); wait $(cat /tmp/holder) 2>/dev/null; true")
        check(code == 4 and '"cause":"busy"' in out and '"holderProgram":"quenlo-flash"' in out,
              f"second holder: code {code}\n{out[-1500:]}")
        code, out = rig.vm.run(f"su -s /bin/sh rig -c 'LD_LIBRARY_PATH=/share/lib {FLASH} --port {a.path} "
                               f"--wait 5 /share/fw3.bin' 2>&1", 60)
        check(code == 4 and "dialout" in out, f"non-root user: code {code}\n{out[-1500:]}")
        user_line = [l for l in out.splitlines() if "dialout" in l][0]
    finally:
        a.unplug()
        a.close()
    return f"busy: held by quenlo-flash (PID {p.get('holderPid')}); user rig: {user_line.strip()}"


def case_low_latency(rig):
    a = Adapter(rig, "LATENCY", ["--baud", "115200"])
    try:
        before = latency_state(rig, a.path)
        code, out = flash(rig, a.path, 115200, "/share/fw3.bin", "--verbose")
        check(code == 0, f"quenlo-flash answered {code}:\n{out[-1500:]}")
        after = latency_state(rig, a.path)
        check(before == after, f"before the open {before}, after the exit {after}")
    finally:
        a.unplug()
        a.close()
    return f"before {before}, after {after}"


def case_modem_line_requests(rig):
    """Reading an FTDI adapter's modem lines is a USB control request
    (GET_MODEM_STATUS, request 05): a whole upgrade must not make one every
    10 ms. Counted with the kernel's USB monitor."""
    a = Adapter(rig, "LINES", ["--baud", "115200"])
    try:
        guest(rig, "cat /sys/kernel/debug/usb/usbmon/0u > /tmp/usbmon & echo $! > /tmp/mon")
        start = time.monotonic()
        code, out = flash(rig, a.path, 115200, "/share/fw36.bin")
        seconds = time.monotonic() - start
        check(code == 0, f"quenlo-flash answered {code}:\n{out[-1500:]}")
        count = int(guest(rig, "kill $(cat /tmp/mon); grep -c ' S Ci:.* s c0 05 ' /tmp/usbmon",
                          expect=None).strip().splitlines()[-1])
    finally:
        a.unplug()
        a.close()
    rig.measure["modem-status requests in one upgrade"] = f"{count} in {seconds:.1f} s"
    # The lines are read at the open and once a second at most.
    check(count <= seconds + 5, f"{count} modem-status requests in a {seconds:.1f} s upgrade")
    return f"{count} modem-status requests in a {seconds:.1f} s upgrade"


def latency_state(rig, path):
    name = path.rsplit("/", 1)[-1]
    out = guest(rig, f"/share/bin/rig_probe serial-flags {path}; cat /sys/class/tty/{name}/device/latency_timer")
    return " ".join(out.split())


def case_port_events(rig):
    guest(rig, "/share/bin/rig_probe port-events 60 > /tmp/events 2>&1 & echo $! > /tmp/probe")
    wait_guest(rig, "grep -q '^listed' /tmp/events", "the probe's first list")
    a = Adapter(rig, "EVENTS")
    try:
        wait_guest(rig, f"grep -q '^connected {a.path}$' /tmp/events", "connected announcement")
        a.unplug()
        wait_guest(rig, f"grep -q '^disconnected {a.path}$' /tmp/events", "disconnected announcement")
    finally:
        a.close()
        out = guest(rig, "kill $(cat /tmp/probe); cat /tmp/events", expect=None)
    return " | ".join(out.strip().splitlines())


def case_watch(rig, unplugs=10):
    """The bench: an adapter hot-added is upgraded; adapters pulled out
    mid-upgrade are logged "removed" within 1 s; three added at once are
    all upgraded."""
    # The bench's adapters come up as ttyUSB0 to ttyUSB2: each has had its
    # first open (with echo on, see first_open) before, as on a bench that
    # has run before.
    warm = [Adapter(rig, f"WARM{i}", powered=False) for i in range(3)]
    for w in warm:
        first_open(rig, w.path)
    for w in warm:
        w.unplug()
        w.close()
    guest(rig, f"rm -f /tmp/bench.jsonl; {FLASH} --watch --json --log /tmp/bench.jsonl /share/fw36.bin "
               "> /tmp/watch.out 2>&1 & echo $! > /tmp/watch")
    try:
        return watch_cases(rig, unplugs)
    finally:
        # A bench left running would take every adapter of the later cases.
        guest(rig, "w=$(cat /tmp/watch); kill -INT $w; for i in $(seq 50); do kill -0 $w 2>/dev/null || break; "
                   "sleep 0.1; done; kill -KILL $w 2>/dev/null; true", expect=None)


def watch_cases(rig, unplugs):
    wait_guest(rig, "grep -q watching /tmp/watch.out", "--watch started")
    a = Adapter(rig, "WATCH0", ["--baud", "230400"])
    wait_guest(rig, "grep -q '\"result\":\"upgraded\"' /tmp/bench.jsonl", "hot-added adapter upgraded", 60)
    a.unplug()
    a.close()
    same, detail = a.gimbal.recorded_equals(rig.share / "fw36.bin")
    check(same, f"hot-added upgrade not exact: {detail}")
    times = []
    for i in range(unplugs):
        times.append(unplug_mid_upgrade(rig, f"GONE{i}"))
    rig.measure["removal seconds"] = [round(t, 2) for t in times]
    check(max(times) <= 1.0, f"removal logged after {max(times):.2f} s (all: {times})")
    three = [Adapter(rig, f"THREE{i}", ["--baud", "230400"], settle=False) for i in range(3)]
    try:
        wait_guest(rig, "test $(grep -c '\"result\":\"upgraded\"' /tmp/bench.jsonl) -ge 4",
                   "three adapters added at once upgraded", 90)
    finally:
        for t in three:
            t.unplug()
            t.close()
    out = guest(rig, "dmesg | grep -E 'flowcontrol|USB disconnect|now disconnected'", expect=None)
    late = flow_control_after_removal(out)
    check(not late, "a flow-control request reached the driver after the device was gone:\n" + "\n".join(late))
    return (f"hot-added upgraded; {unplugs} removals logged after {min(times):.2f}-{max(times):.2f} s; "
            "three at once upgraded; no request to a removed adapter after its disconnect")


def flow_control_after_removal(dmesg):
    """ftdi_sio's "error from flowcontrol urb" lines outside a disconnect.
    Inside one it is the kernel's own hang-up lowering DTR and RTS (HUPCL
    is set while the port is open), before the tty goes away; after the
    disconnect it could only be a program's request to the gone device."""
    late, inside = [], False
    for line in dmesg.splitlines():
        if "USB disconnect" in line:
            inside = True
        elif "now disconnected" in line:
            inside = False
        elif "flowcontrol" in line and not inside:
            late.append(line)
    return late


def count_lines(rig, pattern, file):
    return int(guest(rig, f"grep -c '{pattern}' {file}", expect=None).strip().splitlines()[-1])


def unplug_mid_upgrade(rig, serial):
    """Pulls an adapter out once its upgrade is under way; answers the time
    until the bench logged it "removed". Earlier adapters had the same
    ttyUSB name, so only lines written after this one appeared count."""
    removed = count_lines(rig, '"result":"removed"', "/tmp/bench.jsonl")
    seen = count_lines(rig, "", "/tmp/watch.out")
    a = Adapter(rig, serial, ["--baud", "115200"], settle=False)
    try:
        a.settle()
        wait_guest(rig, f"tail -n +{seen + 1} /tmp/watch.out | grep progress | grep '\"port\":\"{a.path}\"' | "
                        "grep -q '\"percent\":[1-9]'", f"{serial}: upgrade under way", 30)
        start = time.monotonic()
        rig.vm.qmp.command("device_del", id=a.id)
        wait_guest(rig, f"test $(grep -c '\"result\":\"removed\"' /tmp/bench.jsonl) -gt {removed}",
                   f"{serial}: removal logged", 10)
        took = time.monotonic() - start
        rig.vm.qmp.wait_event("DEVICE_DELETED", a.id)
        rig.vm.qmp.command("chardev-remove", id=f"c-{a.id}")
    finally:
        a.close()
    return took


def case_trisk(rig):
    """Trisk's own serial path (its exclusive open, not Qt Serial Port's) on ttyUSB0: one whole update
    through its buttons, the gimbal in the three-axis dialect."""
    a = Adapter(rig, "TRISK", ["--dialect", "blocks", "--block-size", "1024", "--baud", "115200"])
    try:
        name = a.path.rsplit("/", 1)[-1]
        code, out = rig.vm.run(f"timeout -s INT 150 /share/bin/trisk_rig_driver {name} /share/fw9.bin 2>&1", 180)
        a.gimbal.stop()
        check(code == 0, f"Trisk answered {code}:\n{out[-2000:]}")
        same, detail = a.gimbal.recorded_equals(rig.share / "fw9.bin")
        check(same, f"the gimbal's recordings differ from the file: {detail}")
    finally:
        a.unplug()
        a.close()
    return f"{a.path}: SEND OK, {detail}"


def case_three_axis(rig):
    """quenlo-flash --three-axis on ttyUSB0: one whole update of 512-byte
    blocks, the size the gimbal announces."""
    a = Adapter(rig, "AXIS3", ["--dialect", "blocks", "--block-size", "512", "--baud", "115200"])
    try:
        code, out = flash(rig, a.path, 115200, "/share/fw40-512.bin", extra="--three-axis")
        a.gimbal.stop()
        check(code == 0 and "SEND OK" in out, f"quenlo-flash --three-axis answered {code}:\n{out[-2000:]}")
        same, detail = a.gimbal.recorded_equals(rig.share / "fw40-512.bin")
        check(same, f"the gimbal's recordings differ from the file: {detail}")
    finally:
        a.unplug()
        a.close()
    return f"{a.path}: SEND OK, {detail}"


def case_uaccess_and_record(rig):
    """The package's rule tags an FTDI adapter "uaccess" (logind's way to
    let the desktop user in without dialout), and a run's JSON summary names
    the adapter (vendor:product, serial, by-path socket) and the version the
    restarted gimbal announced."""
    a = Adapter(rig, "RECORD1", ["--restart-with-version", "124", "--restart-after-ms", "200"])
    try:
        tags = guest(rig, f"udevadm info -q property -n {a.path} | grep TAGS=", expect=None)
        check(":uaccess:" in tags, f"{a.path} is not tagged uaccess: {tags.strip()}")
        code, out = flash(rig, a.path, extra="--json --expect-version 1.24 --confirm-wait 20")
        summary = [json.loads(l.strip()) for l in out.splitlines() if l.strip().startswith('{"event":"summary"')]
        check(code == 0 and summary, f"quenlo-flash --expect-version answered {code}:\n{out[-2000:]}")
        adapter = summary[0]["adapter"] or {}
        check(adapter.get("usb") == "0403:6001" and adapter.get("serial") == "RECORD1"
              and (adapter.get("path") or "").startswith("/dev/serial/by-path/")
              and summary[0]["version_after"] == "1.24", f"the record says {summary[0]}")
    finally:
        a.unplug()
        a.close()
    return f"{a.path}: {tags.strip()}; adapter {adapter}, version_after 1.24"


CASES = [
    ("ftdi_sio whole upgrade at 115200", lambda rig: case_ftdi(rig, 115200)),
    ("ftdi_sio whole upgrade at 230400", lambda rig: case_ftdi(rig, 230400)),
    ("8250 isa-serial whole upgrade", lambda rig: case_uart(rig, "isa")),
    ("8250 pci-serial whole upgrade", lambda rig: case_uart(rig, "pci")),
    ("20 opens with announcements every 5 ms", case_opens),
    ("new adapter per run, announcements every 5 ms", case_new_adapters),
    ("--list names vendor:product, serial, driver, by-id", case_list),
    ("second holder and non-root user diagnosed", case_holder_and_user),
    ("low-latency flag and latency_timer put back", case_low_latency),
    ("modem lines without a USB request every 10 ms", case_modem_line_requests),
    ("port manager announcements from udev", case_port_events),
    ("--watch: hot-add, removals, three at once", case_watch),
    ("Trisk (its own port path) whole update", case_trisk),
    ("ftdi_sio whole three-axis update (--three-axis)", case_three_axis),
    ("udev rule tags adapters uaccess; the record names the adapter", case_uaccess_and_record),
]
