"""The demo: a simulated phone plugged into the real DLL under Wine, brought to ADB online."""
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from harness import Scenario, read_lines  # noqa: E402

PHONE = "18D1 4EE2 0123456789ABCDEF"


def main(tree):
    with Scenario(tree) as s:
        s.start_adb("0123456789ABCDEF:device")
        s.start_cloud()
        print("demo: fake ADB server on 127.0.0.1:5037 lists 0123456789ABCDEF; plugging the phone\n", flush=True)
        s.start_host()
        s.send("sleep 1500", "echo >>> plug " + PHONE, "plug " + PHONE, "wait WM_DEVICE_ONLINE 90000", "list",
               "echo >>> unplug " + PHONE, "unplug " + PHONE, "wait WM_DEVICE_OFFLINE 30000")
        code = s.finish()
        print("\n".join(read_lines(s.out_path)))
        print("\ndemo: the library's log is " + os.path.join(s.data_dir, "usb_log.txt"))
        if code != 0:
            print("demo: the phone did not come online")
            return 1
        print("demo: the phone went from arrival to WM_DEVICE_ONLINE and was unplugged")
        return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
