#!/usr/bin/env bash
# Sets up the machine, builds Pstorian and runs every test.
#   scripts/test.sh            release build in build/
#   scripts/test.sh --asan     AddressSanitizer + UndefinedBehaviorSanitizer build in build-asan/
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
dir=build
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DPSTORIAN_WERROR=ON)
if [ "${1:-}" = "--asan" ]; then
  dir=build-asan
  flags=(-DCMAKE_BUILD_TYPE=Debug -DPSTORIAN_SANITIZE=ON -DPSTORIAN_BUILD_BENCH=OFF -DPSTORIAN_WERROR=ON)
fi
cmake -S . -B "$dir" -G Ninja "${flags[@]}"
cmake --build "$dir"
export QT_QPA_PLATFORM=offscreen
ctest --test-dir "$dir" --output-on-failure -j2
