#!/usr/bin/python3
"""The station's .exe with a HID evaluator, through Wine's own HID stack.

    hid_e2e.py WINE STATION_EXE OUTDIR

Wine's HID bus driver (winebus.sys) reads hidraw devices through udev. Under a
umockdev testbed it finds a faked evaluator (10C4:82CD, the evaluator's report
descriptor) whose node is a pseudo-terminal: this script plays the device on
the other end, reads the 3-byte output reports the station writes and answers
the key waits with 3-byte input reports [5, key, 0]. Everything Wine runs here
(its own prefix, its own server, its own X server) lives inside the one testbed,
and one station runs through all the cases:

  pass      keys 1 to 6 as asked                 prompt, level, six key exchanges
  wrong     key 5 when key 4 is asked            both markers bad, fail
  silent    no key for key 1                     the 5 s wait, then fail
  unplug    unplugged while key 3 is asked       display cleared, count kept
  adapter   a PL2303 adapter attached as well    HID tested; its unplug unnoticed

After each case the reports the device received and their timing, test.ini and
screenshots (in OUTDIR) are checked. Exits 77 when a tool is missing.
"""
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from station_e2e import (DEVTYPE, MARKERS, RESULT, Prefix, Station, bright, check,  # noqa: E402
                         coloured, differs, failures, wait_for, yellow)

HERE = os.path.dirname(os.path.abspath(__file__))
WINE64 = "/usr/lib/wine/wine64"
WINESERVER = "/usr/lib/wine/wineserver"
USB_ROOT = "/devices/pci0000:00/0000:00:14.0/usb1"
VENDOR, PRODUCT = 0x10C4, 0x82CD
LIMIT = 270  # seconds for the whole run (CTest gives 300)

PROMPT, LEVEL = bytes([1, 0, 255]), bytes([3, 5, 250])
KEY_EXCHANGE = [bytes([1, 1, 254]), bytes([2, 1, 254]), bytes([2, 0, 255]), bytes([4, 0, 255])]
CAPTURE_ON = KEY_EXCHANGE[1]


def descriptor():
    """The evaluator's report descriptor, from the header the C++ fakes share."""
    text = open(os.path.join(HERE, "..", "EvaluatorReportDescriptor.h")).read()
    body = text[text.index("descriptor[] = {") + 16:text.index("};")]
    return bytes(int(token, 16) for line in body.splitlines()
                 for token in line.split("//")[0].replace(",", " ").split())


class Evaluator(threading.Thread):
    """One faked HID evaluator, /dev/hidraw<number> on USB port <number> + 1:
    its sysfs records, its ioctl answers and the far end of its node. `keys`
    answers the key waits in turn (None: no answer)."""

    def __init__(self, bed, number, keys):
        super().__init__(daemon=True)
        self.bed, self.keys = bed, list(keys)
        self.node = "/dev/hidraw%d" % number
        port = number + 1
        self.usb = "%s/1-%d" % (USB_ROOT, port)
        interface = "%s/1-%d:1.0" % (self.usb, port)
        hid = "0003:%04X:%04X.%04X" % (VENDOR, PRODUCT, number + 1)
        rdesc = descriptor()
        # Parents first: the hid device (whose uevent Wine reads the identifiers
        # from), the USB interface and the USB device (its product string).
        bed.add_from_string(
            "P: %s/%s\nE: SUBSYSTEM=hid\nE: HID_ID=0003:%08X:%08X\nE: HID_NAME=Evaluator\n"
            "H: report_descriptor=%s\n\n"
            "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nA: bInterfaceNumber=00\n\n"
            "P: %s\nE: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nA: idVendor=%04x\nA: idProduct=%04x\n"
            "A: bcdDevice=0100\nA: product=Evaluator\nA: busnum=1\nA: devnum=%d\n" % (
                interface, hid, VENDOR, PRODUCT, rdesc.hex(), interface, self.usb, VENDOR,
                PRODUCT, port + 1))
        # The ioctls Wine asks: umockdev matches the request number with its
        # size, so the descriptor record is the kernel's whole 4100-byte struct.
        record = os.path.join(os.environ["UMOCKDEV_DIR"], "hidraw%d.ioctl" % number)
        size = len(rdesc).to_bytes(4, "little")
        with open(record, "w") as f:
            f.write("@DEV %s\nHIDIOCGRAWINFO 0 03000000%s\nHIDIOCGRDESCSIZE 0 %s\n"
                    "HIDIOCGRDESC 0 %s\n" % (
                        self.node, (VENDOR.to_bytes(2, "little") +
                                    PRODUCT.to_bytes(2, "little")).hex(), size.hex(),
                        (size + rdesc + bytes(4096 - len(rdesc))).hex()))
        bed.load_ioctl(self.node, record)
        # The node last: Wine takes the device up as soon as it sees it.
        self.hidraw = "/sys%s/%s/hidraw/hidraw%d" % (interface, hid, number)
        bed.add_from_string("P: %s/%s/hidraw/hidraw%d\nN: hidraw%d\nE: DEVNAME=%s\n"
                            "E: SUBSYSTEM=hidraw\nL: device=../../../%s\n" % (
                                interface, hid, number, number, self.node, hid))
        self.plugged = time.monotonic()
        self.fd = bed.get_dev_fd(self.node)
        self.reports = []  # (seconds since plugging in, 3 bytes), as received
        self.sent = []     # (seconds, key) of the key reports written back
        self.running = True
        self.start()

    def run(self):
        pending, waits = b"", 0
        while self.running:
            ready, _, _ = select.select([self.fd], [], [], 0.05)
            if not ready:
                continue
            try:
                chunk = os.read(self.fd, 256)
            except OSError:  # EIO: nobody holds the node open (yet, or any more)
                time.sleep(0.01)
                continue
            now = time.monotonic() - self.plugged
            pending += chunk
            while len(pending) >= 3:
                report, pending = pending[:3], pending[3:]
                self.reports.append((now, report))
                if report == CAPTURE_ON:
                    key = self.keys[waits] if waits < len(self.keys) else None
                    waits += 1
                    if key is not None:
                        # A pty is a byte stream: reports are kept apart in time,
                        # as two reports read as one kill Wine 8's device.
                        time.sleep(0.03)
                        os.write(self.fd, bytes([5, key, 0]))
                        self.sent.append((time.monotonic() - self.plugged, key))

    def received(self):
        return [r for _, r in self.reports]

    def times(self, report):
        return [t for t, r in self.reports if r == report]

    def waits(self):
        return len(self.times(CAPTURE_ON))

    def unplug(self):
        """The device leaves sysfs, with the "remove" event (umockdev sends
        none of its own). Its node does not hang up as a real one would: Wine's
        device process is a session leader that opens the node without
        O_NOCTTY, so the first pseudo-terminal it opens becomes its controlling
        terminal, and closing our end would kill it with SIGHUP. The far ends
        stay open until Wine has gone."""
        self.bed.uevent(self.hidraw, "remove")
        self.bed.remove_device("/sys" + self.usb)
        self.running = False
        self.join()


class Wine:
    """A prefix of its own (in the temporary directory: it takes some 700 MB)
    whose server runs inside the testbed."""

    def __init__(self):
        self.prefix = tempfile.mkdtemp(prefix="evaluator-hid-wine.")
        os.environ.update(WINEPREFIX=self.prefix, WINEDEBUG=os.environ.get("HID_E2E_DEBUG", "-all"))

    def boot(self, out):
        quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                     stderr=subprocess.DEVNULL)
        # No Mono or Gecko: the station needs neither, and they take long.
        subprocess.run([WINE64, "wineboot", "-i"], check=True, timeout=240,
                       env=dict(os.environ, WINEDLLOVERRIDES="mscoree,mshtml="), **quiet)
        # Wine 8's HID bus leaves its udev (hidraw) backend off while its SDL
        # one is enabled, libSDL2 or not; the value is read when the bus starts.
        subprocess.run([WINE64, "reg", "add", r"HKLM\System\CurrentControlSet\Services\winebus",
                        "/v", "Enable SDL", "/t", "REG_DWORD", "/d", "0", "/f"], check=True,
                       timeout=60, **quiet)
        subprocess.run(["bash", os.path.join(HERE, "..", "app", "win32", "prepare-prefix.sh")],
                       check=True, timeout=60, env=dict(os.environ, WINE=WINE64), **quiet)
        subprocess.run([WINESERVER, "-w"], check=True, timeout=60)
        # One server for the whole run, its services started away from the
        # test's output; the bus starts anew with the value above.
        subprocess.run([WINESERVER, "-p"], check=True, timeout=60, **quiet)
        with open(os.path.join(out, "wine.log"), "w") as log:  # what Wine's services say
            subprocess.run([WINE64, "wineboot"], check=True, timeout=60,
                           stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)

    def stop(self):
        """Ends every program of the prefix and removes it."""
        subprocess.run([WINESERVER, "-k"], stderr=subprocess.DEVNULL, timeout=30)
        subprocess.run([WINESERVER, "-w"], stderr=subprocess.DEVNULL, timeout=30)
        shutil.rmtree(self.prefix, ignore_errors=True)


