#!/usr/bin/env bash
# Installs the built Python package (build/python/brevant) for Debian's python3, in the
# folder that interpreter keeps for the machine's own packages. When another python3 of
# the same version comes first on the PATH (pyenv, say), it is told where to find the
# package, and Debian's numpy if it has none, through a .pth file: then `python3 -c
# "import brevant"` works in any folder and shell.
set -euo pipefail
cd "$(dirname "$0")/.."
as_root=()
[ "$(id -u)" -eq 0 ] || as_root=(sudo)
"${as_root[@]}" cmake --install build --component python >/dev/null
site=$(/usr/bin/python3 -c "import sysconfig; print(sysconfig.get_path('platlib', 'posix_local'))")
echo "Installed the brevant package for /usr/bin/python3 in $site."

other=$(command -v python3 || true)
[ -n "$other" ] || exit 0
other_exe=$("$other" -c "import sys; print(sys.executable)" 2>/dev/null || true)
[ -n "$other_exe" ] && [ "$(readlink -f "$other_exe")" != "$(readlink -f /usr/bin/python3)" ] || exit 0
version() { "$1" -c "import sys; print('%d.%d' % sys.version_info[:2])"; }
if [ "$(version "$other_exe")" != "$(version /usr/bin/python3)" ]; then
  echo "Note: python3 on the PATH ($other_exe) is Python $(version "$other_exe"); the package is" \
       "built for /usr/bin/python3 (Python $(version /usr/bin/python3)): use that one."
  exit 0
fi
# Same version, same extension ABI: a folder of links to the package (and to Debian's numpy
# if that interpreter has none), named in a .pth file of its site folder.
links=/usr/local/lib/brevant-python
"${as_root[@]}" mkdir -p "$links"
"${as_root[@]}" ln -sfn "$site/brevant" "$links/brevant"
if ! "$other_exe" -c "import numpy" 2>/dev/null; then
  "${as_root[@]}" ln -sfn /usr/lib/python3/dist-packages/numpy "$links/numpy"
fi
other_site=$("$other_exe" -c "import sysconfig; print(sysconfig.get_path('purelib'))")
echo "$links" | "${as_root[@]}" tee "$other_site/brevant-debian.pth" >/dev/null
echo "Made the package visible to $other_exe as well."
