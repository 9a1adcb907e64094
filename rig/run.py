"""Runs the rig's cases in one QEMU guest and reports each by name.
Usage: run.py CACHE BUILD [NAME-SUBSTRING...]"""

import hashlib
import os
import shutil
import subprocess
import sys
import tempfile
import time
import traceback
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import cases  # noqa: E402
import vm  # noqa: E402

REPO = Path(__file__).resolve().parent.parent
GUEST_PROGRAMS = ["upgrader/flash/quenlo-flash", "tests/rig/rig_probe", "tests/rig/trisk_rig_driver"]
# Trisk's window runs on Qt's offscreen platform in the guest.
QT_PLATFORM_PLUGIN = Path("/usr/lib/x86_64-linux-gnu/qt5/plugins/platforms/libqoffscreen.so")


class Rig:
    def __init__(self, cache, build, work):
        self.cache, self.build, self.work = cache, build, work
        self.share = work / "share"
        self.measure = {}
        self.vm = None


def fill_share(rig):
    """The programs with every library ldd names, and the firmware files."""
    (rig.share / "bin").mkdir(parents=True)
    (rig.share / "lib").mkdir()
    (rig.share / "plugins/platforms").mkdir(parents=True)
    shutil.copy2(QT_PLATFORM_PLUGIN, rig.share / "plugins/platforms")
    for binary in [rig.build / p for p in GUEST_PROGRAMS] + [QT_PLATFORM_PLUGIN]:
        if binary != QT_PLATFORM_PLUGIN:
            shutil.copy2(binary, rig.share / "bin")
        for host, _ in vm.libraries(binary):
            target = rig.share / "lib" / host.name
            if not target.exists():
                shutil.copy2(host.resolve(), target)
    make = rig.build / "sim/gimbal-make-image"
    subprocess.run([str(make), "--blocks", "12,12,12", str(rig.share / "fw36.bin")], check=True, capture_output=True)
    subprocess.run([str(make), "--blocks", "1,1,1", str(rig.share / "fw3.bin")], check=True, capture_output=True)
    subprocess.run([str(make), "--blocks", "3,2,4", str(rig.share / "fw9.bin")], check=True, capture_output=True)
    subprocess.run([str(make), "--blocks", "16,8,16", "--block-size", "512", str(rig.share / "fw40-512.bin")],
                   check=True, capture_output=True)
    for path in [rig.share, *rig.share.rglob("*")]:
        path.chmod(0o755)


def initramfs(rig):
    """Built once per content: the packages, the guest's init and the rule."""
    root = rig.cache / "root"
    rule = REPO / "upgrader/flash/60-gimbal-serial.rules"
    key = hashlib.sha256()
    for part in ((root / ".packages").read_bytes(), (vm.RIG / "guest/init").read_bytes(), rule.read_bytes(),
                 (vm.RIG / "vm.py").read_bytes()):
        key.update(part)
    folder = rig.cache / f"guest-{key.hexdigest()[:16]}"
    if not (folder / "initramfs.cpio").exists():
        shutil.rmtree(folder, ignore_errors=True)
        folder.mkdir()
        vm.build_initramfs(root, folder, rule)
    return folder / "vmlinux", folder / "initramfs.cpio"


def boot(rig, kernel):
    """Starts the guest (again, after one died: its console is kept aside)."""
    resends = 0
    if rig.vm:
        resends = rig.vm.resends
        rig.vm.stop()
        (rig.work / "console.log").rename(rig.work / f"console-{time.monotonic_ns()}.log")
    started = time.monotonic()
    rig.vm = vm.Machine(rig.work, *kernel, rig.share)
    rig.vm.resends = resends
    rig.vm.wait_ready()
    print(f"rig: guest up in {time.monotonic() - started:.1f} s ({rig.vm.accel})", flush=True)
    cases.guest(rig, "export LD_LIBRARY_PATH=/share/lib PATH=/share/bin:$PATH QT_PLUGIN_PATH=/share/plugins "
                     "QT_QPA_PLATFORM=offscreen")


def run_case(rig, case):
    try:
        return True, case(rig)
    except cases.CaseFailed as failure:
        return False, str(failure)
    except Exception:  # a broken case is a failed case, and the rest still run
        return False, traceback.format_exc()


def main():
    cache, build = Path(sys.argv[1]), Path(sys.argv[2]).resolve()
    wanted = sys.argv[3:]
    started = time.monotonic()
    work = Path(tempfile.mkdtemp(prefix="gimbal-rig-"))
    os.chmod(work, 0o755)
    rig = Rig(cache, build, work)
    results = []
    try:
        fill_share(rig)
        kernel = initramfs(rig)
        boot(rig, kernel)
        for name, case in cases.CASES:
            if wanted and not any(w in name for w in wanted):
                continue
            t0 = time.monotonic()
            ok, detail = run_case(rig, case)
            if not ok:
                # An emulated machine on a loaded host now and then misses a
                # deadline: a case gets a second try, on a new guest if the
                # last one died, and the first failure stays in the report.
                print(f"rig case RETRY: {name} ({time.monotonic() - t0:.1f} s): {detail}", flush=True)
                if rig.vm.proc.poll() is not None:
                    boot(rig, kernel)
                ok, detail = run_case(rig, case)
                detail = f"{detail} (second try)"
            results.append((name, ok))
            print(f"rig case {'PASS' if ok else 'FAIL'}: {name} ({time.monotonic() - t0:.1f} s): {detail}",
                  flush=True)
    except Exception:
        traceback.print_exc()
        results.append(("rig set-up", False))
    finally:
        if rig.vm:
            rig.vm.stop()
    if rig.vm and rig.vm.resends:
        print(f"rig: the guest's console garbled {rig.vm.resends} command(s), each sent again")
    for key, values in rig.measure.items():
        print(f"rig measured, {key}: {values}")
    failed = [name for name, ok in results if not ok]
    print(f"rig: {len(results) - len(failed)} of {len(results)} cases passed in {time.monotonic() - started:.0f} s"
          + (f"; failed: {', '.join(failed)}" if failed else ""))
    if failed:
        print(f"rig: guest console in {work}/console.log, simulators' logs in {work}/sim-*")
    else:
        shutil.rmtree(work, ignore_errors=True)
    return 1 if failed or not results else 0


if __name__ == "__main__":
    sys.exit(main())
