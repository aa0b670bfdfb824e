# Debian packages the build, the tests and the demo need; installs the
# missing ones (as root, or through sudo).
#
#   adckit_install_packages [SET...]    the named sets; native, armv6 and tests when none
#
# native: what the native demo needs; armv6: the cross build and its
# emulator; tests: what the test suites, the fuzzer and packaging need;
# docs: what scripts/capture-picture draws the documentation's picture with
# (not installed unless asked for).
adckit_packages_native=(g++ cmake ninja-build)
adckit_packages_armv6=(g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user)
adckit_packages_tests=(
  pkg-config googletest libgtest-dev
  util-linux clang libclang-rt-14-dev
  dpkg-dev file gcovr lintian help2man binutils
  spi-tools python3 python3-spidev python3-periphery gpiod python3-libgpiod libgpiod-dev
  bash dash coreutils findutils busybox nodejs sigrok-cli
)

adckit_packages_docs=(gtkwave xvfb xauth x11-apps imagemagick)

adckit_install_packages() {
  local sets=("$@") wanted=() missing=() set p
  [ ${#sets[@]} -gt 0 ] || sets=(native armv6 tests)
  for set in "${sets[@]}"; do
    case "$set" in
      native) wanted+=("${adckit_packages_native[@]}") ;;
      armv6) wanted+=("${adckit_packages_armv6[@]}") ;;
      tests) wanted+=("${adckit_packages_tests[@]}") ;;
      docs) wanted+=("${adckit_packages_docs[@]}") ;;
      *) echo "adckit_install_packages: no package set '$set'" >&2; return 2 ;;
    esac
  done
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
