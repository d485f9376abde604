#!/usr/bin/python3
"""The station's .exe end to end under Wine, with nothing simulated inside it.

    station_e2e.py WINE STATION_EXE SCRIPTED_EVALUATOR OUTDIR [BOX_TEXT_EXE]

The Wine prefix ($WINEPREFIX, prepared for windows) gets planted USB device
nodes: a PL2303 adapter (its USB node with PortName COM12) or an FTDI adapter
(the USB node, and the FTDIBUS node with PortName COM13). The COM port is linked
to one end of a socat pseudo-terminal pair; on the other end the scripted
evaluator (a Linux program) answers the station's frames as a device does and
records every byte it gets. One station runs through all the cases:

  pl2303-pass   a pass over the PL2303 adapter      C1E CaE C2E x6
  ftdi-pass     a pass over the FTDI adapter        C1E CaE C2E x6
  wrong-key     key 5 reported when key 4 is asked  C1E CaE C2E x4
  silent        a unit that answers nothing         C1E CaE C2E C3E, 5 s apart
  unplug        unplugged while key 3 is asked      C1E CaE C2E x3, display cleared
  refused       test.ini cannot be written          nothing; the error box names it

After the first case a second copy is started in the same folder: it must end
at once with no window of its own, the first station's window brought to the
front (over a window that had it), and the next case must see every frame once.
At the end a copy in another folder runs beside the first: both count.

The station runs from a folder named "站点 测试" (outside Wine's ANSI code
page); BOX_TEXT_EXE reads the error box (without it the last case is left out).

After each case test.ini must hold the counts so far, and screenshots of the
whole screen and of the window land in OUTDIR. Needs an X display: without
DISPLAY the script runs itself under xvfb-run.
"""
import os
import re
import shutil
import subprocess
import sys
import time

from PIL import Image

TITLE = "Evaluator Test Station"
FOLDER = "\u7ad9\u70b9 \u6d4b\u8bd5"  # "站点 测试"
CLIENT = (690, 643)
PORTS_CLASS = "{4d36e978-e325-11ce-bfc1-08002be10318}"
USB_CLASS = "{36fc9e60-c465-11cf-8056-444553540000}"
ENUM = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum"

# The device nodes Windows makes for the two adapters (the ones the station
# reads: the hardware IDs, and PortName in the node's hardware key).
ADAPTERS = {
    "pl2303": {
        "port": "COM12",
        "nodes": [(r"USB\VID_067B&PID_2303\5&1234&0&1", USB_CLASS,
                   ["USB\\VID_067B&PID_2303&REV_0300", "USB\\VID_067B&PID_2303"], True)],
        "remove": [r"USB\VID_067B&PID_2303"],
    },
    "ftdi": {
        "port": "COM13",
        "nodes": [(r"USB\VID_0403&PID_6001\A600ABCD", USB_CLASS,
                   ["USB\\VID_0403&PID_6001&REV_0600", "USB\\VID_0403&PID_6001"], False),
                  (r"FTDIBUS\VID_0403+PID_6001+A600ABCDA\0000", PORTS_CLASS,
                   ["FTDIBUS\\COMPORT&VID_0403&PID_6001"], True)],
        "remove": [r"USB\VID_0403&PID_6001", r"FTDIBUS\VID_0403+PID_6001+A600ABCDA"],
    },
}

# Rectangles of the client area (left, top, width, height).
RESULT = (224, 40, 200, 200)   # the large tick or cross
DEVTYPE = (24, 541, 97, 42)    # the link kind's text
MARKERS = [(273, 511), (327, 490), (379, 469), (429, 449), (478, 430), (526, 412)]

failures = []


def check(ok, what):
    print(("ok      " if ok else "FAILED  ") + what, flush=True)
    if not ok:
        failures.append(what)
    return ok


