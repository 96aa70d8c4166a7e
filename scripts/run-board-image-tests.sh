#!/bin/sh
# Tests what a board gets: the project's Debian package installed with
# apt-get into a minimal Debian 12 root of the board's architecture (armhf,
# run through qemu-user-static and binfmt_misc) and of the build machine's
# (amd64), started as its systemd unit starts it, with the image's own
# converter, upload tool and fixed paths (tests/image/test_board_image.py).
#
#   scripts/run-board-image-tests.sh [ARCH...]          (default: amd64 armhf)
#   scripts/run-board-image-tests.sh --roots [ARCH...]  only make the base roots
#
# Each base root (debootstrap's minbase, the Debian packages that the
# package depends on, and systemd) is made once, from the Debian mirror that
# this machine's apt uses, and kept under CM_IMAGE_CACHE
# (/var/cache/capture-module-images), named after its architecture and its
# package list; every test run lays a fresh writable layer over it. Needs
# root, debootstrap and qemu-user-static (scripts/debian-packages.txt).
set -eu
top=$(cd "$(dirname "$0")/.." && pwd)
cache="${CM_IMAGE_CACHE:-/var/cache/capture-module-images}"
suite=bookworm
# What the package depends on (its Depends field, without versions), and
# systemd, which starts it on the board. Should the package come to depend
# on a package missing here, its installation in the test fails (the test
# has no network to fetch it) and apt-get's output names it.
packages="systemd ffmpeg ncftp libopencv-core406 libopencv-imgproc406 libopencv-imgcodecs406
libopencv-videoio406 libturbojpeg0"
started=$(date +%s)
step_done() {
  now=$(date +%s)
  echo "=== board image, $1: $((now - started)) s"
  started=$now
}

# The root of ARCH in the cache, made first if missing.
base_root() {
  key=$(printf '%s\n' "$suite" $packages | sha256sum | cut -c1-12)
  kept="$cache/$suite-$1-$key"
  mkdir -p "$cache"
  exec 9> "$cache/.lock-$1"
  flock 9
  if [ ! -d "$kept" ]; then
    # Roots of an earlier package list are not used again.
    rm -rf "$cache/$suite-$1-"*
    make_root "$1" "$kept.new" >&2
    mv "$kept.new" "$kept"
  fi
  exec 9>&-
  echo "$kept"
}

# Runs a command in ROOT with /proc and /dev, in a mount namespace that
# ends with it.
in_root() {
  unshare --mount -- sh -c 'r=$1; shift; mount -t proc proc "$r/proc" && mount --rbind /dev "$r/dev" &&
    exec chroot "$r" "$@"' in_root "$@"
}

# Makes the root of architecture $1 in directory $2.
make_root() {
  # The mirror and suites of this machine's apt, for Debian's main component.
  sources=$(apt-get indextargets --format '$(REPO_URI) $(RELEASE) $(COMPONENT)' 'Created-By: Packages' |
    awk -v s="$suite" '($2 == s || index($2, s "-") == 1) && $3 == "main" { print $1, $2 }' | sort -u)
  mirror=$(echo "$sources" | awk -v s="$suite" '$2 == s { print $1; exit }')
  if [ -z "$mirror" ]; then
    echo "no Debian $suite mirror in this machine's apt sources" >&2
    exit 1
  fi
  rm -rf "$2"
  debootstrap --arch="$1" --variant=minbase "$suite" "$2" "$mirror" > "$2.log" 2>&1 ||
    { tail -30 "$2.log"; exit 1; }
  echo "$sources" | awk '{ print "deb", $1, $2, "main" }' > "$2/etc/apt/sources.list"
  in_root "$2" sh -c "export DEBIAN_FRONTEND=noninteractive && apt-get -qq update &&
    apt-get -qq -y dist-upgrade && apt-get -qq -y --no-install-recommends install $(echo $packages) &&
    apt-get clean" >> "$2.log" 2>&1 || { tail -30 "$2.log"; exit 1; }
  rm -f "$2.log"
}

# binfmt_misc runs the armhf programs of the root through qemu-arm-static;
# its F flag opens the emulator at registration, so that it runs inside the
# root too.
armhf_emulation() {
  binfmt=/proc/sys/fs/binfmt_misc
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt"
  if [ ! -e "$binfmt/qemu-arm" ]; then
    cat /usr/lib/binfmt.d/qemu-arm.conf > "$binfmt/register"
  fi
  if ! grep -q '^flags:.*F' "$binfmt/qemu-arm" || ! grep -q '^enabled' "$binfmt/qemu-arm"; then
    echo "binfmt_misc's qemu-arm entry is disabled or lacks the F flag:" >&2
    cat "$binfmt/qemu-arm" >&2
    exit 1
  fi
}

# Builds the package of ARCH; prints the build directory.
build_package() {
  case $1 in
    armhf)
      build="${CM_ARMHF_BUILD_DIR:-$top/build-armhf}"
      CM_BUILD_ONLY=1 "$top/scripts/run-armhf-tests.sh" >&2 ;;
    *)
      build="${CM_BUILD_DIR:-$top/build}"
      cmake --build "$build" >&2 ;;
  esac
  rm -rf "$build/package"
  (cd "$build" && cpack -G DEB -B "$build/package" > /dev/null)
  echo "$build"
}

[ "$(id -u)" -eq 0 ] || { echo "the board image tests need root (debootstrap, chroot, namespaces)" >&2; exit 1; }
roots_only=no
if [ "${1:-}" = --roots ]; then
  roots_only=yes
  shift
fi
archs="${*:-amd64 armhf}"
status=0
for arch in $archs; do
  [ "$arch" = armhf ] && armhf_emulation
  root=$(base_root "$arch")
  step_done "$arch root"
  [ $roots_only = yes ] && continue
  build=$(build_package "$arch")
  step_done "$arch package"
  # A network of its own with only a loopback (the upload server on
  # 127.0.0.1:21) and mounts that end with the test.
  CM_IMAGE_BASE="$root" CM_IMAGE_ARCH="$arch" CM_BUILD_DIR="$build" CM_SOURCE_DIR="$top" \
    CM_IMAGE_DEB=$(ls "$build"/package/capture-module_*_"$arch".deb) \
    unshare --mount --net -- sh -c 'ip link set lo up && exec /usr/bin/python3 "$1"' run \
    "$top/tests/image/test_board_image.py" || status=1
  step_done "$arch tests"
done
exit $status
