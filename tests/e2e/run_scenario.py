# Runs one end-to-end scenario file on the real DLL under Wine.
#   run_scenario.py SCENARIO_FILE WINDOWS_TREE
#
# A scenario file (scenarios/NAME.scn, one ctest test e2e.NAME each) holds steps, then what the
# host and the user must observe. Blank lines and lines starting with '#' are ignored.
#
# Steps, run in order:
#   adb [--silent] [SERIAL:STATE,...]  the first starts the fake ADB server on 5037 listing these
#                                      (--silent: it takes connections and never answers); later
#                                      ones change what it lists
#   cloud [tls] [JSON]                 the cloud emulator on 18089 with this scenario (answers and
#                                      faults: see cloud_emulator.py); tls: over HTTPS only, with a
#                                      certificate the prefix trusts and config_ini.txt naming it
#   package NAME BYTES                 a driver package of random bytes the emulator serves
#   file NAME TEXT                     a file beside the host (scenarios/whitelist.json is put
#                                      there as whitelist.json unless a step replaces it)
#   copy NAME PROGRAM                  a copy of a built program beside the host
#   before COMMAND                     a usbmon command run before IUSB_start
#   program NAME [ARG...]              the host to run instead of plain usbmon.exe (a program in
#                                      the tree's bin folder, or an absolute path), with arguments
#   host COMMAND                       a usbmon command (usbmon.exe lists them on "help"); the
#                                      first starts usbmon
#   await SECONDS WHAT                 wait for the host's next message named WHAT, or next output
#                                      line starting with WHAT
#   pause SECONDS                      let the library work on
# Then the host is told to quit and must end with code 0 (none of its own waits timed out).
# Expectations, each section optional; '*' matches any text within a line, and a line starting
# with "+ " matches one or more lines in a row:
#   == host       every line usbmon printed, messages as "ID NAME JSON" without their time.
#                 Compared in order per phone (the device_sn of a message); the other lines form
#                 one more group.
#   == order      host lines that must come in this order among all of them (across phones)
#   == log        texts the library's log must hold on successive lines, in order; "! TEXT": a
#                 text no log line may hold
#   == file NAME  every line of NAME in the library's data directory (usb_track.txt: the track
#                 lines), in order; an empty section: no line at all
#   == cloud      every request the cloud emulator got, as "METHOD PATH AGENT", in any order
# USBHELPER_E2E_SHOW=1 prints what was observed, in this format, to start a new scenario from.
# By hand: . scripts/wine-env; flock /tmp/usbhelper-tests.lock python3 tests/e2e/run_scenario.py
# tests/e2e/scenarios/NAME.scn build/win. A model no scenario plugged before goes into
# harness.SIMULATED_MODELS, so that what a failed run left plugged is cleared.
import json
import os
import re
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Scenario  # noqa: E402

SECTIONS = ("host", "order", "log", "file", "cloud")


def parse(path):
    steps, expected, section = [], {}, None
    for line in open(path, encoding="utf-8").read().splitlines():
        if line.startswith("== "):
            section = line[3:].strip()
            assert section.split()[0] in SECTIONS, "unknown section " + section
            expected[section] = []
        elif line.strip() and not line.startswith("#"):
            expected[section].append(line) if section else steps.append(line.partition(" ")[::2])
    return steps, expected


def body(line):
    return "[^\n]*".join(re.escape(part) for part in line.split("*"))


def pattern(line):
    # One expected line as a regular expression for one actual line (or more with "+ ").
    more = line.startswith("+ ")
    return "(?:%s\n)%s" % (body(line[2:] if more else line), "+" if more else "")


def same(expected, actual):
    return re.fullmatch("".join(pattern(e) for e in expected), "".join(a + "\n" for a in actual)) is not None


def phone(line):
    # The device_sn a host line is about; "" for every other line.
    m = re.match(r'(?:\+ )?\d+ \S+ \{.*"device_sn":"([^"]*)"', line)
    return m.group(1) if m else ""


def check_host(expected, actual):
    groups = {}
    for source, lines in (("expected", expected), ("actual", actual)):
        for line in lines:
            key = phone(line)
            groups.setdefault(key, {"expected": [], "actual": []})[source].append(line)
    return ["host lines about %s: expected\n  %s\ngot\n  %s" % (key or "no phone", "\n  ".join(g["expected"]),
                                                               "\n  ".join(g["actual"]))
            for key, g in sorted(groups.items()) if not same(g["expected"], g["actual"])]