class Prefix:
    def __init__(self, wine, work):
        self.wine = wine
        self.root = os.environ["WINEPREFIX"]
        self.work = work  # a directory inside drive_c
        self.windows_work = "C:\\" + os.path.relpath(work, os.path.join(self.root, "drive_c"))

    def regedit(self, name, text):
        path = os.path.join(self.work, name)
        with open(path, "wb") as f:
            f.write(("Windows Registry Editor Version 5.00\r\n\r\n" + text).encode("utf-16"))
        subprocess.run([self.wine, "regedit", "/S", self.windows_work + "\\" + name],
                       stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, check=True)

    def plant(self, kind):
        adapter = ADAPTERS[kind]
        text = ""
        for key, guid, ids, has_port in adapter["nodes"]:
            multi = "".join(i + "\0" for i in ids) + "\0"
            hexed = ",".join("%02x" % b for b in multi.encode("utf-16-le"))
            text += '[%s\\%s]\r\n"HardwareID"=hex(7):%s\r\n"ClassGUID"="%s"\r\n\r\n' % (
                ENUM, key, hexed, guid)
            if has_port:
                text += '[%s\\%s\\Device Parameters]\r\n"PortName"="%s"\r\n\r\n' % (
                    ENUM, key, adapter["port"])
        self.regedit("plant.reg", text)

    def unplant(self, kind):
        text = "".join("[-%s\\%s]\r\n\r\n" % (ENUM, key) for key in ADAPTERS[kind]["remove"])
        self.regedit("unplant.reg", text)


