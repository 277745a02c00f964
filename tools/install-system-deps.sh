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
APT="$SUDO env DEBIAN_FRONTEND=noninteractive apt-get"
$APT install -y $need || { $APT update && $APT install -y $need; }
