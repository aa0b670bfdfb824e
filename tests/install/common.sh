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

# Every program gets a board of its own: the user's board keeps its inputs
# between runs, and tests run in parallel must not share a chip.
export VBOARD_BOARD=private

fail() {
  echo "FAILED: $*" >&2
  exit 1
}

# quiet COMMAND...: runs COMMAND, showing its output only when it fails.
quiet() {
  if ! "$@" >"$work/quiet.log" 2>&1; then
    cat "$work/quiet.log" >&2
    fail "$*"
  fi
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
# The text goes in as a here-string: piped from printf, grep -q's early exit
# would kill printf with SIGPIPE and pipefail would call a match a failure.
expect() {
  if ! grep -Eq -- "$3" <<<"$2"; then
    printf '%s\n' "$2" >&2
    fail "$1: expected output matching '$3'"
  fi
}

# readme_program FILE: writes the complete C program of docs/adcscan-and-adcread.md to FILE.
readme_program() {
  awk '/^```c$/ { block = "" ; inside = 1; next }
       inside && /^```$/ { if (block ~ /\/\* scan\.c:/) { printf "%s", block; exit } inside = 0; next }
       inside { block = block $0 "\n" }' "$source_dir/docs/adcscan-and-adcread.md" >"$1"
  grep -q 'get_mcp3008_channels' "$1" || fail "no scan.c program found in docs/adcscan-and-adcread.md"
}

# check_layout PREFIX: every header under include/adckit/, the stand-in's
# mathlink.h only in its own folder.
check_layout() {
  local stray
  stray=$(cd "$1" && find . -type f \( -name '*.h' -o -name '*.hpp' \) ! -path './include/adckit/*')
  [ -z "$stray" ] || fail "headers outside include/adckit/: $stray"
  stray=$(cd "$1" && find . -name mathlink.h ! -path './include/adckit/linklib/mathlink.h')
  [ -z "$stray" ] || fail "mathlink.h outside include/adckit/linklib/: $stray"
}

# check_programs DIR BOARD LINKPEER: runs the consumer programs built in DIR
# on the board library BOARD, the bridges under LINKPEER.
check_programs() {
  local dir=$1 board=$2 linkpeer=$3 out
  out=$(VBOARD_CH0=5 VBOARD_CH3=300 VBOARD_CH7=1023 on_board "$board" "$dir/scan")
  expect "scan" "$out" '^ch3: 300$'
  expect "scan" "$out" '^ch7: 1023$'
  expect "scan" "$out" ', 0 failed exchanges$'
  out=$(run "$dir/board_probe") || fail "board_probe: $out"
  expect "board_probe" "$out" '^ch6: 654, failed exchanges: 0$'
  out=$(VBOARD_CH4=444 peer_call "$board" "$linkpeer" 'rfcomm[4]' "$dir/rfcomm_server")
  expect "rfcomm_server" "$out" '^444$'
  out=$(VBOARD_CH2=222 peer_call "$board" "$linkpeer" 'SPIDevMcp3008[2, 0]' "$dir/adc_server")
  expect "adc_server" "$out" '^\{\{[0-9]+, [0-9]+, 0, 0, 222, 0, 0, 0, 0, 0\}, \{[0-9]+, [0-9]+, 0, 0, 222, 0, 0, 0, 0, 0\}\}$'
}

# build_with_find_package PREFIX SCAN DIR: the consumer project configured
# against the installed tree at PREFIX, built in DIR.
build_with_find_package() {
  local prefix=$1 scan=$2 dir=$3 find
  if [ -n "$toolchain_file" ]; then
    # A cross toolchain looks for packages under its sysroot only.
    find=(-Dadckit_DIR="$prefix/lib/cmake/adckit")
  else
    find=(-DCMAKE_PREFIX_PATH="$prefix")
  fi
  quiet "$cmake_command" -S "$source_dir/tests/install/consumer" -B "$dir" "${toolchain_args[@]}" \
    "${find[@]}" -DSCAN_SOURCE="$scan" -DEXAMPLES_DIR="$source_dir/examples"
  quiet "$cmake_command" --build "$dir" -j "$jobs"
}

# build_with_pkg_config PCDIR SCAN DIR: the same programs compiled by hand
# with the flags of `pkg-config --static`, finding .pc files in PCDIR only.
build_with_pkg_config() {
  local pcdir=$1 scan=$2 dir=$3
  mkdir -p "$dir"
  pc() { PKG_CONFIG_LIBDIR="$pcdir" PKG_CONFIG_PATH="" pkg-config --static "$@"; }
  # shellcheck disable=SC2046,SC2086
  {
    "$c_compiler" $c_flags -std=c99 "$scan" -o "$dir/scan" \
      $(pc --cflags --libs adcscan) $exe_linker_flags
    "$c_compiler" $c_flags -std=c99 "$source_dir/examples/rfcomm_server/rfcomm_server.c" \
      -o "$dir/rfcomm_server" $(pc --cflags --libs rfbridge adcscan) $exe_linker_flags
    "$cxx_compiler" $cxx_flags -std=c++20 "$source_dir/examples/adc_server/adc_server.cpp" \
      -o "$dir/adc_server" $(pc --cflags --libs adcbridge adcscan) $exe_linker_flags
    "$cxx_compiler" $cxx_flags -std=c++20 "$source_dir/tests/install/consumer/board_probe.cpp" \
      -o "$dir/board_probe" $(pc --cflags --libs vboard adcscan linklib) $exe_linker_flags
  }
}

# build_with_find_package_scan_only PREFIX SCAN DIR: only the C program of
# docs/adcscan-and-adcread.md, for a tree without the PC parts.
build_with_find_package_scan_only() {
  local prefix=$1 scan=$2 dir=$3
  mkdir -p "$dir/src"
  cat >"$dir/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(scan_only LANGUAGES C CXX)
find_package(adckit 0.1 REQUIRED)
add_executable(scan ${SCAN_SOURCE})
target_link_libraries(scan PRIVATE adckit::adcscan)
CMAKE
  quiet "$cmake_command" -S "$dir/src" -B "$dir" "${toolchain_args[@]}" \
    -Dadckit_DIR="$prefix/lib/cmake/adckit" -DSCAN_SOURCE="$scan"
  quiet "$cmake_command" --build "$dir" -j "$jobs"
}

# build_bridge_with_own_link_library PREFIX DIR: rfcomm_server built with
# find_package(adckit) against a tree without the stand-in, linking a link
# library of its own (the build's stand-in copied into DIR/link).
build_bridge_with_own_link_library() {
  local prefix=$1 dir=$2
  mkdir -p "$dir/src" "$dir/link"
  cp "$source_dir/bridge/linkapi/mathlink.h" "$dir/link/mathlink.h"
  cp "$linklib_archive" "$dir/link/libownlink.a"
  cat >"$dir/src/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.25)
project(own_link LANGUAGES C CXX)
find_package(adckit 0.1 REQUIRED)
find_package(Threads REQUIRED)
add_library(ownlink STATIC IMPORTED)
set_target_properties(ownlink PROPERTIES
  IMPORTED_LOCATION ${LINK_DIR}/libownlink.a
  INTERFACE_INCLUDE_DIRECTORIES ${LINK_DIR}
  INTERFACE_LINK_LIBRARIES Threads::Threads
  IMPORTED_LINK_INTERFACE_LANGUAGES CXX)
add_executable(rfcomm_server ${EXAMPLES_DIR}/rfcomm_server/rfcomm_server.c)
target_link_libraries(rfcomm_server PRIVATE adckit::rfbridge adckit::adcscan ownlink)
CMAKE
  quiet "$cmake_command" -S "$dir/src" -B "$dir" "${toolchain_args[@]}" \
    -Dadckit_DIR="$prefix/lib/cmake/adckit" -DLINK_DIR="$dir/link" \
    -DEXAMPLES_DIR="$source_dir/examples"
  quiet "$cmake_command" --build "$dir" -j "$jobs"
}