class Line:
    """A socat pseudo-terminal pair: one end the prefix's COM port, the other the evaluator's."""

    def __init__(self, prefix, port, out):
        self.dir = os.path.join(out, "line-" + port.lower())
        shutil.rmtree(self.dir, ignore_errors=True)
        os.makedirs(self.dir)
        station, far = os.path.join(self.dir, "station"), os.path.join(self.dir, "far")
        self.socat = subprocess.Popen(
            ["socat", "pty,raw,echo=0,link=" + station, "pty,raw,echo=0,link=" + far],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        deadline = time.time() + 5
        while not (os.path.exists(station) and os.path.exists(far)) and time.time() < deadline:
            time.sleep(0.05)
        self.far = far
        self.dosdevice = os.path.join(prefix.root, "dosdevices", port.lower())
        if os.path.lexists(self.dosdevice):
            os.remove(self.dosdevice)
        os.symlink(station, self.dosdevice)

    def close(self):
        if self.socat.poll() is None:
            self.socat.terminate()
        self.socat.wait()
        if os.path.lexists(self.dosdevice):
            os.remove(self.dosdevice)


class Evaluator:
    def __init__(self, program, line, wire, args):
        self.wire = wire
        if os.path.exists(wire):
            os.remove(wire)
        self.log = open(wire + ".out", "w+")
        self.proc = subprocess.Popen([program, line.far, wire] + args, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)

    def said(self, text):
        self.log.flush()
        with open(self.log.name) as f:
            return text in f.read()

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        self.log.close()

    def received(self):
        with open(self.wire, "rb") as f:
            return f.read()


class Station:
    def __init__(self, wine, exe, out, log="station.log"):
        self.out = out
        self.exe = exe
        self.dir = os.path.dirname(exe)
        self.log = open(os.path.join(out, log), "w")
        self.proc = subprocess.Popen([wine, exe], cwd=self.dir, stdin=subprocess.DEVNULL,
                                     stdout=self.log, stderr=subprocess.STDOUT)
        self.origin = None
        deadline = time.time() + 30
        while self.origin is None and time.time() < deadline and self.proc.poll() is None:
            self.origin = self.find_client()
            time.sleep(0.2)

    def find_client(self):
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True,
                              text=True).stdout
        found = [line.split()[0] for line in tree.splitlines() if '"%s"' % TITLE in line]
        if not found:
            return None
        # Wine makes the X window unmapped, at 0,0, before the station places and shows it.
        info = subprocess.run(["xwininfo", "-id", found[0]], capture_output=True, text=True).stdout
        v = dict(re.findall(r"(Absolute upper-left [XY]|Width|Height|Map State): +(\S+)", info))
        if v.get("Map State") != "IsViewable":
            return None
        border = (int(v["Width"]) - CLIENT[0]) // 2
        caption = int(v["Height"]) - CLIENT[1] - 2 * border
        if border < 0 or caption < 0:
            return None
        x, y = int(v["Absolute upper-left X"]), int(v["Absolute upper-left Y"])
        return x + border, y + border + caption

    def running(self):
        return self.proc.poll() is None

    def counters(self):
        try:
            with open(os.path.join(self.dir, "test.ini"), encoding="latin-1") as f:
                lines = [l.strip() for l in f.read().splitlines()]
        except FileNotFoundError:
            return {}
        values = {}
        for l in lines:
            if "=" in l:
                k, v = l.split("=", 1)
                values[k.lower()] = int(v) if v.lstrip("-").isdigit() else v
        return values

    def screenshot(self, name):
        full = os.path.join(self.out, name + "-screen.png")
        subprocess.run(["import", "-window", "root", full], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        image = Image.open(full).convert("RGB")
        x, y = self.origin
        client = image.crop((x, y, x + CLIENT[0], y + CLIENT[1]))
        client.save(os.path.join(self.out, name + ".png"))
        return client

    def close(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        self.log.close()


def coloured(image, rect, colour):
    """Pixels of the rectangle that are clearly green or clearly red."""
    left, top, width, height = rect
    count = 0
    for r, g, b in image.crop((left, top, left + width, top + height)).getdata():
        if colour == "green" and g > 120 and g > r + 50 and g > b + 50:
            count += 1
        elif colour == "red" and r > 120 and r > g + 60 and r > b + 60:
            count += 1
    return count


def yellow(image, rect):
    left, top, width, height = rect
    return sum(1 for r, g, b in image.crop((left, top, left + width, top + height)).getdata()
               if r > 150 and g > 150 and b < 100)


def bright(image, rect):
    left, top, width, height = rect
    return sum(1 for p in image.crop((left, top, left + width, top + height)).getdata()
               if min(p) > 200)


def differs(a, b, rect):
    """Mean difference of the rectangle in two pictures, per channel."""
    left, top, width, height = rect
    box = (left, top, left + width, top + height)
    pa, pb = a.crop(box).getdata(), b.crop(box).getdata()
    total = sum(abs(x - y) for p, q in zip(pa, pb) for x, y in zip(p, q))
    return total / (width * height * 3)


def wait_for(condition, seconds, step=0.1):
    deadline = time.time() + seconds
    while time.time() < deadline:
        value = condition()
        if value:
            return value
        time.sleep(step)
    return condition()


def frames(*names):
    return "".join(names).encode()


def station_windows():
    tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True).stdout
    return sum(1 for line in tree.splitlines() if '"%s"' % TITLE in line)


def refused_write(prefix, station, program, out, box_text):
    """A test.ini that cannot be written: the connection's count is refused, the
    error box names the file's true path and is owned by the station's window,
    and no test runs."""
    print("--- refused (pl2303, a test.ini that cannot be written)", flush=True)
    ini = os.path.join(station.dir, "test.ini")
    # Wine run as root writes a read-only file: an immutable one refuses even root.
    immutable = subprocess.run(["chattr", "+i", ini], stdout=subprocess.DEVNULL,
                               stderr=subprocess.DEVNULL).returncode == 0
    if not immutable:
        os.remove(ini)
        os.mkdir(ini)
    line = Line(prefix, ADAPTERS["pl2303"]["port"], out)
    evaluator = Evaluator(program, line, os.path.join(out, "refused.wire"), [])
    time.sleep(0.2)
    prefix.plant("pl2303")
    if check(wait_for(lambda: station_windows() >= 2, 10), "refused: the error box opens"):
        time.sleep(0.3)
        station.screenshot("refused-box")
        facts = facts_of(prefix, box_text)
        path = prefix.windows_work + "\\" + FOLDER + "\\test.ini"
        check(facts.get("text") == "Unable to write to " + path,
              "refused: the box says %r (expected %r)" % (facts.get("text"),
                                                         "Unable to write to " + path))
        # (Wine's message box leaves MB_TOPMOST aside: it cannot be checked here.)
        check(facts.get("owner") == TITLE,
              "refused: the box is owned by the station's window (%s)" % facts)
        subprocess.run(["xdotool", "key", "Return"])
        check(wait_for(lambda: station_windows() == 1, 5), "refused: Return closes the box")
    prefix.unplant("pl2303")
    time.sleep(0.5)
    evaluator.stop()
    line.close()
    check(evaluator.received() == b"", "refused: no test ran (the evaluator received %r)"
          % evaluator.received())
    if immutable:
        subprocess.run(["chattr", "-i", ini])
        check(station.counters().get("total") == 5, "refused: test.ini kept Total=5")
    else:
        os.rmdir(ini)


def facts_of(prefix, box_text):
    said = subprocess.run([prefix.wine, box_text, TITLE], capture_output=True,
                          stdin=subprocess.DEVNULL).stdout.decode("utf-8", "replace")
    return dict(l.split("=", 1) for l in said.splitlines() if "=" in l)


def second_copy(prefix, station, box_text):
    """The same .exe started again in the station's folder, while another
    window is in front: it hands over to the running station and ends."""
    print("--- second copy (the same folder)", flush=True)
    front = subprocess.Popen([prefix.wine, "notepad"], stdin=subprocess.DEVNULL)
    check(wait_for(lambda: facts_of(prefix, box_text).get("foreground", TITLE) != TITLE, 10),
          "second copy: another window is in front before it starts")
    started = time.time()
    copy = subprocess.Popen([prefix.wine, station.exe], cwd=station.dir, stdin=subprocess.DEVNULL)
    ended, took, windows = wait_for(lambda: copy.poll() is not None, 5), time.time() - started, \
        station_windows()
    copy.kill()
    check(ended and took < 2.0 and copy.wait() == 0 and windows == 1,
          "second copy: ended %.2f s after its start, no window of its own" % took)
    check(facts_of(prefix, box_text).get("foreground") == TITLE,
          "second copy: the running station's window is in front")
    front.terminate()
    front.wait()


def other_folder(prefix, station, wine, exe, program, out):
    """A copy in another folder is a station of its own: both count the unit."""
    print("--- a copy in another folder, beside the first", flush=True)
    folder = os.path.join(prefix.work, "second station")
    os.makedirs(folder)
    shutil.copy(exe, folder)
    before = station.counters().get("total", 0)
    other = Station(wine, os.path.join(folder, os.path.basename(exe)), out, "station2.log")
    line = Line(prefix, ADAPTERS["pl2303"]["port"], out)
    evaluator = Evaluator(program, line, os.path.join(out, "other-folder.wire"), [])
    prefix.plant("pl2303")
    check(wait_for(lambda: station.counters().get("total", 0) > before
                   and other.counters().get("total") == 1, 10),
          "other folder: both stations count (%s, %s)" % (station.counters(), other.counters()))
    prefix.unplant("pl2303")
    other.close()
    evaluator.stop()
    line.close()


def run(wine, exe, program, out, box_text=None):
    work = os.path.join(os.environ["WINEPREFIX"], "drive_c", "e2e-" + os.path.basename(out))
    shutil.rmtree(work, ignore_errors=True)
    os.makedirs(work)
    prefix = Prefix(wine, work)
    # The operator's folder, named outside Wine's ANSI code page (1252).
    folder = os.path.join(work, FOLDER)
    os.makedirs(folder)
    station_exe = os.path.join(folder, "evaluator-station.exe")
    shutil.copy(exe, station_exe)
    for kind in ADAPTERS:  # nothing left over from an earlier run
        prefix.unplant(kind)

    started = time.time()
    station = Station(wine, station_exe, out)
    if not check(station.origin is not None, "the station's window is on the screen"):
        station.close()
        return
    time.sleep(1)
    idle = station.screenshot("idle")
    check(station.counters() == {}, "no test.ini before the first connection")
    cleared_rects = [RESULT, DEVTYPE] + [(x, y, 46, 35) for x, y in MARKERS]

    def cleared():
        image = station.screenshot("probe")
        return bright(image, DEVTYPE) == 0 and all(differs(image, idle, r) < 4
                                                   for r in cleared_rects)

    def case(name, kind, args, expect_wire, expect_counts, result):
        print("--- %s (%s, %s)" % (name, kind, ADAPTERS[kind]["port"]), flush=True)
        line = Line(prefix, ADAPTERS[kind]["port"], out)
        evaluator = Evaluator(program, line, os.path.join(out, name + ".wire"), args)
        time.sleep(0.2)
        prefix.plant(kind)
        plugged = time.time()
        shot = None
        if result == "passed":
            wait_for(lambda: station.counters().get("passed") == expect_counts[1], 20)
            time.sleep(0.3)  # the pass picture is drawn after the count is written
            shot = station.screenshot(name + "-passed")
            check(coloured(shot, RESULT, "green") > 2000, name + ": the pass picture is shown")
            check(all(coloured(shot, (x, y, 46, 35), "green") > 100 for x, y in MARKERS),
                  name + ": six green key markers")
        elif result == "failed":
            shot = wait_for(lambda: (lambda s: s if coloured(s, RESULT, "red") > 2000 else None)(
                station.screenshot(name + "-failed")), 25, 0.3)
            check(shot is not None, name + ": the fail picture is shown")
        else:  # unplugged during a key wait
            check(wait_for(lambda: evaluator.said("holding key 3"), 15),
                  name + ": the station asks key 3")
            time.sleep(0.3)
            asked = station.screenshot(name + "-key3-asked")
            check(coloured(asked, (MARKERS[0][0], MARKERS[0][1], 46, 35), "green") > 100,
                  name + ": key 1 is marked good while key 3 is asked")
            check(yellow(asked, (MARKERS[2][0], MARKERS[2][1], 46, 35)) > 300,
                  name + ": the hint marker is on key 3 during its wait")
            prefix.unplant(kind)
            evaluator.stop()  # the far end closes: the cable is out
            line.close()
        took = time.time() - plugged
        if result != "unplugged":
            prefix.unplant(kind)
        check(wait_for(cleared, 15, 0.3), name + ": the display clears once unplugged")
        station.screenshot(name + "-cleared")
        evaluator.stop()
        line.close()
        received = evaluator.received()
        check(received == expect_wire,
              "%s: the evaluator received %r (expected %r)" % (name, received, expect_wire))
        counts = station.counters()
        check((counts.get("total"), counts.get("passed", 0)) == expect_counts,
              "%s: test.ini has Total=%s Passed=%s (it has %s)" % (
                  name, expect_counts[0], expect_counts[1], counts))
        print("        %s took %.1f s from plugging in to the result" % (name, took), flush=True)
        return evaluator

    case("pl2303-pass", "pl2303", [], frames("C1E", "CaE", "C2E" * 6), (1, 1), "passed")
    if box_text:
        second_copy(prefix, station, box_text)
    case("ftdi-pass", "ftdi", [], frames("C1E", "CaE", "C2E" * 6), (2, 2), "passed")
    case("wrong-key", "pl2303", ["--wrong-from-key", "4"], frames("C1E", "CaE", "C2E" * 4),
         (3, 2), "failed")
    silent = case("silent", "pl2303", ["--silent"], frames("C1E", "CaE", "C2E", "C3E"), (4, 2),
                  "failed")
    # The silent unit's waits: 100 ms for the prompt's answer, then the two-second
    # pause, then 5000 ms for the acknowledgement of "C2E" and 5000 ms for "C3E"'s.
    with open(silent.log.name) as f:
        times = dict(l.split()[1:3][::-1] for l in f if l.startswith("at "))
    if check(all(k in times for k in ("C1E", "CaE", "C2E", "C3E")), "silent: each frame's time"):
        gap = lambda a, b: int(times[b]) - int(times[a])
        check(2000 <= gap("C1E", "CaE") < 2600, "silent: CaE %d ms after C1E" % gap("C1E", "CaE"))
        check(4900 <= gap("C2E", "C3E") < 5600, "silent: C3E %d ms after C2E" % gap("C2E", "C3E"))
    case("unplug", "pl2303", ["--hold-at-key", "3"], frames("C1E", "CaE", "C2E" * 3), (5, 2),
         "unplugged")
    if box_text:
        refused_write(prefix, station, program, out, box_text)
    other_folder(prefix, station, wine, exe, program, out)
    check(station.running(), "the station is still running")
    station.close()
    print("end to end: %.1f s" % (time.time() - started))


def main():
    if len(sys.argv) not in (5, 6):
        print(__doc__)
        return 2
    wine, exe, program, out = sys.argv[1:5]
    box_text = sys.argv[5] if len(sys.argv) == 6 else None
    if not os.environ.get("DISPLAY"):
        if not shutil.which("xvfb-run"):
            print("no X display and no xvfb-run: skipped")
            return 77
        return subprocess.call(["xvfb-run", "-a", "-s", "-screen 0 1024x768x24",
                                sys.executable] + sys.argv)
    shutil.rmtree(out, ignore_errors=True)
    os.makedirs(out)
    run(wine, exe, program, out, box_text)
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
