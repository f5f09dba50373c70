"""End-to-end harness: the real usbhelper.dll under Wine, driven through usbmon.exe, with a
fake ADB server, the cloud emulator and simulated phones in the Wine registry."""
import glob
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
TOP = os.path.dirname(os.path.dirname(HERE))
# Every model the scenarios plug; their registry entries are cleared before each scenario.
SIMULATED_MODELS = ["VID_18D1&PID_4EE2", "VID_18D1&PID_4EE3", "VID_18D1&PID_C001", "VID_22B8&PID_2E76", "VID_2717&PID_FF48",
                    "VID_1234&PID_5678", "VID_1234&PID_5679"]
LINE = re.compile(r"^(\d\d:\d\d:\d\d\.\d{3}) (\d+) (\S+) (.*)$")


def wine_loader():
    """The loader scripts/wine-env picked (it exports USBHELPER_WINE and, where needed,
    WINELOADER); probed the same way when run by hand outside the scripts."""
    if os.environ.get("USBHELPER_WINE"):
        return os.environ["USBHELPER_WINE"], {}
    try:
        subprocess.run(["/usr/lib/wine/wine", "--version"], check=True, capture_output=True)
        return "wine", {}
    except (OSError, subprocess.CalledProcessError):
        return "/usr/lib/wine/wine64", {"WINELOADER": "/usr/lib/wine/wine64"}


def port_free(port):
    with socket.socket() as s:
        return s.connect_ex(("127.0.0.1", port)) != 0


class Message:
    def __init__(self, stamp, ident, name, payload):
        self.stamp, self.id, self.name, self.text = stamp, ident, name, payload

    @property
    def json(self):
        return json.loads(self.text)

    def __repr__(self):
        return "%s %s %s" % (self.id, self.name, self.text)


class Run:
    def __init__(self, output, code):
        self.output, self.code = output, code
        self.messages = []
        for line in output.splitlines():
            m = LINE.match(line)
            if m:
                self.messages.append(Message(m.group(1), int(m.group(2)), m.group(3), m.group(4)))

    def ids(self):
        return [m.id for m in self.messages]

    def names(self):
        return [m.name for m in self.messages]


