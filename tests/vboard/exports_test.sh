#!/bin/sh
# The board library exports exactly the names its version script lists:
# every interposed libc name is defined there (one that is not would leave
# programs calling libc's own, unnoticed), the vboard_* calls are, and no
# internal symbol leaks out.
#
#   exports_test.sh NM LIBRARY MAP
set -eu
nm=$1 library=$2 map=$3
fail() { echo "FAILED: $*" >&2; exit 1; }

exported=$("$nm" -D --defined-only "$library" | awk '$2 ~ /^[TWiV]$/ { sub(/@.*/, "", $3); print $3 }' | sort -u)
listed=$(sed -n '/global:/,/local:/p' "$map" | tr -d ' ;' | grep -E '^[A-Za-z_][A-Za-z0-9_]*$' | sort -u)

missing=$(printf '%s\n' "$listed" | grep -vxF "$exported" || true)
[ -z "$missing" ] || fail "listed but not defined by the library: $(echo $missing)"
extra=$(printf '%s\n' "$exported" | grep -v '^vboard_' | grep -vxF "$listed" || true)
[ -z "$extra" ] || fail "exported but not listed: $(echo $extra)"
printf '%s\n' "$exported" | grep -q '^vboard_' || fail "no vboard_* control call is exported"
echo "$(printf '%s\n' "$exported" | wc -l) names exported, all listed"
