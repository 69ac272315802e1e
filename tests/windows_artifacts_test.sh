#!/usr/bin/env bash
# Checks what a built Windows .exe carries beyond its code: a console
# program for x86-64, the application manifest as resource 1 of type 24 with
# the settings Windows acts on, and imports only from DLLs every Windows has.
#   windows_artifacts_test.sh MANIFEST EXE...
# OBJDUMP and WINDRES name the mingw-w64 tools when they are not on PATH.
set -u

objdump=${OBJDUMP:-x86_64-w64-mingw32-objdump}
windres=${WINDRES:-x86_64-w64-mingw32-windres}
# Part of every Windows installation, so nothing needs shipping beside the .exe.
system_dlls=" kernel32.dll msvcrt.dll shell32.dll advapi32.dll bcrypt.dll "

[ $# -ge 2 ] || { echo "usage: $0 MANIFEST EXE..." >&2; exit 2; }
manifest=$1
shift

failures=0
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

check() {  # NAME EXPECTED ACTUAL
  if [ "$2" = "$3" ]; then
    echo "ok:   $1"
  else
    echo "FAIL: $1: expected [$2], got [$3]"
    failures=$((failures + 1))
  fi
}

# Wine runs an .exe whose manifest is malformed; Windows refuses to start it.
check "$manifest is well-formed XML" "" "$(xmllint --noout "$manifest" 2>&1 | head -c 300)"

# Turns the string lines of windres's RC dump of a type-24 resource back
# into the bytes of the manifest.
decode_manifest_resource() {
  sed -n '/^1 24 /,/^END/p' | sed -n 's/^ *"\(.*\)"$/\1/p' |
    sed -e 's/""/"/g' | awk '{ gsub(/\\r/, "\r"); gsub(/\\t/, "\t"); gsub(/\\n/, "\n"); printf "%s", $0 }'
}

for exe in "$@"; do
  name=$(basename "$exe")
  headers=$("$objdump" -p "$exe" 2>&1)
  check "$name is a 64-bit PE image" pei-x86-64 "$(sed -n 's/.*file format \([^ ]*\).*/\1/p' <<<"$headers" | head -n 1)"
  # A GUI-subsystem program dropped on from Explorer would get no console.
  check "$name is a console program" "(Windows CUI)" "$(sed -n 's/^Subsystem[[:space:]]*[0-9a-f]*[[:space:]]*//p' <<<"$headers")"

  imports=$(sed -n 's/^[[:space:]]*DLL Name: //p' <<<"$headers" | tr 'A-Z' 'a-z' | sort -u)
  check "$name imports some DLLs (listing readable)" yes "$([ -n "$imports" ] && echo yes)"
  foreign=""
  for dll in $imports; do
    case "$system_dlls" in *" $dll "*) ;; *) foreign="$foreign $dll" ;; esac
  done
  check "$name imports only system DLLs" "" "${foreign# }"

  resources=$("$windres" -J coff -i "$exe" -O rc 2>&1)
  # Windows reads the manifest of an .exe from ID 1 only.
  check "$name has exactly one manifest resource" 1 "$(grep -c '^[^ ]* 24 ' <<<"$resources")"
  check "$name has its manifest under ID 1" 1 "$(grep -c '^1 24 ' <<<"$resources")"
  embedded="$scratch/$name.manifest"
  decode_manifest_resource <<<"$resources" >"$embedded"
  check "$name embeds the manifest unchanged" yes "$(cmp -s "$manifest" "$embedded" && echo yes || echo no)"

  while IFS='|' read -r what expected expression; do
    check "$name manifest: $what" "$expected" "$(xmllint --xpath "$expression" "$embedded" 2>/dev/null)"
  done <<'TABLE'
is an assembly manifest|urn:schemas-microsoft-com:asm.v1|namespace-uri(/*[local-name()='assembly'])
has manifest version 1.0|1.0|string(/*/@manifestVersion)
runs as the invoking user|asInvoker|string(//*[local-name()='requestedExecutionLevel']/@level)
asks for no UI access|false|string(//*[local-name()='requestedExecutionLevel']/@uiAccess)
states one execution level|1|count(//*[local-name()='requestedExecutionLevel'])
uses the segment heap|SegmentHeap|string(//*[local-name()='windowsSettings']/*[local-name()='heapType' and namespace-uri()='http://schemas.microsoft.com/SMI/2020/WindowsSettings'])
TABLE
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "all checks passed"
