#!/usr/bin/env bash
# Configures Fotonel as a subdirectory of a tiny wrapper project and builds
# one of its programs there: every path of the build must come from Fotonel's
# own source and binary folders, not from the top-level project's.
#   tools/check_subproject.sh SOURCE_DIR
set -euo pipefail
source="$(cd "$1" && pwd)"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/wrapper"
cat > "$work/wrapper/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.18)
project(Wrapper LANGUAGES CXX)
set(FOTONEL_TESTS OFF CACHE BOOL "" FORCE)
set(FOTONEL_BENCH OFF CACHE BOOL "" FORCE)
add_subdirectory("$source" fotonel)
foreach(target fotonel fotonel-convert fotonel-synth fotonel_app)
  if(NOT TARGET \${target})
    message(FATAL_ERROR "target \${target} missing when Fotonel is a subdirectory")
  endif()
endforeach()
CMAKE
cmake -S "$work/wrapper" -B "$work/build" -DCMAKE_BUILD_TYPE=Release >"$work/configure.log" 2>&1 \
    || { cat "$work/configure.log"; exit 1; }
for asset in fotonel/manual.html fotonel/fotonel.ico fotonel/images/open.png; do
    [ -f "$work/build/$asset" ] || { echo "missing $asset beside the programs"; exit 1; }
done
cmake --build "$work/build" --target fotonel-synth -j2 >"$work/build.log" 2>&1 || { tail -30 "$work/build.log"; exit 1; }
"$work/build/fotonel/fotonel-synth" --kind point --records 10 "$work/x.pt3" >/dev/null
echo "Fotonel configures and builds as a subdirectory"
