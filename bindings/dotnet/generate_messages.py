#!/usr/bin/env python3
"""Writes UsbMessage.cs, the .NET binding's message enum and user lines, from usbhelper.h's
tables as the C preprocessor expands them: the header stays the one source.
  generate_messages.py CC HEADER OUT.cs      (CC: the tree's C compiler, run with -E)"""
import html
import os
import re
import shlex
import subprocess
import sys

TEXT = r'"(?:[^"\\]|\\.)*"'
STUB = """#include "usbhelper.h"
#define USB_MESSAGE_ROW(constant, id, name, meaning) @message constant id meaning
#define USB_USER_LINE_ROW(constant, line, answer) @user constant line answer
USB_UI_MESSAGES(USB_MESSAGE_ROW)
USB_UI_USER_LINES(USB_USER_LINE_ROW)
"""


def expand(cc, header):
    # The tables' rows: [(constant, id, meaning)], [(constant, line, answer)], texts as C literals.
    argv = shlex.split(cc) + ["-E", "-P", "-x", "c", "-I", os.path.dirname(os.path.abspath(header)), "-"]
    text = subprocess.run(argv, input=STUB, capture_output=True, text=True, check=True).stdout
    messages = re.findall(r"@message (\w+) (\d+) (%s)" % TEXT, text)
    lines = re.findall(r"@user (\w+) (%s) (%s)" % (TEXT, TEXT), text)
    if not messages:
        sys.exit("%s: no rows in USB_UI_MESSAGES" % header)
    return messages, lines


def member(constant):
    # usbmon's name: the constant without "USB_".
    return constant[len("USB_"):] if constant.startswith("USB_") else constant


def doc(literal):
    return html.escape(literal[1:-1].replace('\\"', '"').replace("\\\\", "\\"), quote=False)


def main(cc, header, out):
    messages, lines = expand(cc, header)
    cs = ["// Generated from usbhelper.h (USB_UI_MESSAGES, USB_UI_USER_LINES) when the kit is built:",
          "// change the header, not this file.",
          "namespace UsbHelper",
          "{",
          "    /// <summary>Ids of the library's messages, named as usbmon prints them.</summary>",
          "    public enum UsbMessage",
          "    {"]
    for constant, number, meaning in messages:
        cs += ["        /// <summary>%s</summary>" % doc(meaning), "        %s = %s," % (member(constant), number)]
    cs += ["    }",
           "",
           "    /// <summary>What to tell the user when a phone's flow ends short of WM_DEVICE_ONLINE.</summary>",
           "    public static class UsbUserLines",
           "    {"]
    for name, column, what in (("LineFor", 1, "The line for the user"),
                               ("AnswerFor", 2, "The action to send once the user has acted (\"\": none)")):
        cs += ["        /// <summary>%s; null for a message that ends no flow.</summary>" % html.escape(what, quote=False),
               "        public static string %s(UsbMessage id)" % name,
               "        {",
               "            switch (id)",
               "            {"]
        cs += ["                case UsbMessage.%s: return %s;" % (member(row[0]), row[column]) for row in lines]
        cs += ["                default: return null;", "            }", "        }", ""]
    cs[-1:] = ["    }", "}", ""]
    with open(out, "w", newline="\n") as f:
        f.write("\n".join(cs))


if __name__ == "__main__":
    if len(sys.argv) != 4:
        sys.exit(__doc__)
    main(*sys.argv[1:])
