#!/usr/bin/env bash
# Makes sure the Debian packages named are installed: as root, installs the
# missing ones with apt; otherwise prints the apt-get line and fails.
#
#   usage: scripts/debian-packages.sh PACKAGE...
set -euo pipefail

missing=""
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'ok installed' || missing="$missing $pkg"
done
[ -n "$missing" ] || exit 0
if [ "$(id -u)" = 0 ]; then
  echo "installing:$missing"
  apt-get update -qq
  # shellcheck disable=SC2086 # one word per package
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends $missing
else
  echo "missing Debian packages:$missing"
  echo "install them with: sudo apt-get install -y --no-install-recommends$missing"
  exit 1
fi
