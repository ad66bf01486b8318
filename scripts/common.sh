# Shared by scripts/run and scripts/test: packages and the build.
# shellcheck shell=bash

ZK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ZK_BUILD=${ZK_BUILD:-$ZK_ROOT/build}

# Debian packages the program, its tests and its tools need.
ZK_PACKAGES=(
  cmake g++ make pkg-config libbenchmark-dev
  qt6-base-dev qt6-serialport-dev libqt6serialport6-dev
  libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc
  qt6-qpa-plugins fonts-dejavu-core
  xvfb xauth x11-apps imagemagick
  python3 python3-xlrd python3-dbfread
  postgresql
)

zk_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

zk_install() {
  local missing=()
  local p
  for p in "${ZK_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  zk_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  zk_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

zk_build() {
  cmake -S "$ZK_ROOT" -B "$ZK_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
  cmake --build "$ZK_BUILD" -j"$(nproc)"
}
