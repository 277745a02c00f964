#!/bin/sh
# Prints the path of a CPython >= 3.12 interpreter, preferring pyenv's 3.12.
set -e
ok() { "$1" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 12) else 1)' 2>/dev/null; }
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for p in "$root"/versions/3.12.*/bin/python3.12 "$root"/versions/3.1[3-9].*/bin/python3.1[3-9]; do
    if [ -x "$p" ] && ok "$p"; then echo "$p"; exit 0; fi
  done
fi
for p in python3.12 python3.13 python3.14 python3; do
  if command -v "$p" >/dev/null 2>&1 && ok "$(command -v "$p")"; then command -v "$p"; exit 0; fi
done
echo "no Python >= 3.12 found (install one, e.g. with pyenv)" >&2
exit 1
