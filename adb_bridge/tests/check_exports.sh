#!/bin/sh
# Checks that AdbBridge.dll exports exactly the twelve entry points and
# imports nothing but Windows system DLLs.
# Usage: check_exports.sh PATH/AdbBridge.dll [objdump]
set -u
dll=${1:?usage: check_exports.sh AdbBridge.dll [objdump]}
objdump=${2:-i686-w64-mingw32-objdump}
expected="IUSB_AdbServerExit IUSB_AdbServerStart IUSB_Exit IUSB_Forward IUSB_GetDevices
IUSB_Init IUSB_Install IUSB_KillServer IUSB_Pull IUSB_Shell IUSB_Uninstall IUSB_Vesion"

dump=$("$objdump" -p "$dll") || exit 2
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([A-Za-z_@0-9]*\)$/\1/p' | sort | tr '\n' ' ')
want=$(printf '%s\n' $expected | sort | tr '\n' ' ')
status=0
if [ "$exports" != "$want" ]; then
  echo "exports differ:"; echo "  got:  $exports"; echo "  want: $want"; status=1
fi
imports=$(printf '%s\n' "$dump" | sed -n 's/^[[:space:]]*DLL Name: //p')
for name in $imports; do
  case $(printf '%s' "$name" | tr 'A-Z' 'a-z') in
    kernel32.dll|msvcrt.dll|ws2_32.dll|user32.dll|advapi32.dll|ntdll.dll|shell32.dll) ;;
    *) echo "non-system import: $name"; status=1 ;;
  esac
done
[ $status -eq 0 ] && echo "AdbBridge.dll: 12 exports, imports: $(echo $imports)"
exit $status