class Scenario:
    """One scenario: its own helper servers and a clean data directory; cleaned up on exit."""

    def __init__(self, tree):
        self.tree = os.path.abspath(tree)
        self.bin = os.path.join(self.tree, "bin")
        self.prefix = os.path.join(self.tree, "wineprefix")
        self.loader, extra = wine_loader()
        self.env = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                        WINEDLLOVERRIDES="mscoree,mshtml=", **extra)
        self.procs = []
        self.work = tempfile.mkdtemp(prefix="usb-e2e-")
        self.added_files = []
        self.saved_files = []
        self.reset_data()
        self.reset_devices()

    # -- files ------------------------------------------------------------------------
    def appdata(self):
        found = glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Roaming"))
        found = [f for f in found if "/Public/" not in f]
        return found[0] if found else os.path.join(self.prefix, "drive_c", "users", "root", "AppData", "Roaming")

    def data_dir(self):
        return os.path.join(self.appdata(), "Ostrel", "usb")

    def reset_data(self):
        shutil.rmtree(self.data_dir(), ignore_errors=True)
        # Driver packages left in the temporary folder would be reused without a download.
        users = os.path.join(self.prefix, "drive_c", "users", "*")
        for old in glob.glob(os.path.join(users, "Temp", "VID_*")) + \
                glob.glob(os.path.join(users, "AppData", "Local", "Temp", "VID_*")):
            os.remove(old)

    def reset_devices(self):
        """Removes simulated devices a failed scenario may have left in the Wine registry."""
        enum = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB"
        lines = ["REGEDIT4", ""]
        for hw in SIMULATED_MODELS:
            for part in (hw, hw + "&MI_01"):
                lines += ["[-%s\\%s]" % (enum, part), ""]
        lines += [r"[-HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses"
                  r"\{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}]", ""]
        path = os.path.join(self.work, "clean.reg")
        with open(path, "w") as f:
            f.write("\r\n".join(lines))
        subprocess.run([self.loader, "regedit", "/S", path], env=self.env, stdout=subprocess.DEVNULL,
                       stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL, timeout=60)

    def data_file(self, name):
        path = os.path.join(self.data_dir(), name)
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def put_beside_host(self, name, text=None, copy_of=None):
        """A file beside usbmon.exe for this scenario; what was there before comes back after."""
        path = os.path.join(self.bin, name)
        if os.path.exists(path) and path not in [p for p, _ in self.saved_files]:
            saved = os.path.join(self.work, "saved-" + name)
            shutil.copyfile(path, saved)
            self.saved_files.append((path, saved))
        if copy_of:
            shutil.copyfile(os.path.join(self.bin, copy_of), path)
        else:
            with open(path, "w") as f:
                f.write(text)
        self.added_files.append(path)

    # -- helper servers ---------------------------------------------------------------
    def _spawn(self, argv, name):
        log = open(os.path.join(self.work, name + ".out"), "w")
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=log, text=True)
        line = proc.stdout.readline()
        if not line.startswith("READY"):
            raise RuntimeError("%s did not start: %r" % (name, line))
        self.procs.append(proc)
        return proc

    def start_adb(self, devices="", port=5037, extra=()):
        """Fake ADB server; devices "SERIAL:STATE,..." written to a file it re-reads."""
        if not port_free(port):
            raise RuntimeError("port %d is busy" % port)
        self.adb_devices = os.path.join(self.work, "adb-devices.txt")
        self.set_adb_devices(devices)
        self.adb_log = os.path.join(self.work, "adb.log")
        return self._spawn([sys.executable, os.path.join(HERE, "fake_adb_server.py"), str(port),
                            "--devices-file", self.adb_devices, "--log", self.adb_log, *extra], "adb")

    def set_adb_devices(self, devices):
        with open(self.adb_devices, "w") as f:
            f.write(devices)

    def start_cloud(self, scenario=None, port=18089, drivers=None):
        emulator = os.path.join(HERE, "cloud_emulator.py")
        if not os.path.exists(emulator):
            return None
        self.cloud_log = os.path.join(self.work, "cloud.log")
        argv = [sys.executable, emulator, "--port", str(port), "--log", self.cloud_log]
        if scenario is not None:
            path = os.path.join(self.work, "scenario.json")
            with open(path, "w") as f:
                json.dump(scenario, f)
            argv += ["--scenario", path]
        if drivers:
            argv += ["--drivers", drivers]
        return self._spawn(argv, "cloud")

    def cloud_requests(self):
        if not os.path.exists(getattr(self, "cloud_log", "")):
            return []
        with open(self.cloud_log) as f:
            return [json.loads(l) for l in f if l.strip()]

    # -- the host ---------------------------------------------------------------------
    def start_host(self, before=()):
        """Starts usbmon.exe; commands go to its stdin, its output to a file read as it grows."""
        self.out_path = os.path.join(self.work, "usbmon.out")
        self._out = open(self.out_path, "w")
        argv = [self.loader, os.path.join(self.bin, "usbmon.exe")]
        for command in before:
            argv += ["--before", command]
        self.host = subprocess.Popen(argv, cwd=self.bin, stdin=subprocess.PIPE, stdout=self._out,
                                     stderr=subprocess.STDOUT, env=self.env, text=True)
        self.procs.append(self.host)
        self._seen = {}

    def send(self, *commands):
        for command in commands:
            self.host.stdin.write(command + "\n")
        self.host.stdin.flush()

    def output(self):
        with open(self.out_path, encoding="latin-1") as f:
            return f.read()

    def expect(self, name, timeout=60):
        """Waits for the next message NAME not expected before; returns it."""
        deadline = time.time() + timeout
        while time.time() < deadline:
            matches = [m for m in Run(self.output(), None).messages if m.name == name]
            taken = self._seen.get(name, 0)
            if len(matches) > taken:
                self._seen[name] = taken + 1
                return matches[taken]
            if self.host.poll() is not None:
                break
            time.sleep(0.1)
        raise AssertionError("no %s within %ds:\n%s" % (name, timeout, self.output()))

    def finish(self, timeout=60):
        """Quits the host and returns the whole run."""
        try:
            self.send("quit")
        except (BrokenPipeError, OSError):
            pass
        try:
            self.host.wait(timeout)
        except subprocess.TimeoutExpired:
            self.host.kill()
            self.host.wait()
        self._out.close()
        return Run(self.output(), self.host.returncode)

    def usbmon(self, commands, timeout=180, echo=False, before=()):
        """Runs usbmon.exe with the command lines on stdin; returns its parsed output."""
        self.start_host(before)
        self.send(*commands)
        shown = 0
        deadline = time.time() + timeout
        self.send("quit")
        while self.host.poll() is None and time.time() < deadline:
            time.sleep(0.2)
            if echo:
                shown = self._echo(self.out_path, shown)
        if self.host.poll() is None:
            self.host.kill()
            self.host.wait()
        if echo:
            self._echo(self.out_path, shown)
        self._out.close()
        return Run(self.output(), self.host.returncode)

    @staticmethod
    def _echo(path, shown):
        with open(path, encoding="latin-1") as f:
            lines = f.read().splitlines()
        for line in lines[shown:]:
            print(line, flush=True)
        return len(lines)

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
        for path in self.added_files:
            try:
                os.remove(path)
            except OSError:
                pass
        for path, saved in self.saved_files:
            shutil.copyfile(saved, path)
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def device_payload(sn, desc, adb=True, driver=True):
    """The compact text of the device payload, as the host receives it."""
    return json.dumps({"b_adbopen": adb, "b_driver": driver, "device_desc": desc, "device_sn": sn},
                      separators=(",", ":"))


def serial_payload(sn):
    return json.dumps({"device_sn": sn}, separators=(",", ":"))
