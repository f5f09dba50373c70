# The real usbhelper.dll under Wine, driven through a host program (usbmon.exe), beside the fake
# ADB server, the cloud emulator and simulated phones in the Wine registry. Used by the scenario
# runner and the benchmarks; run under scripts/lib/wine-env's loader (USBHELPER_WINE, and WINELOADER
# where set).
import glob
import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
# Every model the scenarios plug; their registry entries are cleared before and after each scenario.
SIMULATED_MODELS = ["VID_18D1&PID_4EE2", "VID_18D1&PID_4EE3", "VID_18D1&PID_C001", "VID_18D1&PID_D001",
                    "VID_22B8&PID_2E76", "VID_2717&PID_FF48", "VID_1234&PID_5678", "VID_1234&PID_5679"]
MESSAGE = re.compile(r"^(\d\d:\d\d:\d\d\.\d{3}) (\d+ (\S+) (.*))$")
TOP = os.path.dirname(os.path.dirname(HERE))


class PortInUse(RuntimeError):
    pass


def check_port(port):
    # A port another program holds ends the run with the one line that says who and how to free it.
    busy = subprocess.run([os.path.join(TOP, "scripts", "free-ports"), "e2e", str(port)], stdout=subprocess.PIPE,
                          text=True)
    if busy.returncode:
        raise PortInUse(busy.stdout.strip())


def read_lines(path):
    # A text file's lines, whatever their endings; none when it does not exist.
    if not os.path.exists(path):
        return []
    with open(path, "rb") as f:
        return f.read().decode("latin-1").splitlines()


