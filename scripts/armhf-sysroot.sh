#!/bin/sh
# Builds a sysroot of the board's architecture (Debian 12 armhf) holding the
# libraries the daemon and its unit tests link, by downloading the packages
# with a private apt state and unpacking them. The host's own packages are
# never touched: some armhf development packages (OpenCV's image codecs and
# video I/O) cannot be installed next to their amd64 twins through multiarch.
#
# Usage: scripts/armhf-sysroot.sh [SYSROOT [PACKAGE...]]
#   (default: /opt/capture_module-armhf-sysroot and the libraries below;
#   bench/converter_settings.py counts the board's converter in a root made
#   with "ffmpeg")
set -eu
sysroot="${1:-/opt/capture_module-armhf-sysroot}"
packages="libc6-dev libstdc++-12-dev libopencv-core-dev libopencv-imgproc-dev libopencv-imgcodecs-dev
libopencv-videoio-dev libturbojpeg0-dev libjpeg62-turbo-dev libgtest-dev libgmock-dev"
if [ $# -gt 1 ]; then
  shift
  packages="$*"
fi

stamp="$sysroot/.packages"
stamp_text="$packages (alternatives linked)"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$stamp_text" ]; then
  exit 0
fi

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/lists/partial" "$work/archives/partial"
: > "$work/status"
apt_opts="-o Dir::State::Lists=$work/lists -o Dir::State::status=$work/status
-o Dir::Cache::Archives=$work/archives -o Dir::Cache::pkgcache= -o Dir::Cache::srcpkgcache=
-o APT::Architecture=armhf -o APT::Architectures::=armhf -o Debug::NoLocking=1
-o APT::Install-Recommends=0 -o APT::Sandbox::User=root"
# shellcheck disable=SC2086
apt-get $apt_opts -qq update
# shellcheck disable=SC2086
apt-get $apt_opts -qq -y --download-only install $packages
rm -rf "$sysroot"
mkdir -p "$sysroot"
for deb in "$work"/archives/*.deb; do
  dpkg-deb -x "$deb" "$sysroot"
done
# Absolute symbolic links inside the sysroot point at the host; point them into the sysroot.
find "$sysroot" -type l | while read -r l; do
  t=$(readlink "$l")
  case "$t" in
    /*) ln -sfn "$sysroot$t" "$l" ;;
  esac
done
# Debian selects BLAS and LAPACK through alternatives, which unpacking does
# not create: point the plain library names at the reference ones.
for alt in blas/libblas.so.3 lapack/liblapack.so.3; do
  lib="$sysroot/usr/lib/arm-linux-gnueabihf"
  [ -e "$lib/$alt" ] && ln -sfn "$alt" "$lib/$(basename "$alt")"
done
echo "$stamp_text" > "$stamp"
echo "armhf sysroot ready: $sysroot ($(ls "$work"/archives/*.deb | wc -l) packages)"
