#!/usr/bin/python3
"""Runs Noctra inside a small QEMU machine against the kernel's own drivers.

  vm_rig.py prepare BUILD_DIR          Debian kernel and initramfs, cached in BUILD_DIR/vm
  vm_rig.py run GROUP BUILD_DIR NOCTRA one boot running the guest cases of GROUP with that
                                       noctra binary, then judged
  vm_rig.py judge GROUP BUILD_DIR      judge the last boot of GROUP again

The machine: software emulation (TCG), the Debian kernel unpacked from its
package, a busybox initramfs that loads the modules and then runs
tests/vm/guest_GROUP.sh inside the host's root file system (shared read-only
over 9p), with a writable 9p share for the results. Every write to the
emulated parallel port and UART registers lands in QEMU's trace; the verdicts
come from that trace and from the files the guest wrote, never from Noctra's
own account of what it did.
"""
import lzma
import os
import re
import shutil
import struct
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import vm_checks  # noqa: E402

MODULES = ["vivid", "parport_pc", "ppdev", "9p", "9pnet_virtio", "virtio_pci",
           "xhci_pci", "usbcore"]
# Options the drivers are loaded with. vivid: one instance with a video
# capture node and a video output node (which a capture program cannot use);
# no crop, compose or scaler, so that a TV input keeps its broadcast size.
MODULE_OPTIONS = {"vivid": "n_devs=1 node_types=0x101 ccs_cap_mode=0"}


def log(text):
    print(text, flush=True)


def fail(text):
    print("vm rig: " + text, file=sys.stderr, flush=True)
    sys.exit(1)


# --- the kernel -------------------------------------------------------------

def kernel_package():
    """The package linux-image-amd64 points at, or None when apt cannot say."""
    try:
        out = subprocess.run(["apt-cache", "depends", "linux-image-amd64"], capture_output=True,
                             text=True, timeout=60).stdout
    except (OSError, subprocess.TimeoutExpired):
        return None
    m = re.search(r"Depends:\s*(linux-image-\S+)", out)
    return m.group(1) if m else None


def download_kernel(cache):
    package = kernel_package()
    debs = sorted(f for f in os.listdir(cache) if f.startswith("linux-image-") and f.endswith(".deb"))
    if package:
        wanted = [f for f in debs if f.startswith(package + "_")]
        if wanted:
            return os.path.join(cache, wanted[-1])
        for attempt in range(2):
            result = subprocess.run(["apt-get", "download", package], cwd=cache,
                                    capture_output=True, text=True)
            debs = sorted(f for f in os.listdir(cache) if f.startswith(package + "_") and f.endswith(".deb"))
            if debs:
                return os.path.join(cache, debs[-1])
            if attempt == 0:
                log("apt-get download failed (%s); running apt-get update" % result.stderr.strip()[-200:])
                subprocess.run(["apt-get", "update", "-qq"])
        log("cannot download %s" % package)
    if debs:
        log("using the cached %s" % debs[-1])
        return os.path.join(cache, debs[-1])
    fail("no kernel package: apt-cache/apt-get could not name or fetch the one "
         "linux-image-amd64 depends on, and none is cached in " + cache)


def unpack_kernel(cache):
    deb = download_kernel(cache)
    root = os.path.join(cache, "kernel")
    stamp = os.path.join(root, ".unpacked-from")
    if os.path.exists(stamp) and open(stamp).read() == os.path.basename(deb):
        return root
    shutil.rmtree(root, ignore_errors=True)
    subprocess.run(["dpkg-deb", "-x", deb, root], check=True)
    with open(stamp, "w") as f:
        f.write(os.path.basename(deb))
    return root


# --- modules ----------------------------------------------------------------

