# Runs one end-to-end scenario file on the real DLL under Wine.
#   run_scenario.py SCENARIO_FILE WINDOWS_TREE
#
# A scenario file (scenarios/NAME.scn, one ctest test e2e.NAME each) holds steps, then what the
# host and the user must observe. Blank lines and lines starting with '#' are ignored.
#
# Steps, run in order:
#   adb [--OPTION...] [SERIAL:STATE,...]  the first starts the fake ADB server on 5037 with these
#                                      options (see fake_adb_server.py), listing these; later
#                                      ones change what it lists
#   cloud [tls] [JSON]                 the cloud emulator on 18089 with this scenario (see
#                                      cloud_emulator.py); tls: over HTTPS only, with a
#                                      certificate the prefix trusts and config_ini.txt naming it
#   package NAME BYTES                 a driver package of random bytes the emulator serves
#   file NAME TEXT                     a file beside the host (scenarios/whitelist.json is put
#                                      there as whitelist.json unless a step replaces it)
#   copy NAME PROGRAM                  a copy of a built program beside the host
#   kit [msvc] LIBFILE...              installs the tree as a host kit, whose lib folder must hold
#                                      exactly these, and builds examples/host against it into the
#                                      folder mingw (the tree's toolchain; also a link through
#                                      usbhelper.pc) or msvc (clang in MSVC mode and lld-link, for
#                                      the tree's bitness); the link must take the kit's import
#                                      library for that consumer
#   run PROGRAM [ARG...]               runs a program to its end, which must be 0 (shell quoting)
#   before COMMAND                     a usbmon command run before IUSB_start
#   program NAME [ARG...]              the host to run instead of plain usbmon.exe, with arguments
#   host COMMAND                       a usbmon command (usbmon.exe lists them on "help"); the
#                                      first starts the host
#   await SECONDS WHAT                 wait for the host's next message named WHAT, or next output
#                                      line starting with WHAT
#   pause SECONDS                      let the library work on
# A program is one in the tree's bin folder, or one the kit step built (mingw/NAME, msvc/NAME).
# Then the host is told to quit and must end with code 0 (none of its own waits timed out).
# Expectations, each section optional; '*' matches any text within a line, and a line starting
# with "+ " matches one or more lines in a row:
#   == host       every line the host printed, messages as "ID NAME JSON" without their time.
#                 Compared in order per phone (the device_sn of a message; an indented line goes
#                 with the line before it); the other lines form one more group.
#   == order      host lines that must come in this order among all of them (across phones)
#   == log        texts the library's log must hold on successive lines, in order; "! TEXT": a
#                 text no log line may hold
#   == file NAME  every line of NAME in the library's data directory (usb_track.txt: the track
#                 lines), in order; an empty section: no line at all
#   == cloud      every request the cloud emulator got, as "METHOD PATH AGENT", in any order
# USBHELPER_E2E_SHOW=1 prints what was observed, in this format, to start a new scenario from.
# By hand: . scripts/lib/wine-env; flock /tmp/usbhelper-tests.lock python3 tests/e2e/run_scenario.py
# tests/e2e/scenarios/NAME.scn build/win. A model no scenario plugged before goes into
# harness.SIMULATED_MODELS, so that what a run left plugged is cleared.
import json
import os
import re
import shlex
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
from harness import PortInUse, Scenario  # noqa: E402

TOP = os.path.dirname(os.path.dirname(HERE))
SECTIONS = ("host", "order", "log", "file", "cloud")
MESSAGE_LINE = re.compile(r"\d{5} ")


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
    m = re.match(r'(?:\+ )?\d+ (?:\S+ )?\{.*"device_sn":"([^"]*)"', line)
    return m.group(1) if m else ""


def check_host(expected, actual):
    groups = {}
    for source, lines in (("expected", expected), ("actual", actual)):
        key = ""
        for line in lines:
            if not line.startswith((" ", "+  ")):
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


def check_cloud(expected, actual):
    left, problems = list(actual), []
    for line in expected:
        found = next((a for a in left if re.fullmatch(body(line), a)), None)
        if found is None:
            problems.append("no cloud request %r" % line)
        else:
            left.remove(found)
    return problems + ["unexpected cloud request %r" % a for a in left]


def check_after_stop(output):
    # Nothing reaches the host once IUSB_stop has returned.
    stop = next((i for i, line in enumerate(output) if line.startswith(("stop: ", "usbmon: stop"))), None)
    late = [line for line in output[stop + 1:] if MESSAGE_LINE.match(line)] if stop is not None else []
    return ["host messages after the stop: %s" % late] if late else []


def log_tail(s, lines=60):
    return "== log tail\n" + "\n".join(s.data_file("usb_log.txt")[-lines:])


