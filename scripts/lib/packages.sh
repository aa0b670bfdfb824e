# Debian packages the build, the tests and the demo need; installs the
# missing ones (as root, or through sudo).
adckit_packages=(
  g++ cmake ninja-build pkg-config
  googletest libgtest-dev libgmock-dev
  g++-arm-linux-gnueabihf libc6-dev-armhf-cross qemu-user
  util-linux clang libclang-rt-14-dev
  spi-tools python3 python3-spidev python3-periphery
)

adckit_install_packages() {
  local missing=() p
  for p in "${adckit_packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
}