def check_log(expected, log):
    problems, at = [], 0
    texts = [l.split("]: ", 1)[-1] for l in log]
    for text in expected:
        if text.startswith("! "):
            problems += ["log holds %r" % text[2:]] if any(text[2:] in t for t in texts) else []
            continue
        found = next((i for i in range(at, len(texts)) if text in texts[i]), None)
        if found is None:
            problems.append("no log line %r after line %d" % (text, at))
        else:
            at = found + 1
    return problems


def cloud_lines(requests):
    return ["%s %s %s" % (r["method"], r["path"], dict((k.lower(), v) for k, v in r["headers"]).get("user-agent", ""))
            for r in requests]


def check_cloud(expected, requests):
    left = cloud_lines(requests)
    problems = []
    for line in sorted(expected, key=lambda e: e.startswith("+ ")):  # single requests first
        taken = [i for i, a in enumerate(left) if re.fullmatch(pattern(line), a + "\n")]
        if not taken:
            problems.append("no cloud request %r" % line)
        left = [a for i, a in enumerate(left) if i not in (taken if line.startswith("+ ") else taken[:1])]
    return problems + ["unexpected cloud request %r" % a for a in left]


def run(path, tree):
    steps, expected = parse(path)
    with Scenario(tree) as s:
        s.put_beside_host("whitelist.json", copy_of=os.path.join(os.path.dirname(path), "whitelist.json"))
        drivers = os.path.join(s.work, "drivers")
        os.makedirs(drivers)
        before, adb_started, program = [], False, ["usbmon.exe"]
        for verb, rest in steps:
            if verb == "adb" and adb_started:
                s.set_adb_devices(rest)
            elif verb == "adb":
                options = [w for w in rest.split() if w.startswith("--")]
                s.start_adb(" ".join(w for w in rest.split() if w not in options), options)
                adb_started = True
            elif verb == "cloud":
                tls = rest.startswith("tls")
                s.start_cloud(rest[3:].strip() if tls else rest or "{}", drivers, tls)
            elif verb == "package":
                name, size = rest.split()
                with open(os.path.join(drivers, name), "wb") as f:
                    f.write(os.urandom(int(size)))
            elif verb in ("file", "copy"):
                name, _, text = rest.partition(" ")
                s.put_beside_host(name, text + "\n") if verb == "file" else s.put_beside_host(name, copy_of=text)
            elif verb == "before":
                before.append(rest)
            elif verb == "program":
                program = rest.split()
            elif verb in ("host", "await"):
                s.host or s.start_host(before, program)
                s.send(rest) if verb == "host" else s.expect(rest.partition(" ")[2], float(rest.partition(" ")[0]))
            elif verb == "pause":
                __import__("time").sleep(float(rest))
            else:
                raise AssertionError("unknown step %r" % verb)
        s.host or s.start_host(before, program)  # a scenario may have no host step at all
        code = s.finish()
        output = s.output()
        problems = [] if code == 0 else ["usbmon ended with %s" % code]
        if "host" in expected:
            problems += check_host(expected["host"], output)
        if "log" in expected:
            problems += check_log(expected["log"], s.data_file("usb_log.txt"))
        if "order" in expected and not re.search(".*?".join("^%s$" % body(e) for e in expected["order"]),
                                                 "\n".join(output), re.M | re.S):
            problems.append("host lines not in this order: %s" % expected["order"])
        for name in [k[5:] for k in expected if k.startswith("file ")]:
            if not same(expected["file " + name], s.data_file(name)):
                problems.append("%s holds: %s" % (name, s.data_file(name)))
        requests = [json.loads(l) for l in open(s.cloud_log)] if os.path.exists(s.cloud_log) else []
        if "cloud" in expected:
            problems += check_cloud(expected["cloud"], requests)
        if problems or os.environ.get("USBHELPER_E2E_SHOW"):
            print("== host\n%s\n== file usb_track.txt\n%s\n== cloud\n%s" % ("\n".join(output), "\n".join(s.data_file("usb_track.txt")),
                                                              "\n".join(cloud_lines(requests))))
            print("\n".join(problems))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(run(os.path.abspath(sys.argv[1]), sys.argv[2]))