def run(wine, wine_loader, exe, out, bed):
    began = time.time()
    wine.boot(out)
    print("prefix ready: %.1f s" % (time.time() - began), flush=True)
    work = os.path.join(wine.prefix, "drive_c", "station")
    os.makedirs(work)
    prefix = Prefix(WINE64, work)
    station_exe = os.path.join(work, "evaluator-station.exe")
    shutil.copy(exe, station_exe)
    station = Station(wine_loader, station_exe, out)
    if not check(station.origin is not None, "the station's window is on the screen"):
        station.close()
        return
    time.sleep(1)
    idle = station.screenshot("idle")
    marker = lambda k: (MARKERS[k - 1][0], MARKERS[k - 1][1], 46, 35)  # noqa: E731
    cleared_rects = [RESULT, DEVTYPE] + [marker(k) for k in range(1, 7)]

    def cleared():
        image = station.screenshot("probe")
        return bright(image, DEVTYPE) == 0 and all(differs(image, idle, r) < 4
                                                   for r in cleared_rects)

    def markers(shot, name, good, bad):
        for k in range(1, 7):
            green, red = coloured(shot, marker(k), "green"), coloured(shot, marker(k), "red")
            want = "good" if k in good else "bad" if k in bad else "none"
            got = "good" if green > 100 else "bad" if red > 100 else "none"
            check(got == want, "%s: marker %d is %s (%s)" % (name, k, want, got))

    def wire(device, name, keys_answered, cut=None):
        """The exact reports of one test, with the level's pause and the waits.
        A wait cut by the unplug may still send its capture off: Wine's bus
        keeps the node open until it has handled the removal, so that write
        races the removal and may reach the far end."""
        expect = [PROMPT, LEVEL] + KEY_EXCHANGE * keys_answered
        if cut is not None:
            expect += KEY_EXCHANGE[:cut]
        got = device.received()
        late = cut is not None and got == expect + KEY_EXCHANGE[cut:cut + 1]
        check(got == expect or late, "%s: the device received %s" % (
            name, " ".join("[%d,%d,%d]" % tuple(r) for r in got)))
        prompt, level = device.times(PROMPT), device.times(LEVEL)
        if prompt and level:
            gap = (level[0] - prompt[0]) * 1000
            check(1950 <= gap < 3000, "%s: the level %d ms after the prompt" % (name, gap))
        print("        %s: prompt %.0f ms after plugging in; reports at %s ms" % (
            name, prompt[0] * 1000 if prompt else -1,
            " ".join("%.0f" % ((t - (prompt or [0])[0]) * 1000) for t, _ in device.reports)),
            flush=True)

    def counts(name, total, passed):
        got = station.counters()
        check((got.get("total"), got.get("passed", 0)) == (total, passed),
              "%s: test.ini has Total=%d Passed=%d (%s)" % (name, total, passed, got))

    def result_shot(name, colour):
        return wait_for(lambda: (lambda s: s if coloured(s, RESULT, colour) > 2000 else None)(
            station.screenshot(name)), 20, 0.3)

    number = 0

    def plug(keys):
        nonlocal number
        device = Evaluator(bed, number, keys)
        number += 1
        return device

    def unplug_and_clear(device, name):
        device.unplug()
        pulled = time.monotonic()
        check(wait_for(cleared, 15, 0.2), "%s: the display clears once unplugged (%.1f s)" % (
            name, time.monotonic() - pulled))
        return time.monotonic() - pulled

    def tested(name, keys, exchanges, colour, good, bad, counted):
        """Plugs in an evaluator that answers the key waits with `keys`, waits
        for the result picture and checks it, the reports and test.ini."""
        print("--- " + name, flush=True)
        device = plug(keys)
        shot = result_shot(name, colour)
        if check(shot is not None, "%s: the %s picture is shown" % (name, colour)):
            markers(shot, name, good, bad)
        wait_for(lambda: len(device.reports) >= 2 + 4 * exchanges, 2)
        wire(device, name, exchanges)
        counts(name, *counted)
        return device, shot

    # name, keys answered, key exchanges, picture, good and bad markers, Total and Passed
    device, shot = tested("pass", [1, 2, 3, 4, 5, 6], 6, "green", range(1, 7), [], (1, 1))
    gaps = [(device.times(KEY_EXCHANGE[2])[i] - t) * 1000 for i, (t, _) in enumerate(device.sent)]
    check(gaps and max(gaps) < 1000, "pass: each key ends its wait (%s ms after it came)" % (
        " ".join("%.0f" % g for g in gaps)))
    hid_text = shot and shot.crop((DEVTYPE[0], DEVTYPE[1], DEVTYPE[0] + DEVTYPE[2],
                                   DEVTYPE[1] + DEVTYPE[3]))
    unplug_and_clear(device, "pass")
    device, _ = tested("wrong", [1, 2, 3, 5], 4, "red", [1, 2, 3], [4, 5], (2, 1))
    unplug_and_clear(device, "wrong")
    device, _ = tested("silent", [], 1, "red", [], [1], (3, 1))
    on, off = device.times(CAPTURE_ON), device.times(KEY_EXCHANGE[2])
    if check(on and off, "silent: the key capture is switched on and off"):
        gap = (off[0] - on[0]) * 1000
        check(4950 <= gap < 5800, "silent: capture off %d ms after capture on" % gap)
    unplug_and_clear(device, "silent")

    # unplug: taken away while key 3 is asked.
    print("--- unplug", flush=True)
    device = plug([1, 2, None])
    check(wait_for(lambda: device.waits() >= 3, 15), "unplug: the station asks key 3")
    time.sleep(0.3)
    asked = station.screenshot("unplug-key3-asked")
    markers(asked, "unplug (key 3 asked)", good=[1, 2], bad=[])
    check(yellow(asked, marker(3)) > 300, "unplug: the hint marker is on key 3 during its wait")
    # The pending read fails at the unplug: the wait does not run its 5 s.
    check(unplug_and_clear(device, "unplug") < 4, "unplug: the key wait ends with the unplug")
    wire(device, "unplug", 2, cut=2)
    counts("unplug", 4, 1)

    # adapter: a PL2303 adapter (no port behind it, so it never opens) is
    # attached, then the HID evaluator: the HID link is tested and shown; the
    # evaluator's unplug goes unnoticed while the adapter stays.
    prefix.plant("pl2303")
    time.sleep(1)
    check(station.counters().get("total") == 4, "adapter: the adapter alone starts no test")
    device, shot = tested("adapter", [1, 2, 3, 4, 5, 6], 6, "green", range(1, 7), [], (5, 2))
    same_kind = lambda image: hid_text and differs_crop(image, hid_text) < 4  # noqa: E731
    check(shot and same_kind(shot), "adapter: the link kind shown is the HID one")
    device.unplug()
    time.sleep(1.5)
    kept = station.screenshot("adapter-hid-unplugged")
    check(coloured(kept, RESULT, "green") > 2000 and same_kind(kept),
          "adapter: the HID evaluator's unplug is not noticed while the adapter stays")
    counts("adapter (HID unplugged)", 5, 2)
    prefix.unplant("pl2303")
    check(wait_for(cleared, 15, 0.2), "adapter: the display clears once the adapter goes")
    check(station.running(), "the station is still running")
    station.close()
    print("HID end to end: %.1f s" % (time.time() - began), flush=True)


