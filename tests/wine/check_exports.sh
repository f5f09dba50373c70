#!/usr/bin/env bash
# The shipped DLL: PE32 i386, exactly the seven exports, system DLL imports only.
set -u
bin=$1
dll=$bin/usbhelper.dll
fail=0
dump=$(i686-w64-mingw32-objdump -p "$dll") || { echo "cannot read $dll"; exit 1; }
file -b "$dll" | grep -q 'PE32 executable (DLL).*Intel 80386' || { echo "not a PE32 i386 DLL: $(file -b "$dll")"; fail=1; }
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/\]/{print $NF} f&&/^$/{f=0}' | sort | tr '\n' ' ')
want="IUSB_SendMessage IUSB_getPhoneList IUSB_hasPhone IUSB_isPhone IUSB_start IUSB_startAdbServer IUSB_stop "
if [ "$exports" != "$want" ]; then echo "exports: [$exports] expected [$want]"; fail=1; fi
imports=$(printf '%s\n' "$dump" | awk '/DLL Name/{print tolower($3)}' | sort -u | tr '\n' ' ')
echo "imports: $imports"
for d in $imports; do
  case $d in
    libstdc*|libgcc*|libwinpthread*|*mingw*) echo "runtime DLL imported: $d"; fail=1 ;;
  esac
done
[ $fail -eq 0 ] && echo "exports ok: $exports"
exit $fail
