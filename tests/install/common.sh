# Shared by the install tests: the build's settings, a temporary folder,
# and how programs of the build's target are run, with and without the
# virtual board.
set -euo pipefail
settings=${1:?usage: $0 SETTINGS}
# shellcheck source=/dev/null
. "$settings"

work=$(mktemp -d -t adckit-install-test.XXXXXX)
trap 'rm -rf "$work"' EXIT

jobs=$(nproc 2>/dev/null || echo 2)

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# The cache settings that give another project this build's compilers,
# flags and build type.
toolchain_args=(-G Ninja -DCMAKE_BUILD_TYPE="$build_type"
  -DCMAKE_C_FLAGS="$c_flags" -DCMAKE_CXX_FLAGS="$cxx_flags"
  -DCMAKE_EXE_LINKER_FLAGS="$exe_linker_flags"
  -DCMAKE_SHARED_LINKER_FLAGS="$shared_linker_flags")
if [ -n "$toolchain_file" ]; then
  toolchain_args+=(-DCMAKE_TOOLCHAIN_FILE="$toolchain_file")
else
  toolchain_args+=(-DCMAKE_C_COMPILER="$c_compiler" -DCMAKE_CXX_COMPILER="$cxx_compiler")
fi

# run PROGRAM ARGS...: a program built for the target, through the
# emulator of a cross build.
run() {
  # shellcheck disable=SC2086
  $emulator "$@"
}

# on_board BOARD_LIBRARY PROGRAM ARGS...: the same with the virtual board
# preloaded into the program only.  An emulator takes the preload as a
# guest variable; a sanitized program is told that the board library is
# loaded ahead of its runtime on purpose.
on_board_command() {
  local board=$1
  shift
  if [ -n "$emulator" ]; then
    # shellcheck disable=SC2206
    board_command=($emulator -E "LD_PRELOAD=$board" "$@")
  else
    board_command=(env "LD_PRELOAD=$board" "ASAN_OPTIONS=${ASAN_OPTIONS:-}:verify_asan_link_order=0" "$@")
  fi
}
on_board() {
  on_board_command "$@"
  "${board_command[@]}"
}

# peer_call BOARD_LIBRARY LINKPEER EXPRESSION PROGRAM: starts the bridge
# PROGRAM on the board under LINKPEER, sends one call and prints the answer.
peer_call() {
  local board=$1 linkpeer=$2 call=$3 program=$4
  on_board_command "$board" "$program"
  run "$linkpeer" -q --timeout 60 -e "$call" -- "${board_command[@]}"
}

# expect WHAT ACTUAL PATTERN: ACTUAL must match the extended regex PATTERN.
expect() {
  if ! printf '%s\n' "$2" | grep -Eq -- "$3"; then
    printf '%s\n' "$2" >&2
    fail "$1: expected output matching '$3'"
  fi
}
