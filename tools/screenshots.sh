#!/usr/bin/env bash
# Pictures of the main window for the README, taken under a virtual X server
# (Xvfb) from synthetic measurements written by fotonel-synth:
#   docs/window-image-scan.png   an image scan of a few cells just opened, its Data tab shown
#   docs/window-correlation.png  a point measurement of diffusing molecules after "ACF/XCF"
#                                with a maximum lag of 100 ms (its correlation tab)
# Needs a build in ./build (tools/build.sh build) and xvfb-run (apt-get install -y xvfb).
# Usage: tools/screenshots.sh [OUTPUT_FOLDER]   (default: docs)
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${FOTONEL_BUILD:-$root/build}"
out="$(mkdir -p "${1:-$root/docs}" && cd "${1:-$root/docs}" && pwd)"
for program in fotonel-synth fotonel-screenshot; do
    [ -x "$build/$program" ] || { echo "missing $build/$program: build first (tools/build.sh build)" >&2; exit 1; }
done
command -v xvfb-run >/dev/null || { echo "xvfb-run missing: apt-get install -y xvfb" >&2; exit 1; }

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
"$build/fotonel-synth" --kind cells --pixels 256 --records 800000 "$work/sample_image.pt3" >/dev/null
"$build/fotonel-synth" --kind fcs --records 600000 "$work/sample_point.pt3" >/dev/null
# Opened by their plain names (the window shows the name it was given).

# The window reads and writes lastsettings.dat in its working folder: a fresh
# one gives the default settings. Pictures and manual are found beside the program.
shoot() {
    (cd "$work" && xvfb-run -a -s "-screen 0 1280x1024x24" "$build/fotonel-screenshot" "$@")
}
shoot --tab DataTab sample_image.pt3 "$out/window-image-scan.png"
shoot --tmax 100 --correlation sample_point.pt3 "$out/window-correlation.png"
echo "wrote $out/window-image-scan.png and $out/window-correlation.png"
