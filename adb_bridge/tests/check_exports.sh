#!/bin/sh
# Checks that AdbBridge.dll has the expected machine type, exports exactly the
# twelve entry points and imports nothing but Windows system DLLs.
# Usage: check_exports.sh PATH/AdbBridge.dll [pei-i386|pei-x86-64]
set -u
dll=${1:?usage: check_exports.sh AdbBridge.dll [pei-i386|pei-x86-64]}
format=${2:-pei-i386}
case $format in
  pei-i386) objdump=i686-w64-mingw32-objdump ;;
  pei-x86-64) objdump=x86_64-w64-mingw32-objdump ;;
  *) echo "unknown format $format" >&2; exit 2 ;;
esac
expected="IUSB_AdbServerExit IUSB_AdbServerStart IUSB_Exit IUSB_Forward IUSB_GetDevices
IUSB_Init IUSB_Install IUSB_KillServer IUSB_Pull IUSB_Shell IUSB_Uninstall IUSB_Vesion"

dump=$("$objdump" -p "$dll") || exit 2
status=0
printf '%s\n' "$dump" | grep -q "file format $format\$" || { echo "$dll is not $format"; status=1; }
exports=$(printf '%s\n' "$dump" | sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' |
  sed -n 's/^[[:space:]]*\[[[:space:]]*[0-9]*\] \([A-Za-z_@0-9]*\)$/\1/p' | sort | tr '\n' ' ')
want=$(printf '%s\n' $expected | sort | tr '\n' ' ')
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
[ $status -eq 0 ] && echo "AdbBridge.dll: $format, 12 exports, imports: $(echo $imports)"
exit $status
