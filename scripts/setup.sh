#!/usr/bin/env bash
# Installs the Debian packages that the chosen jobs need, and nothing when they are there.
#   scripts/setup.sh [JOB...]          (default: test)
#   scripts/setup.sh --list [JOB...]   prints the packages the jobs need, one a line
# Jobs:
#   build        compile pstorian-cli and the desktop program
#   sample       build, and run the main job (scripts/run-sample.sh)
#   test         build and run the tests, with the independent readers they compare with
#   asan         the same in the sanitizer build
#   screenshots  the tests' build, and an X server to take pictures under
#   package      build the .deb with cpack and check it with lintian
#   clang        build with clang instead of GCC
#   fuzz         the libFuzzer targets (clang)
#   ccache       a compiler cache (CI builds the same sources again in a fresh clone)
#   pst-extractor  the JavaScript reader pst-extractor 1.12.0 (npm) in build/node, which the
#                reader tests and scripts/sweep.sh compare with; its comparison of two Long
#                objects in findBtreeItem (`>`, which never finds a node of a 32-bit file) is
#                patched to `.greaterThan(index)` in the installed copy
# Quiet when nothing is missing; otherwise one line says what it installs.
set -euo pipefail
# Qt's translation tools gather the texts to translate and build the translations.
build=(g++ cmake ninja-build libcli11-dev nlohmann-json3-dev qt6-base-dev qt6-svg-dev qt6-tools-dev
       qt6-l10n-tools)
# The independent readers that the tests and measuring scripts compare our output with.
readers=(python3 python3-pypff pff-tools pst-utils)
# The npm reader goes into the project (build/ is not tracked), pinned, and patched once.
install_pst_extractor() {
  local dir=build/node version=1.12.0
  local file="$dir/node_modules/pst-extractor/dist/PSTFile.class.js"
  if ! grep -qs "\"version\": \"$version\"" "$dir/node_modules/pst-extractor/package.json"; then
    echo "setup.sh: installing pst-extractor $version into $dir"
    mkdir -p "$dir"
    npm install --prefix "$dir" --no-audit --no-fund --no-save --silent "pst-extractor@$version" >/dev/null
  fi
  sed -i 's/if (indexIdOfFirstChildNode > index) {/if (indexIdOfFirstChildNode.greaterThan(index)) {/' "$file"
  grep -q 'indexIdOfFirstChildNode.greaterThan(index)' "$file" ||
    { echo "setup.sh: pst-extractor's findBtreeItem was not patched" >&2; exit 1; }
}
list=false
if [ "${1:-}" = "--list" ]; then
  list=true
  shift
fi
packages=()
for job in "${@:-test}"; do
  case "$job" in
    build) packages+=("${build[@]}") ;;
    sample) packages+=("${build[@]}" python3) ;;
    test | asan) packages+=("${build[@]}" libgtest-dev libgmock-dev "${readers[@]}") ;;
    screenshots) packages+=("${build[@]}" libgtest-dev libgmock-dev xvfb xauth openbox) ;;
    package) packages+=("${build[@]}" dpkg-dev file lintian man-db python3) ;;
    ccache) packages+=(ccache) ;;
    # Some nodejs builds bring npm with them, and conflict with the npm package.
    pst-extractor) packages+=(nodejs)
                   command -v npm >/dev/null || packages+=(npm) ;;
    clang) packages+=("${build[@]}" clang) ;;
    fuzz) packages+=(cmake ninja-build clang libclang-rt-14-dev libcli11-dev nlohmann-json3-dev) ;;
    *) echo "setup.sh: unknown job $job (build, sample, test, asan, screenshots, package, clang, fuzz, ccache, pst-extractor)" >&2
       exit 2 ;;
  esac
done
if $list; then
  printf '%s\n' "${packages[@]}" | sort -u
  exit 0
fi
missing=()
for p in $(printf '%s\n' "${packages[@]}" | sort -u); do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
finish() {
  for job in "${@:-test}"; do
    [ "$job" = pst-extractor ] && (cd "$(dirname "$0")/.." && install_pst_extractor)
  done
  exit 0
}
[ ${#missing[@]} -eq 0 ] && finish "$@"
echo "setup.sh: installing ${missing[*]}"
SUDO=""
[ "$(id -u)" -ne 0 ] && SUDO=sudo
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends \
  -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
finish "$@"
