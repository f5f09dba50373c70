#!/usr/bin/env bash
# A DLL we ship, as Windows will see it: a DLL of the given machine type that exports exactly
# the names of its .def file (the one list of them) and imports nothing but the system DLLs
# below (one list for every DLL).
#   check_exports.sh DLL pei-i386|pei-x86-64 DEF
set -u
usage="usage: check_exports.sh DLL pei-i386|pei-x86-64 DEF"
dll=${1:?$usage}
format=${2:?$usage}
def=${3:?$usage}
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
# The names after EXPORTS, one a line; ";" starts a comment.
names=$(awk '{ sub(/;.*/, "") } listing && NF { print $1 } $1 == "EXPORTS" { listing = 1 }' "$def") ||
  { echo "cannot read $def"; exit 1; }
[ -n "$names" ] || { echo "$def lists no exports"; exit 1; }
want=$(printf '%s\n' "$names" | sort | tr '\n' ' ')
[ "$exports" = "$want" ] || { echo "exports: [$exports] expected [$want]"; fail=1; }
imports=$(printf '%s\n' "$dump" | awk '/DLL Name/{print tolower($3)}' | sort -u | tr '\n' ' ')
for d in $imports; do
  case $system_dlls in
    *" $d "*) ;;
    *) echo "not a system DLL: $d"; fail=1 ;;
  esac
done
[ $fail -eq 0 ] && echo "$(basename "$dll"): $format, $(printf '%s\n' "$names" | wc -l) exports, imports: $imports"
exit $fail
