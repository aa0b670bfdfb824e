#!/usr/bin/env bash
# The Debian packages of this build, made with cpack: their architecture,
# dependencies and contents, and the C program of docs/adcscan-and-adcread.md built against them
# unpacked into a scratch root (dpkg -x), with pkg-config --static and with
# find_package(adckit), and run.  Natively the bridge examples and a C++
# program are built and run against the unpacked root as well.
#
#   package_test.sh SETTINGS
. "$(dirname "$0")/common.sh"

if ! "$cpack_command" --config "$build_dir/CPackConfig.cmake" -B "$work/packages" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack"
fi
runtime=$(find "$work/packages" -maxdepth 1 -name 'adckit_*.deb')
dev=$(find "$work/packages" -maxdepth 1 -name 'adckit-dev_*.deb')
[ -f "$runtime" ] && [ -f "$dev" ] || fail "cpack made no adckit and adckit-dev packages"

if [ -n "$toolchain_file" ]; then
  arch=armhf
else
  arch=$(dpkg --print-architecture)
fi
version=$(dpkg-deb --field "$runtime" Version)
for deb in "$runtime" "$dev"; do
  info=$(dpkg-deb --info "$deb")
  expect "$(basename "$deb")" "$info" "^ Architecture: $arch$"
done
expect "adckit's dependencies" "$(dpkg-deb --field "$runtime" Depends)" 'libc6 \(>= [0-9.]+\).*libstdc\+\+6'
expect "adckit-dev's dependencies" "$(dpkg-deb --field "$dev" Depends)" "^adckit \(= $version\), libc6-dev"

# A link is listed as "path -> target": its own path is the one wanted.
files() {
  dpkg-deb --contents "$1" | awk '{ print ($(NF-1) == "->") ? $(NF-2) : $NF }' | sed 's|^\./|/|'
}
runtime_files=$(files "$runtime")
dev_files=$(files "$dev")
# Programs in one, what a build needs in the other.
if printf '%s\n' "$runtime_files" | grep -E '/include/|\.a$|\.pc$|/cmake/'; then
  fail "the runtime package holds development files"
fi
if printf '%s\n' "$dev_files" | grep -E '^/usr/bin/.'; then
  fail "the development package holds programs"
fi
for program in gpiosampler adcread rfcomm_server adc_server; do
  expect "adckit" "$runtime_files" "^/usr/bin/$program$"
done
for file in lib/libadcscan.a lib/librfbridge.a lib/libadcbridge.a include/adckit/adcscan.h \
            include/adckit/bridge.h lib/cmake/adckit/adckitConfig.cmake \
            lib/pkgconfig/adcscan.pc lib/pkgconfig/rfbridge.pc lib/pkgconfig/adcbridge.pc; do
  expect "adckit-dev" "$dev_files" "^/usr/$file$"
done
if printf '%s\n' "$dev_files" | grep -E '\.(h|hpp)$' | grep -v '^/usr/include/adckit/'; then
  fail "headers outside /usr/include/adckit/"
fi
pc_parts='vboard|linklib|linkpeer|mathlink\.h|adckitPCTargets'
if [ -n "$toolchain_file" ]; then
  # The board's packages carry none of the PC stand-ins.
  if printf '%s\n' "$runtime_files" "$dev_files" | grep -E "$pc_parts"; then
    fail "the board's packages carry PC parts"
  fi
else
  # Every program an install puts in bin/ (the board's launcher among them
  # where it is built) is in the runtime package.
  quiet "$cmake_command" --install "$build_dir" --prefix "$work/installed"
  for program in "$work/installed/bin/"*; do
    expect "adckit" "$runtime_files" "^/usr/bin/$(basename "$program")$"
  done
  # The loader's name for the library and the name it is preloaded by.
  for name in libvboard.so libvboard.so.0; do
    expect "adckit" "$runtime_files" "^/usr/lib/adckit/${name//./\\.}$"
  done
  expect "adckit" "$runtime_files" '^/usr/bin/linkpeer$'
  for header in vboard vboard_inputs vboard_faults vboard_trace; do
    expect "adckit-dev" "$dev_files" "^/usr/include/adckit/${header}\\.h$"
  done
  expect "adckit-dev" "$dev_files" '^/usr/include/adckit/linklib/mathlink\.h$'
  expect "adckit-dev" "$dev_files" '^/usr/lib/liblinklib\.a$'
  expect "adckit-dev" "$dev_files" '^/usr/lib/pkgconfig/vboard\.pc$'
