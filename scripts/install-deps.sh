#!/bin/sh
# Installs the Debian packages listed in debian-packages.txt that are missing.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
pkgs=$(grep -v -e '^#' -e '^$' "$here/debian-packages.txt")
missing=""
for p in $pkgs; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "installing:$missing"
sudo_cmd=""
[ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
$sudo_cmd apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq --no-install-recommends $missing
