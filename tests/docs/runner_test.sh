#!/usr/bin/env bash
# docs_blocks_runner: the block runner catches each kind of drift on a page
# made for it, naming the line of the block at fault.
# Usage: runner_test.sh PYTHON TEST_SOURCE_DIR BUILD_DIR [--cross]
set -uo pipefail
python=$1 here=$2 build=$3
shift 3
out=$("$python" "$here/doc_blocks.py" "$here/fixture" "$build" "$@" page.md 2>&1)
status=$?
[ "$status" -eq 77 ] && { echo "$out"; exit 77; }
fail() { printf '%s\n--- runner output\n%s\n' "$1" "$out" >&2; exit 1; }
[ "$status" -eq 1 ] || fail "expected status 1, got $status"
grep -q '^page.md:16: the output differs from the block at page.md:20' <<<"$out" || fail "differing output not reported"
grep -q '^page.md:26: the block failed (status 2, not 0)' <<<"$out" || fail "failing block not reported"
grep -q '^page.md:32: a norun block says why' <<<"$out" || fail "norun block without a reason not reported"
grep -q '^page.md:43: link to gone.md: no such file' <<<"$out" || fail "link to a missing page not reported"
grep -q '^page.md:44: link to #nowhere: no such heading' <<<"$out" || fail "link to a missing heading not reported"
grep -q '^page.md:5:\|#a-page-the-runner' <<<"$out" && fail "a good block or link was reported"
grep -q '^3 blocks run, 5 failed; 2 not run (norun), 0 skipped' <<<"$out" || fail "wrong figures"
echo "runner: every fault reported"
