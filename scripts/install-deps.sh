#!/bin/sh
# Installs the Debian packages listed in debian-packages.txt that are missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pkgs=$(grep -v -e '^#' -e '^$' "$here/debian-packages.txt")
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
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing
