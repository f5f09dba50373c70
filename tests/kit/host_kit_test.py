# What the kit tells a host besides the header, checked against the header's tables as the C
# preprocessor reads them: the .NET binding (UsbHelper.cs and the made UsbMessage.cs) compiles
# with Debian's C# compiler (mcs; never run, there is no usbhelper.dll to call) and its enum
# holds exactly the message rows; the README's troubleshooting table holds every user line.
#   host_kit_test.py CC HEADER README BINDING_CS MESSAGES_CS
import os
import re
import shlex
import shutil
import subprocess
import sys
import tempfile

TEXT = r'"((?:[^"\\]|\\.)*)"'


def header_tables(cc, header):
    stub = ('#include "usbhelper.h"\n#define ROW(constant, id, name, meaning) @row constant id\n'
            '#define USER(constant, text, answer) @user constant text answer\n'
            'USB_UI_MESSAGES(ROW)\nUSB_UI_USER_LINES(USER)\n')
    argv = shlex.split(cc) + ["-E", "-P", "-x", "c", "-I", os.path.dirname(header), "-"]
    text = subprocess.run(argv, input=stub, capture_output=True, text=True, check=True).stdout
    ids = {constant: int(number) for constant, number in re.findall(r"@row (\w+) (\d+)", text)}
    users = [(ids[c], line, answer) for c, line, answer in re.findall(r"@user (\w+) %s %s" % (TEXT, TEXT), text)]
    return ids, users


def main(cc, header, readme, binding, messages):
    problems = []
    ids, users = header_tables(cc, header)
    rows = {constant[len("USB_"):]: number for constant, number in ids.items()}
    with open(messages) as f:
        enum = re.search(r"public enum UsbMessage\s*\{(.*?)\}", f.read(), re.S).group(1)
    members = {name: int(number) for name, number in re.findall(r"^\s*(\w+) = (\d+),$", enum, re.M)}
    if len(rows) < 40 or members != rows:
        problems.append("the enum differs from the header's %d rows: %s" % (
            len(rows), sorted(set(members.items()) ^ set(rows.items()))))
    with open(readme, encoding="utf-8") as f:
        table = [l for l in f.read().split("## Troubleshooting", 1)[-1].splitlines() if l.startswith("| 1")]
    for number, line, answer in users:
        if not any(l.startswith("| %d |" % number) and "| %s |" % line in l and (answer or "—") in l for l in table):
            problems.append("README's troubleshooting table lacks %d: %s (%s)" % (number, line, answer or "no answer"))
    if not users or len(table) != len(users):
        problems.append("%d user lines in the header, %d rows in the README" % (len(users), len(table)))
    mcs = shutil.which("mcs")
    if not mcs:
        problems.append("no C# compiler (mcs): run scripts/setup")
    else:
        with tempfile.TemporaryDirectory() as work:
            done = subprocess.run([mcs, "-nologo", "-target:library", "-warnaserror+", "-out:" + os.path.join(work, "b.dll"),
                                   binding, messages], capture_output=True, text=True)
            if done.returncode != 0:
                problems.append("mcs:\n" + done.stdout + done.stderr)
    print("\n".join(problems) or "%d message ids, %d user lines, binding compiled" % (len(rows), len(users)))
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
