#!/usr/bin/env bash
# Fails when an executable imports a function that Windows XP SP3 lacks, or
# when its PE header asks for a newer subsystem than XP (5.1; x64: 5.2).
#   check-xp-imports.sh EXE...
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
denylist="$here/../packaging/xp-import-denylist.txt"
status=0
for exe in "$@"; do
  dump=$(x86_64-w64-mingw32-objdump -p "$exe")
  imports=$(printf '%s\n' "$dump" | awk '/^\tDLL Name:/ {in_dll=1; next} /^[^\t]/ {in_dll=0} in_dll && NF >= 3 && $1 ~ /^[0-9a-f]+$/ {print $3}')
  bad=$(printf '%s\n' "$imports" | grep -E -f <(grep -v '^#' "$denylist" | grep -v '^$') || true)
  major=$(printf '%s\n' "$dump" | awk '/^MajorSubsystemVersion/ {print $2}')
  minor=$(printf '%s\n' "$dump" | awk '/^MinorSubsystemVersion/ {print $2}')
  if [ -n "$bad" ]; then
    echo "FAIL $exe imports what Windows XP lacks: $(echo $bad)"
    status=1
  elif [ "$major" -gt 5 ] || { [ "$major" -eq 5 ] && [ "$minor" -gt 2 ]; }; then
    echo "FAIL $exe needs subsystem $major.$minor; XP is 5.1 (x64: 5.2)"
    status=1
  else
    echo "ok   $exe: $(printf '%s\n' "$imports" | wc -l) imports, subsystem $major.$minor, none post-XP"
  fi
done
exit $status
