# Shared by scripts/run and scripts/test: packages and the build.
# shellcheck shell=bash

ZK_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# ZK_SANITIZE=1: a separate build with AddressSanitizer and UndefinedBehaviorSanitizer.
if [ "${ZK_SANITIZE:-0}" = 1 ]; then
  ZK_BUILD=${ZK_BUILD:-$ZK_ROOT/build-sanitize}
  ZK_SANITIZE_ON=ON
  export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=0}
  export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}
fi
ZK_BUILD=${ZK_BUILD:-$ZK_ROOT/build}

# Debian packages the program needs to build and run. Every name is a real package,
# so a second run finds them all installed and installs nothing.
ZK_RUN_PACKAGES=(
  cmake g++ make pkg-config
  qt6-base-dev qt6-svg-dev
  libqt6sql6-sqlite libqt6sql6-psql libqt6sql6-odbc
  unixodbc-dev
  qt6-qpa-plugins qt6-translations-l10n fonts-dejavu-core
  xvfb xauth
)
# unixodbc-dev: the ODBC headers for the query timeout on each statement handle (the build
# goes on without them).
# What scripts/package needs besides: the tools CPack's Debian packages are made with.
ZK_PACKAGE_PACKAGES=(
  dpkg-dev file
)
# What the tests, the benchmarks and the screenshots need besides (the package's checks too).
ZK_TEST_PACKAGES=(
  libbenchmark-dev x11-apps imagemagick
  python3 python3-xlrd python3-dbfread
  postgresql
  "${ZK_PACKAGE_PACKAGES[@]}" lintian desktop-file-utils
  # odbc-postgresql: the production tests run through QODBC too, against the test run's
  # PostgreSQL server; its installation registers the driver "PostgreSQL Unicode" in
  # /etc/odbcinst.ini (through odbcinst, which it depends on).
  odbc-postgresql
)
# What scripts/fuzz needs besides the program's packages: clang and its libFuzzer.
ZK_FUZZ_PACKAGES=(
  clang libclang-rt-dev
)
ZK_PACKAGES=("${ZK_RUN_PACKAGES[@]}")

zk_sudo() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# zk_install [PACKAGE...]: the packages named, ZK_PACKAGES without arguments.
zk_install() {
  local missing=()
  local p
  local wanted=("$@")
  [ ${#wanted[@]} -eq 0 ] && wanted=("${ZK_PACKAGES[@]}")
  for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  zk_sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  zk_sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

zk_build() {
  cmake -S "$ZK_ROOT" -B "$ZK_BUILD" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZK_SANITIZE="${ZK_SANITIZE_ON:-OFF}" >/dev/null
  cmake --build "$ZK_BUILD" -j"$(nproc)"
}
