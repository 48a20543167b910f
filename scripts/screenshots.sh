#!/usr/bin/env bash
# Runs the desktop program on a sample under Xvfb and saves pictures of the file selection
# dialog during the scan and of the main window after the repair, with a folder listed.
#   scripts/screenshots.sh [SAMPLE.pst] [OUTPUT_FOLDER]
set -euo pipefail
cd "$(dirname "$0")/.."
sample="${1:-../shared/corpus/ansi/outlook97-294-messages.pst}"
out="${2:-build/screenshots}"
bash scripts/setup.sh screenshots
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build --target pstorian_screenshots
mkdir -p "$out"
QT_QPA_PLATFORM=xcb xvfb-run -a -s "-screen 0 1280x800x24" \
  ./build/tests/ui/pstorian_screenshots "$sample" "$out"
