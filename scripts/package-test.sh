#!/usr/bin/env bash
# Builds the Debian package as a packager would (build type None with Debian's own compiler
# and linker flags, installed under /usr), checks it with lintian, installs it on this machine
# with apt-get, runs what it installed (--version, the manual page, a repair of a damaged
# sample and a check of the result) and removes the package again.
#   scripts/package-test.sh [BUILD_FOLDER]      (default build-package)
set -euo pipefail
cd "$(dirname "$0")/.."
dir="${1:-build-package}"
bash scripts/setup.sh package
if dpkg-query -W -f='${Status}' pstorian 2>/dev/null | grep -q 'install ok installed'; then
  echo "package-test: a pstorian package is installed already; remove it first" >&2
  exit 2
fi
CXXFLAGS="$(dpkg-buildflags --get CXXFLAGS) $(dpkg-buildflags --get CPPFLAGS)" \
LDFLAGS="$(dpkg-buildflags --get LDFLAGS)" \
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_INSTALL_PREFIX=/usr \
    -DPSTORIAN_BUILD_TESTS=OFF -DPSTORIAN_BUILD_BENCH=OFF >/dev/null
cmake --build "$dir"
rm -f "$dir"/pstorian_*.deb
(cd "$dir" && cpack -G DEB >/dev/null)
deb="$(ls "$dir"/pstorian_*.deb)"
echo "package: $deb"
dpkg-deb --field "$deb" Depends
dpkg-deb --field "$deb" Depends | grep -q libqt6svg6 || { echo "no SVG plugin dependency" >&2; exit 1; }
# lintian says what it finds; an error fails the job.
if ! lintian --fail-on error "$deb" >"$dir/lintian.txt" 2>&1; then
  grep -v '^running with root privileges' "$dir/lintian.txt" >&2
  echo "package-test: lintian found errors" >&2
  exit 1
fi
grep -v '^running with root privileges' "$dir/lintian.txt" || true

work="$(mktemp -d)"
cleanup() {
  DEBIAN_FRONTEND=noninteractive apt-get remove -y -qq --purge -o DPkg::Lock::Timeout=600 \
    pstorian >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "$(realpath "$deb")" >/dev/null
pstorian-cli --version
QT_QPA_PLATFORM=offscreen pstorian --version
man -P cat pstorian-cli 2>/dev/null | head -4
[ -f /usr/share/bash-completion/completions/pstorian-cli ]
pstorian-cli sample "$work/mailbox.pst" --messages 200 --folders 8 >/dev/null
python3 scripts/damage-sample.py "$work/mailbox.pst" "$work/damaged.pst" >/dev/null
pstorian-cli check "$work/damaged.pst" >/dev/null && { echo "the damage was not found" >&2; exit 1; }
pstorian-cli repair "$work/damaged.pst" --overwrite --json > "$work/summary.json"
python3 -c 'import json,sys; s=json.load(open(sys.argv[1])); assert s["mail_items_written"] == 200, s; print("repaired:", s["mail_items_written"], "items in", s["output"])' "$work/summary.json"
pstorian-cli check "$work/damaged Recovered.pst" | tail -3
echo "package-test: the installed package works"
