#!/bin/sh
# Installs the Debian packages the build needs, only those that are missing.
set -e
need=""
for pkg in "$@"; do
  dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || need="$need $pkg"
done
[ -z "$need" ] && exit 0
echo "installing:$need"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO="sudo"
$SUDO apt-get install -y $need || { $SUDO apt-get update && $SUDO apt-get install -y $need; }