class Scenario:
    # Helper servers, files beside the host and a clean data directory; all undone on exit.

    def __init__(self, tree):
        self.tree = os.path.abspath(tree)
        self.bin = os.path.join(self.tree, "bin")
        prefix = os.path.join(self.tree, "wineprefix")
        self.loader = os.environ.get("USBHELPER_WINE", "wine")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
        self.procs, self.undo = [], []
        self.adb = self.host = None
        self.work = tempfile.mkdtemp(prefix="usb-e2e-")
        self.adb_devices = os.path.join(self.work, "adb-devices.txt")
        self.cloud_log = os.path.join(self.work, "cloud.log")
        self.out_path = os.path.join(self.work, "usbmon.out")
        users = [u for u in glob.glob(os.path.join(prefix, "drive_c", "users", "*")) if not u.endswith("Public")]
        self.data_dir = os.path.join(users[0], "AppData", "Roaming", "Ostrel", "usb")
        shutil.rmtree(self.data_dir, ignore_errors=True)
        # Driver packages left in the temporary folder would be reused without a download.
        for old in glob.glob(os.path.join(users[0], "**", "Temp", "VID_*"), recursive=True):
            os.remove(old)
        self.reset_devices()

    def wine(self, *argv):
        # Not through pipes: Wine's helper processes keep inherited ones open for seconds.
        return subprocess.run([self.loader, *argv], env=self.env, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=120).returncode

    def reset_devices(self):
        # Removes the simulated devices from the Wine registry.
        enum = r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB"
        keys = ["%s\\%s%s" % (enum, hw, part) for hw in SIMULATED_MODELS for part in ("", "&MI_01")]
        keys.append(r"HKEY_LOCAL_MACHINE\System\CurrentControlSet\Control\DeviceClasses"
                    r"\{f72fe0d4-cbcb-407d-8814-9ed673d0dd6b}")
        path = os.path.join(self.work, "clean.reg")
        with open(path, "w") as f:
            f.write("\r\n".join(["REGEDIT4", ""] + ["[-%s]\r\n" % k for k in keys]))
        self.wine("regedit", "/S", path)

    def data_file(self, name):
        return read_lines(os.path.join(self.data_dir, name))

    def put_beside_host(self, name, text="", copy_of=None):
        # A file beside usbmon.exe for this scenario (COPY_OF: a program there, or an absolute path);
        # what was there before comes back after.
        path = os.path.join(self.bin, name)
        saved = os.path.join(self.work, "saved-%d" % len(self.undo)) if os.path.exists(path) else None
        if saved:
            shutil.copyfile(path, saved)
        self.undo.append(lambda: shutil.copyfile(saved, path) if saved else os.remove(path))
        if copy_of:
            shutil.copyfile(os.path.join(self.bin, copy_of), path)
        else:
            with open(path, "w", newline="") as f:
                f.write(text)

    def spawn(self, argv, out=None, **options):
        # A process ended with the scenario: the host (OUT: its output file) or a helper server,
        # which must say READY first (its errors go to a file in the work folder).
        err = out or open(os.path.join(self.work, os.path.basename(argv[1]) + ".err"), "w")
        proc = subprocess.Popen(argv, stdout=out or subprocess.PIPE, stderr=err, text=True, **options)
        self.procs.append(proc)
        if not out and not proc.stdout.readline().startswith("READY"):
            raise RuntimeError("%s did not start" % argv[1])
        return proc

    def start_adb(self, devices="", extra=()):
        # The fake ADB server on 5037 listing these ("SERIAL:STATE,..."); once it runs, only the list changes.
        self.set_adb_devices(devices)
        if not self.adb:
            check_port(5037)
            self.adb = self.spawn([sys.executable, os.path.join(HERE, "fake_adb_server.py"), "5037", "--devices-file",
                                   self.adb_devices, *extra])

    def set_adb_devices(self, devices):
        with open(self.adb_devices, "w") as f:
            f.write(devices)

    def start_cloud(self, scenario="{}", drivers="", tls=False):
        # The cloud emulator on 18089; over TLS its certificate is trusted by the prefix and the
        # library is pointed at it by config_ini.txt.
        path = os.path.join(self.work, "cloud.json")
        with open(path, "w") as f:
            f.write(scenario)
        check_port(18089)
        argv = [sys.executable, os.path.join(HERE, "cloud_emulator.py"), path, drivers, self.cloud_log]
        if tls:
            key, cert, der = (os.path.join(self.work, n) for n in ("key.pem", "cert.pem", "cert.der"))
            subprocess.run(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1,DNS:127.0.0.1", "-keyout", key,
                            "-out", cert], check=True, capture_output=True)
            subprocess.run(["openssl", "x509", "-in", cert, "-outform", "DER", "-out", der], check=True)
            trust = [os.path.join(self.bin, "trust_cert.exe"), "add", "Z:" + der.replace("/", "\\")]
            if self.wine(*trust) != 0:
                raise RuntimeError("the prefix does not trust the certificate")
            self.undo.append(lambda: self.wine(trust[0], "remove", trust[2]))
            self.put_beside_host("config_ini.txt", "[web]\r\ndriver_host=https://127.0.0.1:18089\r\n")
            argv += [cert, key]
        self.spawn(argv)

    def start_host(self, before=(), program=("usbmon.exe",)):
        # Starts the host in its own folder (usbmon.exe, given these commands to run before
        # IUSB_start); commands go to its stdin, its output to a file read as it grows.
        argv = [self.loader, os.path.join(self.bin, program[0]), *program[1:]]
        for command in before:
            argv += ["--before", command]
        self.host = self.spawn(argv, open(self.out_path, "w"), stdin=subprocess.PIPE, cwd=os.path.dirname(argv[1]),
                               env=self.env)
        self._awaited = {}

    def send(self, *commands):
        self.host.stdin.write("".join(c + "\n" for c in commands))
        self.host.stdin.flush()

    def output(self):
        # The host's output lines, message lines without their time stamp.
        return [m.group(2) if m else line for line, m in ((l, MESSAGE.match(l)) for l in read_lines(self.out_path))]

    def expect(self, what, timeout=60):
        # Waits for the next message named WHAT, or output line starting with WHAT, not awaited before.
        taken = self._awaited.get(what, 0)
        deadline = time.time() + timeout
        while time.time() < deadline:
            lines = read_lines(self.out_path)
            found = [l for l in lines if (MESSAGE.match(l) or [None] * 4)[3] == what or l.startswith(what)]
            if len(found) > taken:
                self._awaited[what] = taken + 1
                return found[taken]
            if self.host.poll() is not None:
                break
            time.sleep(0.05)
        raise AssertionError("no %s within %ds:\n%s" % (what, timeout, "\n".join(self.output())))

    def finish(self, timeout=180):
        # Tells the host to quit; returns its exit code (None when it had to be killed).
        try:
            self.send("quit")
            return self.host.wait(timeout)
        except (OSError, subprocess.TimeoutExpired):
            self.host.kill()
            self.host.wait()

    def close(self):
        for proc in self.procs:
            if proc.poll() is None:
                proc.send_signal(signal.SIGTERM)
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
        for step in reversed(self.undo):
            step()
        self.reset_devices()
        shutil.rmtree(self.work, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
