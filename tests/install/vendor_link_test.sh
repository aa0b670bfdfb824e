#!/usr/bin/env bash
# The bridges built against a vendor's link library: a folder holding a
# mathlink.h and a library, named with ADCKIT_LINK_DIR and
# ADCKIT_LINK_LIBRARIES.  The stand-in is copied there under the vendor's
# file names, so the programs built that way still work with linkpeer.
#
#   vendor_link_test.sh SETTINGS
. "$(dirname "$0")/common.sh"

vendor="$work/vendor"
mkdir -p "$vendor"
cp "$source_dir/bridge/linkapi/mathlink.h" "$vendor/mathlink.h"
cp "$linklib_archive" "$vendor/libvendorlink.a"

build="$work/build"
quiet "$cmake_command" -S "$source_dir" -B "$build" "${toolchain_args[@]}" \
  -DADCKIT_SANITIZE="$sanitize" -DADCKIT_BUILD_TESTS=OFF -DADCKIT_BUILD_BENCH=OFF \
  -DADCKIT_LINK_DIR="$vendor" -DADCKIT_LINK_LIBRARIES="vendorlink;stdc++;m;pthread"
quiet "$cmake_command" --build "$build" -j "$jobs" --target rfcomm_server adc_server

# The bridges compiled against the vendor's header, not the stand-in's.
for object in bridge_runtime.dir/runtime.cpp.o rfbridge_install.dir/rfbridge.cpp.o \
              adcbridge_install.dir/adcbridge.cpp.o; do
  deps=$(ninja -C "$build" -t deps "bridge/CMakeFiles/$object")
  expect "$object includes the vendor's header" "$deps" "^ *$vendor/mathlink.h$"
  if grep -q 'bridge/linkapi/mathlink.h' <<<"$deps"; then
    fail "$object includes the stand-in's header"
  fi
done
# The programs linked with the vendor's library, not the stand-in.
for program in rfcomm_server adc_server; do
  link=$(ninja -C "$build" -t commands "$program" | tail -n 1)
  expect "$program links the vendor's library" "$link" "$vendor/libvendorlink.a"
  if grep -q 'liblinklib\.a' <<<"$link"; then
    fail "$program links the stand-in library"
  fi
done

# And they serve calls.
board="$build_dir/vboard/libvboard.so"
linkpeer="$build_dir/tools/linkpeer/linkpeer"
answer=$(VBOARD_CH5=777 peer_call "$board" "$linkpeer" 'rfcomm[5]' "$build/examples/rfcomm_server/rfcomm_server")
expect "rfcomm[5] through the vendor build" "$answer" '^777$'
answer=$(VBOARD_CH1=123 peer_call "$board" "$linkpeer" 'SPIDevMcp3008[1, 0]' "$build/examples/adc_server/adc_server")
expect "SPIDevMcp3008[1, 0] through the vendor build" "$answer" '^\{\{[0-9]+, [0-9]+, 0, 123, 0, 0, 0, 0, 0, 0\}\}$'

# An installed vendor build brings no mathlink.h of its own, and its
# pkg-config files name the vendor's folder and library.
quiet "$cmake_command" --install "$build" --prefix "$work/prefix" --component board_dev
if [ -n "$(find "$work/prefix" -name mathlink.h)" ]; then
  fail "a vendor build installs a mathlink.h"
fi
pc=$(PKG_CONFIG_LIBDIR="$work/prefix/lib/pkgconfig" pkg-config --static --cflags --libs rfbridge)
expect "rfbridge.pc of a vendor build" "$pc" "-I$vendor .*-lrfbridge .*$vendor/libvendorlink.a"
echo "vendor link build: header, library and calls as expected"
