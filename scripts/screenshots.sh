#!/usr/bin/env bash
# Runs the desktop program on a sample under Xvfb with a window manager (openbox) and saves
# pictures of it at scale 1 and at scale 1.5 (QT_SCALE_FACTOR) on a 1280x800 screen: the file
# selection dialog during the scan, the main window during and after the repair, a folder
# listed, a listed item with an attachment, and the About box.
#   scripts/screenshots.sh [SAMPLE.pst] [OUTPUT_FOLDER]
# The pictures go to OUTPUT_FOLDER/scale-1 and OUTPUT_FOLDER/scale-1.5.
set -euo pipefail
cd "$(dirname "$0")/.."
sample="${1:-../shared/corpus/ansi/outlook2000-73-messages.pst}"
out="${2:-build/screenshots}"
bash scripts/setup.sh screenshots
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian_screenshots
for scale in 1 1.5; do
  mkdir -p "$out/scale-$scale"
  QT_QPA_PLATFORM=xcb QT_SCALE_FACTOR="$scale" xvfb-run -a -s "-screen 0 1280x800x24" \
    bash -c 'openbox & wm=$!; sleep 1; "$@"; status=$?; kill $wm; exit $status' _ \
    ./build/tests/ui/pstorian_screenshots "$sample" "$out/scale-$scale"
done
