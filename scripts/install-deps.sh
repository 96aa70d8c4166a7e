#!/bin/sh
# Installs the Debian packages of a set that are missing:
#   scripts/install-deps.sh run     what building and the demo need
#                                   (debian-packages-run.txt)
#   scripts/install-deps.sh test    that and what the tests need
#                                   (debian-packages-test.txt); the default
# apt's own output is kept in a file and shown only when it fails.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
set_name="${1:-test}"
case "$set_name" in
  run) lists="$here/debian-packages-run.txt" ;;
  test) lists="$here/debian-packages-run.txt $here/debian-packages-test.txt" ;;
  *) echo "usage: $0 [run|test]" >&2; exit 2 ;;
esac
# shellcheck disable=SC2086
pkgs=$(cat $lists | grep -v -e '^#' -e '^$')
missing=""
arch=$(dpkg --print-architecture)
for p in $pkgs; do
  # Installed for this machine's architecture (or for all): a package of
  # another architecture installed through multiarch does not count.
  dpkg-query -W -f='${Status} ${Architecture}\n' "$p" 2>/dev/null |
    grep -q -E "install ok installed ($arch|all)$" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
log=$(mktemp "${TMPDIR:-/tmp}/install-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
# shellcheck disable=SC2086
if ! { $sudo_cmd apt-get update -qq &&
       DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing; } \
     > "$log" 2>&1; then
  cat "$log" >&2
  echo "installing the packages failed (apt's output above)" >&2
  exit 1
fi
echo "installed."
