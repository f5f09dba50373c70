#!/usr/bin/env bash
# A DLL we ship, as Windows will see it: a DLL of the given machine type that exports exactly
# the given names and imports nothing but the system DLLs below (one list for every DLL).
#   check_exports.sh DLL pei-i386|pei-x86-64 NAME...
set -u
dll=${1:?usage: check_exports.sh DLL pei-i386|pei-x86-64 NAME...}
format=${2:?usage: check_exports.sh DLL pei-i386|pei-x86-64 NAME...}
shift 2
case $format in
  pei-i386) objdump=i686-w64-mingw32-objdump ;;
  pei-x86-64) objdump=x86_64-w64-mingw32-objdump ;;
  *) echo "unknown machine type $format"; exit 2 ;;
esac
# What our DLLs import today; the C and C++ runtimes are linked in, never imported.
system_dlls=" advapi32.dll kernel32.dll msvcrt.dll setupapi.dll shell32.dll user32.dll wininet.dll ws2_32.dll "

dump=$("$objdump" -p "$dll" 2>&1) || { echo "cannot read $dll as $format: $dump"; exit 1; }
fail=0
printf '%s\n' "$dump" | grep -q "file format $format\$" || { echo "$dll is not $format"; fail=1; }
printf '%s\n' "$dump" | grep -qx '[[:space:]]*DLL' || { echo "$dll is not a DLL"; fail=1; }
exports=$(printf '%s\n' "$dump" | awk '/\[Ordinal\/Name Pointer\] Table/{f=1;next} f&&/\]/{print $NF} f&&/^$/{f=0}' |
  sort | tr '\n' ' ')
want=$(printf '%s\n' "$@" | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || { echo "exports: [$exports] expected [$want]"; fail=1; }
imports=$(printf '%s\n' "$dump" | awk '/DLL Name/{print tolower($3)}' | sort -u | tr '\n' ' ')
for d in $imports; do
  case $system_dlls in
    *" $d "*) ;;
    *) echo "not a system DLL: $d"; fail=1 ;;
  esac
done
[ $fail -eq 0 ] && echo "$(basename "$dll"): $format, $# exports, imports: $imports"
exit $fail
