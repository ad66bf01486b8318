#!/usr/bin/env bash
# The Debian package of the build folder: made into a scratch folder, checked by lintian
# (no error), unpacked, and its own zelta-kn-cli run from there.
#   tests/package.sh BUILD_DIR
set -euo pipefail
build=$1
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

cpack --config "$build/CPackConfig.cmake" -G DEB -B "$scratch/out" >"$scratch/cpack.log" 2>&1 \
  || { cat "$scratch/cpack.log"; exit 1; }
deb=$(ls "$scratch"/out/zelta-kn_*.deb)
echo "package: $(basename "$deb")"
dpkg-deb -f "$deb" Depends

lintian --fail-on error "$deb"

root=$scratch/root
dpkg-deb -x "$deb" "$root"
for f in usr/bin/zelta-kn usr/bin/zelta-kn-cli usr/bin/zelta-kn-sim usr/bin/zelta-kn-ports \
         usr/share/zelta-kn/Help_zelta_kn.rtf usr/share/applications/zelta-kn.desktop \
         usr/share/icons/hicolor/scalable/apps/zelta-kn.svg usr/share/icons/hicolor/48x48/apps/zelta-kn.png \
         usr/share/man/man1/zelta-kn-cli.1.gz usr/share/bash-completion/completions/zelta-kn-cli \
         usr/share/doc/zelta-kn/copyright usr/share/doc/zelta-kn/changelog.gz; do
  [ -e "$root/$f" ] || { echo "missing from the package: /$f" >&2; exit 1; }
done
desktop-file-validate "$root/usr/share/applications/zelta-kn.desktop"

version=$("$root/usr/bin/zelta-kn-cli" --version)
echo "$version"
[ "$version" = "zelta-kn-cli $(dpkg-deb -f "$deb" Version)" ] || { echo "version differs from the package's" >&2; exit 1; }
status=$("$root/usr/bin/zelta-kn-cli" status 0x90)
echo "$status"
[ -n "$status" ]
# The ports tool creates the preferences file readable by its owner alone: it may come to
# hold the database password.
HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config "$root/usr/bin/zelta-kn-ports" COM9 /dev/ttyUSB0
mode=$(stat -c %a "$scratch/home/.config/Kalvimet/Zelta-KN.conf")
[ "$mode" = 600 ] || { echo "zelta-kn-ports made the preferences file $mode" >&2; exit 1; }
# The window without a display that answers: one line naming what is missing, status 1.
# With the platform named it starts (and ends after its first paint).
for display in "" DISPLAY=:4731 DISPLAY=localhost:4731 WAYLAND_DISPLAY=wayland-zk; do
  rc=0
  said=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM XDG_RUNTIME_DIR="$scratch" $display \
    timeout 20 "$root/usr/bin/zelta-kn" 2>&1 >/dev/null) || rc=$?
  echo "$said"
  [ "$rc" = 1 ] && [ "$(printf '%s\n' "$said" | wc -l)" = 1 ] && [[ $said == "zelta-kn: нет дисплея ("* ]] \
    || { echo "zelta-kn with ${display:-no display} ended with status $rc" >&2; exit 1; }
done
# A display that answers: the check lets the window start on it.
Xvfb :4733 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null; rm -rf "$scratch"' EXIT
for _ in $(seq 100); do [ -S /tmp/.X11-unix/X4733 ] && break; sleep 0.1; done
painted=$(cd "$scratch" && env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4733 HOME=$scratch/home \
  XDG_CONFIG_HOME=$scratch/home/.config ZK_STARTUP_PROBE=1 timeout 60 "$root/usr/bin/zelta-kn")
[[ $painted == painted* ]] || { echo "zelta-kn did not start on the display :4733" >&2; exit 1; }
painted=$(cd "$scratch" && HOME=$scratch/home XDG_CONFIG_HOME=$scratch/home/.config QT_QPA_PLATFORM=offscreen \
  ZK_STARTUP_PROBE=1 timeout 60 "$root/usr/bin/zelta-kn")
[[ $painted == painted* ]] || { echo "zelta-kn did not start on the offscreen platform" >&2; exit 1; }