def differs_crop(shot, crop):
    left, top, width, height = DEVTYPE
    mine = shot.crop((left, top, left + width, top + height))
    total = sum(abs(x - y) for p, q in zip(mine.getdata(), crop.getdata()) for x, y in zip(p, q))
    return total / (width * height * 3)


def missing_tool(wine):
    for tool in ("umockdev-wrapper", "Xvfb", "xwininfo", "import"):
        if not shutil.which(tool):
            return tool
    if not os.path.exists(wine):
        return "%s (the Wine for this width)" % wine
    try:
        import gi
        gi.require_version("UMockdev", "1.0")
    except (ImportError, ValueError):
        return "umockdev's Python binding (python3-gi, gir1.2-umockdev-1.0)"
    return None


def main():
    if len(sys.argv) != 4:
        print(__doc__)
        return 2
    loader, exe, out = sys.argv[1:]
    tool = missing_tool(loader)
    if tool:
        print("SKIP: no " + tool)
        return 77
    if "umockdev-preload" not in os.environ.get("LD_PRELOAD", ""):
        os.execvp("umockdev-wrapper", ["umockdev-wrapper", sys.executable] + sys.argv)
    # Whatever happens, Wine and the X server end with the script, within
    # CTest's time-out: a time-out or a SIGTERM runs the clean-up below.
    def give_up(signum, frame):
        raise TimeoutError("signal %d" % signum)
    signal.signal(signal.SIGALRM, give_up)
    signal.signal(signal.SIGTERM, give_up)
    signal.alarm(LIMIT)
    from gi.repository import UMockdev
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    bed = UMockdev.Testbed.new()
    os.environ["UMOCKDEV_DIR"] = bed.get_root_dir()  # for Wine, which starts from here
    read_end, write_end = os.pipe()
    xvfb = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-screen", "0", "1024x768x24",
                             "-nolisten", "tcp"], pass_fds=[write_end],
                            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)
    os.close(write_end)
    wine = Wine()
    try:
        os.environ["DISPLAY"] = ":" + os.read(read_end, 16).decode().strip()
        run(wine, loader, exe, out, bed)
    except TimeoutError as stopped:
        check(False, "the run ends within %d s (%s)" % (LIMIT, stopped))
    finally:
        signal.alarm(0)
        wine.stop()
        xvfb.terminate()
        xvfb.wait()
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