fi

# What a distribution asks of each package: its copyright (machine-readable)
# and changelog under /usr/share/doc/PACKAGE/, the changelog's latest entry
# for this very version, compressed manual pages for the programs; and
# lintian finds no error.
for deb in "$runtime" "$dev"; do
  package=$(dpkg-deb --field "$deb" Package)
  contents=$(files "$deb")
  expect "$package" "$contents" "^/usr/share/doc/$package/copyright$"
  expect "$package" "$contents" "^/usr/share/doc/$package/changelog\.Debian\.gz$"
  dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/copyright" >"$work/copyright"
  expect "$package's copyright" "$(head -n 1 "$work/copyright")" \
    '^Format: https://www\.debian\.org/doc/packaging-manuals/copyright-format/1\.0/$'
  expect "$package's copyright" "$(cat "$work/copyright")" '^License: Expat$'
  entry=$(dpkg-deb --fsys-tarfile "$deb" | tar -xO "./usr/share/doc/$package/changelog.Debian.gz" | gzip -dc | sed -n 1p)
  expect "$package's changelog" "$entry" "^adckit \\($version\\) "
done
for program in $(printf '%s\n' "$runtime_files" | sed -n 's|^/usr/bin/||p'); do
  expect "adckit" "$runtime_files" "^/usr/share/man/man1/$program\.1\.gz$"
done
if [ -n "$sanitize" ]; then
  # A sanitized build's packages are for its tests, never for a distribution.
  echo "sanitized build: packages not linted"
elif command -v lintian >/dev/null; then
  # Warnings are shown, not failed on: docs/building-and-installing.md lists those left and why.
  if ! lintian --fail-on error "$runtime" "$dev" >"$work/lintian.log" 2>&1; then
    cat "$work/lintian.log" >&2
    fail "lintian finds errors in the packages"
  fi
  grep -E '^[EW]: ' "$work/lintian.log" || true
else
  echo "lintian is not installed (scripts/lib/packages.sh installs it): packages not linted"
fi

root="$work/root"
dpkg -x "$runtime" "$root"
dpkg -x "$dev" "$root"
check_layout "$root/usr"
readme_program "$work/scan.c"

if [ -n "$toolchain_file" ]; then
  # No virtual board in the board's packages: the build's own one.
  board="$build_dir/vboard/libvboard.so"
  build_with_find_package_scan_only "$root/usr" "$work/scan.c" "$work/cmake"
  mkdir -p "$work/pkg-config"
  # shellcheck disable=SC2046,SC2086
  "$c_compiler" $c_flags -std=c99 "$work/scan.c" -o "$work/pkg-config/scan" \
    $(PKG_CONFIG_LIBDIR="$root/usr/lib/pkgconfig" PKG_CONFIG_PATH="" \
      pkg-config --static --cflags --libs adcscan) $exe_linker_flags
  for dir in "$work/cmake" "$work/pkg-config"; do
    out=$(VBOARD_CH3=300 on_board "$board" "$dir/scan")
    expect "scan against the unpacked packages" "$out" '^ch3: 300$'
  done
  # Without the stand-in, a bridge program brings its own link library: here
  # the build's stand-in in a folder of its own, as a vendor's would be.
  build_bridge_with_own_link_library "$root/usr" "$work/bridge"
  out=$(VBOARD_CH4=444 peer_call "$board" "$build_dir/tools/linkpeer/linkpeer" 'rfcomm[4]' \
    "$work/bridge/rfcomm_server")
  expect "rfcomm_server against the board's packages" "$out" '^444$'
else
  board="$root/usr/lib/adckit/libvboard.so"
  build_with_find_package "$root/usr" "$work/scan.c" "$work/cmake"
  check_programs "$work/cmake" "$board" "$root/usr/bin/linkpeer"
  build_with_pkg_config "$root/usr/lib/pkgconfig" "$work/scan.c" "$work/pkg-config"
  check_programs "$work/pkg-config" "$board" "$root/usr/bin/linkpeer"
fi
echo "packages for $arch: contents as expected; programs built against them with find_package and pkg-config --static ran"