def module_bytes(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        data = lzma.decompress(data)
    elif path.endswith(".zst"):
        data = subprocess.run(["zstd", "-dc", path], capture_output=True, check=True).stdout
    return data


def module_depends(elf):
    """The depends= entry of a module's .modinfo section."""
    shoff, = struct.unpack_from("<Q", elf, 0x28)
    shentsize, shnum, shstrndx = struct.unpack_from("<HHH", elf, 0x3A)

    def section(i):
        base = shoff + i * shentsize
        name, = struct.unpack_from("<I", elf, base)
        offset, size = struct.unpack_from("<QQ", elf, base + 0x18)
        return name, offset, size

    _, str_off, _ = section(shstrndx)
    for i in range(shnum):
        name, offset, size = section(i)
        end = elf.index(b"\0", str_off + name)
        if elf[str_off + name:end] == b".modinfo":
            for entry in elf[offset:offset + size].split(b"\0"):
                if entry.startswith(b"depends="):
                    return [d for d in entry[8:].decode().split(",") if d]
            return []
    return []


def module_load_order(kernel_root):
    files = {}
    for dirpath, _, names in os.walk(os.path.join(kernel_root, "lib", "modules")):
        for n in names:
            m = re.match(r"(.+)\.ko(\.xz|\.zst)?$", n)
            if m:
                files[m.group(1).replace("-", "_")] = os.path.join(dirpath, n)
    order, seen, blobs = [], set(), {}

    def visit(name):
        if name in seen:
            return
        seen.add(name)
        if name not in files:
            return  # built into the kernel
        blobs[name] = module_bytes(files[name])
        for dep in module_depends(blobs[name]):
            visit(dep.replace("-", "_"))
        order.append(name)

    for m in MODULES:
        visit(m)
    return order, blobs


INIT = r"""#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
echo "rig: loading modules"
while read name options; do
  insmod /modules/$name.ko $options || echo "rig: insmod $name failed"
done < /modules/order
mkdir -p /newroot
mount -t 9p -o trans=virtio,version=9p2000.L,ro,msize=262144 hostroot /newroot || echo "rig: no host root"
mount -t proc proc /newroot/proc
mount -t sysfs sys /newroot/sys
mount -t devtmpfs dev /newroot/dev
# The guest's own writable place is /run; the host's /tmp stays visible, so
# a build folder there works too.
mount -t tmpfs run /newroot/run
mkdir -p /newroot/run/results
mount -t 9p -o trans=virtio,version=9p2000.L,msize=262144 results /newroot/run/results
echo "rig: running $RIG_SCRIPT"
chroot /newroot /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin HOME=/run TMPDIR=/run \
  RIG_SOURCE="$RIG_SOURCE" RIG_NOCTRA="$RIG_NOCTRA" RIG_OUT=/run/results \
  /bin/sh "$RIG_SCRIPT" > /newroot/run/results/guest.log 2>&1
echo "rig: guest script ended with $?"
umount /newroot/run/results
poweroff -f
"""


def build_initramfs(cache, kernel_root):
    order, blobs = module_load_order(kernel_root)
    image = os.path.join(cache, "initramfs.cpio")
    stamp = image + ".modules"
    listing = "\n".join("%s %s" % (m, MODULE_OPTIONS.get(m, "")) for m in order) + "\n"
    if os.path.exists(image) and os.path.exists(stamp) and open(stamp).read() == listing + INIT:
        return image
    tree = os.path.join(cache, "initramfs")
    shutil.rmtree(tree, ignore_errors=True)
    for d in ("bin", "proc", "sys", "dev", "modules", "tmp"):
        os.makedirs(os.path.join(tree, d))
    shutil.copy("/bin/busybox", os.path.join(tree, "bin", "busybox"))
    for name in order:
        with open(os.path.join(tree, "modules", name + ".ko"), "wb") as f:
            f.write(blobs[name])
    with open(os.path.join(tree, "modules", "order"), "w") as f:
        f.write(listing)
    with open(os.path.join(tree, "init"), "w") as f:
        f.write(INIT)
    os.chmod(os.path.join(tree, "init"), 0o755)
    names = subprocess.run(["find", "."], cwd=tree, capture_output=True, check=True).stdout
    with open(image, "wb") as out:
        subprocess.run(["cpio", "-o", "-H", "newc", "--quiet"], cwd=tree, input=names, stdout=out,
                       check=True)
    with open(stamp, "w") as f:
        f.write(listing + INIT)
    return image


def prepare(build_dir):
    cache = os.path.join(build_dir, "vm")
    os.makedirs(cache, exist_ok=True)
    if not shutil.which("qemu-system-x86_64"):
        fail("qemu-system-x86_64 is not installed (scripts/deps.sh --test installs qemu-system-x86)")
    if not os.path.exists("/bin/busybox"):
        fail("/bin/busybox is missing (package busybox-static)")
    if not shutil.which("cpio"):
        fail("cpio is not installed")
    start = time.monotonic()
    kernel_root = unpack_kernel(cache)
    vmlinuz = sorted(f for f in os.listdir(os.path.join(kernel_root, "boot")) if f.startswith("vmlinuz-"))
    if not vmlinuz:
        fail("the kernel package holds no vmlinuz")
    build_initramfs(cache, kernel_root)
    with open(os.path.join(cache, "vmlinuz.path"), "w") as f:
        f.write(os.path.join(kernel_root, "boot", vmlinuz[-1]))
    log("kernel and initramfs ready in %.1f s" % (time.monotonic() - start))


# --- one boot ---------------------------------------------------------------

def boot(group, build_dir, noctra, timeout_s):
    cache = os.path.join(build_dir, "vm")
    try:
        vmlinuz = open(os.path.join(cache, "vmlinuz.path")).read()
    except OSError:
        fail("no kernel prepared in %s (run: vm_rig.py prepare %s)" % (cache, build_dir))
    noctra = os.path.abspath(noctra)
    if not os.access(noctra, os.X_OK):
        fail("no noctra binary at " + noctra)
    run = os.path.join(cache, "run-" + group)
    shutil.rmtree(run, ignore_errors=True)
    os.makedirs(os.path.join(run, "results"))
    script = os.path.join(HERE, "guest_%s.sh" % group)
    append = " ".join([
        "console=ttyS1", "loglevel=4", "panic=-1",
        # The TSC of an emulated CPU runs at no steady rate: keep the guest's
        # clock (exposures, frame timeouts) on the emulated HPET.
        "clocksource=hpet",
        "RIG_SCRIPT=" + script, "RIG_SOURCE=" + HERE, "RIG_NOCTRA=" + noctra])
    command = [
        "qemu-system-x86_64", "-accel", "tcg", "-m", "768", "-smp", "1",
        "-nodefaults", "-no-reboot", "-display", "none", "-vga", "none",
        "-kernel", vmlinuz, "-initrd", os.path.join(cache, "initramfs.cpio"), "-append", append,
        # COM1 is the port under test; COM2 carries the console and, in its
        # scratch register, the guest's case markers.
        "-serial", "null", "-serial", "file:" + os.path.join(run, "console.log"),
        "-parallel", "null",
        "-fsdev", "local,id=hostroot,path=/,readonly=on,security_model=none",
        "-device", "virtio-9p-pci,fsdev=hostroot,mount_tag=hostroot",
        "-fsdev", "local,id=results,path=%s,security_model=none" % os.path.join(run, "results"),
        "-device", "virtio-9p-pci,fsdev=results,mount_tag=results",
        "-device", "qemu-xhci", "-chardev", "file,id=ftdi,path=" + os.path.join(run, "ftdi.out"),
        "-device", "usb-serial,chardev=ftdi",
        "-trace", "enable=parallel_ioport_write", "-trace", "enable=serial_write",
        "-trace", "file=" + os.path.join(run, "trace.log"),
    ]
    start = time.monotonic()
    try:
        proc = subprocess.run(command, capture_output=True, text=True, timeout=timeout_s)
    except FileNotFoundError:
        fail("qemu-system-x86_64 cannot be started (package qemu-system-x86)")
    except subprocess.TimeoutExpired:
        fail("the machine did not power off within %d s; console: %s" %
             (timeout_s, os.path.join(run, "console.log")))
    elapsed = time.monotonic() - start
    if proc.returncode != 0:
        fail("qemu-system-x86_64 failed (exit %d): %s" % (proc.returncode, proc.stderr.strip()[-600:]))
    if not os.path.exists(os.path.join(run, "results", "guest.log")):
        fail("the guest never ran its cases; console: %s" % os.path.join(run, "console.log"))
    log("boot and guest cases of '%s' took %.1f s" % (group, elapsed))
    return run


def main(argv):
    if len(argv) == 3 and argv[1] == "prepare":
        prepare(argv[2])
        return 0
    if len(argv) == 5 and argv[1] == "run":
        group, build_dir, noctra = argv[2], argv[3], argv[4]
        # Room for a machine whose processors other work keeps busy.
        run = boot(group, build_dir, noctra, timeout_s=240)
        return vm_checks.judge(group, run)
    if len(argv) == 4 and argv[1] == "judge":
        return vm_checks.judge(argv[2], os.path.join(argv[3], "vm", "run-" + argv[2]))
    print(__doc__, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv))
