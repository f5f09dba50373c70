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
LINE = re.compile(r"^(\d\d:\d\d:\d\d\.\d{3}) (\d+) (\S+) (.*)$")


def wine_loader():
    """The loader this machine can run, as scripts/wine-env picks it."""
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
        self.reset_data()

    # -- files ------------------------------------------------------------------------
    def appdata(self):
        found = glob.glob(os.path.join(self.prefix, "drive_c", "users", "*", "AppData", "Roaming"))
        found = [f for f in found if "/Public/" not in f]
        return found[0] if found else os.path.join(self.prefix, "drive_c", "users", "root", "AppData", "Roaming")

    def data_dir(self):
        return os.path.join(self.appdata(), "Ostrel", "usb")

    def reset_data(self):
        shutil.rmtree(self.data_dir(), ignore_errors=True)

    def data_file(self, name):
        path = os.path.join(self.data_dir(), name)
        if not os.path.exists(path):
            return ""
        with open(path, "rb") as f:
            return f.read().decode("latin-1")

    def put_beside_host(self, name, text):
        path = os.path.join(self.bin, name)
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

    def start_cloud(self, scenario=None, port=18089):
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
        return self._spawn(argv, "cloud")

    def cloud_requests(self):
        if not os.path.exists(getattr(self, "cloud_log", "")):
            return []
        with open(self.cloud_log) as f:
            return [json.loads(l) for l in f if l.strip()]

    # -- the host ---------------------------------------------------------------------
    def usbmon(self, commands, timeout=180, echo=False, before=()):
        """Runs usbmon.exe with the command lines on stdin; returns its parsed output."""
        script = os.path.join(self.work, "commands.txt")
        with open(script, "w") as f:
            f.write("\n".join(commands) + "\nquit\n")
        out_path = os.path.join(self.work, "usbmon.out")
        with open(script) as stdin, open(out_path, "w") as out:
            argv = [self.loader, os.path.join(self.bin, "usbmon.exe")]
            for command in before:
                argv += ["--before", command]
            proc = subprocess.Popen(argv, cwd=self.bin,
                                    stdin=stdin, stdout=out, stderr=subprocess.STDOUT, env=self.env)
            shown = 0
            deadline = time.time() + timeout
            while proc.poll() is None and time.time() < deadline:
                time.sleep(0.2)
                if echo:
                    shown = self._echo(out_path, shown)
            if proc.poll() is None:
                proc.kill()
                proc.wait()
            if echo:
                self._echo(out_path, shown)
        with open(out_path, encoding="latin-1") as f:
            return Run(f.read(), proc.returncode)

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
