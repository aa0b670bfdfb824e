#!/usr/bin/env bash
# The toolkit installed with `cmake --install` into a temporary prefix, and
# programs built against it twice, with find_package(adckit) and with
# pkg-config --static, then run: the C program of docs/adcscan-and-adcread.md and the bridge
# examples on the installed virtual board, a C++ program linking it.
#
#   consumer_test.sh SETTINGS
. "$(dirname "$0")/common.sh"

prefix="$work/prefix"
quiet "$cmake_command" --install "$build_dir" --prefix "$prefix"
check_layout "$prefix"
[ -f "$prefix/lib/adckit/libvboard.so" ] || fail "libvboard.so is not under lib/adckit/"

# The launcher finds the board library of the tree it is installed in.
if [ -z "$emulator" ]; then
  [ -x "$prefix/bin/vboard" ] || fail "the vboard launcher is not in bin/"
  out=$(VBOARD_CH0=0 "$prefix/bin/vboard" run --board private -- cat /sys/class/gpio/gpiochip0/ngpio) ||
    fail "vboard run from the installed tree: $out"
  [ "$out" = 54 ] || fail "vboard run from the installed tree printed '$out', expected 54"
  echo "vboard run: the installed launcher runs a program on the installed board"
fi

readme_program "$work/scan.c"
board="$prefix/lib/adckit/libvboard.so"
linkpeer="$prefix/bin/linkpeer"

build_with_find_package "$prefix" "$work/scan.c" "$work/cmake"
check_programs "$work/cmake" "$board" "$linkpeer"
echo "find_package(adckit): built and ran scan, rfcomm_server, adc_server, board_probe"

build_with_pkg_config "$prefix/lib/pkgconfig" "$work/scan.c" "$work/pkg-config"
check_programs "$work/pkg-config" "$board" "$linkpeer"
echo "pkg-config --static: built and ran scan, rfcomm_server, adc_server, board_probe"

# What goes on the board: the board's components alone, without the PC
# stand-ins, still make a package a program finds and builds against.
board_prefix="$work/board"
for component in board board_dev; do
  quiet "$cmake_command" --install "$build_dir" --prefix "$board_prefix" --component "$component"
done
check_layout "$board_prefix"
pc_parts=$(cd "$board_prefix" && find . \( -name '*vboard*' -o -name '*linklib*' -o -name linkpeer \
  -o -name 'adckitPCTargets*' \) -print)
[ -z "$pc_parts" ] || fail "the board's components carry PC parts: $pc_parts"
for program in gpiosampler adcread rfcomm_server adc_server; do
  [ -x "$board_prefix/bin/$program" ] || fail "the board's components lack bin/$program"
done
build_with_find_package_scan_only "$board_prefix" "$work/scan.c" "$work/board-cmake"
out=$(VBOARD_CH3=301 on_board "$board" "$work/board-cmake/scan")
expect "scan built against the board's components" "$out" '^ch3: 301$'
build_bridge_with_own_link_library "$board_prefix" "$work/board-bridge"
out=$(VBOARD_CH4=404 peer_call "$board" "$linkpeer" 'rfcomm[4]' "$work/board-bridge/rfcomm_server")
expect "rfcomm_server against the board's components" "$out" '^404$'
echo "board components: no PC parts; scan and rfcomm_server (with a link library of its own) built with find_package(adckit) and ran"