def build_example(s, words):
    # The tree installed as a host kit, examples/host built against it with MinGW or as an MSVC
    # consumer, into the work folder's mingw or msvc.
    consumer = "msvc" if words[0] == "msvc" else "mingw"
    kit, build = os.path.join(s.work, "kit"), os.path.join(s.work, consumer)
    with open(os.path.join(s.tree, "CMakeCache.txt")) as f:
        toolchain = [re.search(r"^CMAKE_TOOLCHAIN_FILE:\w+=(.*)$", f.read(), re.M).group(1)]
    with open(toolchain[0]) as f:
        tree = dict(re.findall(r"^set\((CMAKE_C_COMPILER|CMAKE_SYSTEM_PROCESSOR) (\S+)\)$", f.read(), re.M))
    implib = "libusbhelper.dll.a"
    if consumer == "msvc":  # of the tree's bitness
        toolchain = [os.path.join(HERE, "msvc", "clang_msvc_toolchain.cmake"),
                     "-DUSB_MSVC_ARCH=" + tree["CMAKE_SYSTEM_PROCESSOR"]]
        implib = "usbhelper.lib"
    steps = [["cmake", "--install", s.tree, "--prefix", kit],
             ["cmake", "-S", os.path.join(TOP, "examples", "host"), "-B", build, "-G", "Ninja", "-DCMAKE_BUILD_TYPE=Release",
              "-DCMAKE_TOOLCHAIN_FILE=" + toolchain[0], "-DCMAKE_PREFIX_PATH=" + kit] + toolchain[1:],
             ["cmake", "--build", build, "--verbose"]]
    for argv in steps:
        done = subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        assert done.returncode == 0, "%s:\n%s" % (" ".join(argv), done.stdout)
    link = [l for l in done.stdout.splitlines() if "host_example.exe" in l and " -o " in l]
    assert link and os.path.join(kit, "lib", implib) in link[-1], "the host was not linked with %s:\n%s" % (implib, link)
    if consumer == "mingw":
        # The kit's pkg-config file gives a MinGW host all it needs to compile and link.
        env = dict(os.environ, PKG_CONFIG_PATH=os.path.join(kit, "lib", "pkgconfig"))
        flags = subprocess.run(["pkg-config", "--cflags", "--libs", "usbhelper"], capture_output=True, text=True,
                               check=True, env=env).stdout.split()
        subprocess.run([tree["CMAKE_C_COMPILER"], os.path.join(TOP, "examples", "host", "host.c"), *flags, "-static",
                        "-o", os.path.join(build, "host_pkgconfig.exe")], check=True)
    found = sorted(os.listdir(os.path.join(kit, "lib")))
    assert found == sorted(words[consumer == "msvc":]), "the kit's lib folder holds %s" % found


def run_steps(s, steps, drivers, host):
    # host: what the host step starts (the commands before IUSB_start and the program).
    def find(name):
        return next(p for p in (os.path.join(s.work, name), os.path.join(s.bin, name)) if os.path.exists(p))

    for verb, rest in steps:
        if verb == "adb":
            words = rest.split()
            s.start_adb(",".join(w for w in words if w[:2] != "--"), [w for w in words if w[:2] == "--"])
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
        elif verb == "kit":
            build_example(s, rest.split())
        elif verb == "run":
            argv = shlex.split(rest)
            assert s.wine(find(argv[0]), *argv[1:]) == 0, "%s ended with an error" % rest
        elif verb == "before":
            host["before"].append(rest)
        elif verb == "program":
            host["program"] = [find(rest.split()[0])] + rest.split()[1:]
        elif verb in ("host", "await"):
            s.host or s.start_host(host["before"], host["program"])
            s.send(rest) if verb == "host" else s.expect(rest.partition(" ")[2], float(rest.partition(" ")[0]))
        elif verb == "pause":
            time.sleep(float(rest))
        else:
            raise AssertionError("unknown step %r" % verb)


def run(path, tree):
    steps, expected = parse(path)
    with Scenario(tree) as s:
        s.put_beside_host("whitelist.json", copy_of=os.path.join(os.path.dirname(path), "whitelist.json"))
        drivers = os.path.join(s.work, "drivers")
        os.makedirs(drivers)
        host = {"before": [], "program": ["usbmon.exe"]}
        try:
            run_steps(s, steps, drivers, host)
            s.host or s.start_host(host["before"], host["program"])  # a scenario may have no host step
            code = s.finish()
        except BaseException:
            # A step that timed out or failed: what the library was doing tells why.
            print(log_tail(s))
            raise
        output = s.output()
        requests = [json.loads(line) for line in open(s.cloud_log)] if os.path.exists(s.cloud_log) else []
        cloud = ["%s %s %s" % (r["method"], r["path"], dict((k.lower(), v) for k, v in r["headers"]).get("user-agent", ""))
                 for r in requests]
        problems = [] if code == 0 else ["the host ended with %s" % code]
        problems += check_host(expected["host"], output) if "host" in expected else []
        problems += check_after_stop(output)
        problems += check_log(expected["log"], s.data_file("usb_log.txt")) if "log" in expected else []
        problems += check_cloud(expected["cloud"], cloud) if "cloud" in expected else []
        if "order" in expected and not re.search(".*?".join("^%s$" % body(e) for e in expected["order"]),
                                                 "\n".join(output), re.M | re.S):
            problems.append("host lines not in this order: %s" % expected["order"])
        for name in [k[5:] for k in expected if k.startswith("file ")]:
            if not same(expected["file " + name], s.data_file(name)):
                problems.append("%s holds: %s" % (name, s.data_file(name)))
        if problems or os.environ.get("USBHELPER_E2E_SHOW"):
            print("== host\n%s\n== file usb_track.txt\n%s\n== cloud\n%s" % ("\n".join(output), "\n".join(
                s.data_file("usb_track.txt")), "\n".join(cloud)))
            print("\n".join(problems))
        if problems:
            print(log_tail(s))
    return 1 if problems else 0


if __name__ == "__main__":
    try:
        sys.exit(run(os.path.abspath(sys.argv[1]), sys.argv[2]))
    except PortInUse as busy:
        print(busy)
        sys.exit(1)
