#!/usr/bin/env bash
# Installs what the build needs (Debian 12), builds Fotonel in ./build, then
#   sample : writes a synthetic image-scan sample and converts it with fotonel-convert
#   test   : runs every test through CTest
#   build  : only builds
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
what="${1:-build}"
case "$what" in sample|test|build) ;; *) echo "usage: $0 [sample|test|build]" >&2; exit 2 ;; esac

bash "$root/tools/setup.sh"

build="$root/build"
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j"$(nproc)"

case "$what" in
sample)
    mkdir -p "$build/sample"
    "$build/fotonel-synth" --kind image "$build/sample/sample.pt3"
    "$build/fotonel-convert" "$build/sample/sample.pt3"
    ;;
test)
    cd "$build"
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j"$(nproc)"
    ;;
esac
