#!/usr/bin/env bash
# Runs the libFuzzer targets of a build made with -DFOTONEL_FUZZ=ON.
#
#   tools/fuzz.sh [--seconds N] [--build DIR] [TARGET...]
#       makes seed corpora (synthetic files from fotonel-synth, and the real
#       files of $FOTONEL_REAL_DATA when it is set, copied at run time into a
#       temporary folder, never into the repository), then runs each target
#       (fuzz_pt3, fuzz_ptu, fuzz_convert, fuzz_threads; all by default) for N seconds
#       (default 60) from the fixed seed FUZZ_SEED (default 1), so a run repeats
#       the mutations of an earlier one. Prints one line per target: seconds,
#       executions, coverage.
#       A crash, leak, timeout or memory blow-up leaves its input in
#       DIR/fuzz/artifacts and fails the script.
#   tools/fuzz.sh --reproducers TARGET_BINARY
#       runs the committed inputs of fuzz/reproducers/ through one target.
set -euo pipefail
root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
export LSAN_OPTIONS="suppressions=$root/tools/sanitizers/lsan.supp:print_suppressions=0${LSAN_OPTIONS:+:$LSAN_OPTIONS}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export QT_QPA_PLATFORM=offscreen

if [ "${1:-}" = "--reproducers" ]; then
    binary="$2"
    shopt -s nullglob
    inputs=("$root"/fuzz/reproducers/*)
    [ ${#inputs[@]} -gt 0 ] || { echo "no reproducers"; exit 0; }
    "$binary" -runs=1 -handle_xfsz=0 "${inputs[@]}" 2>&1 | tail -3
    exit "${PIPESTATUS[0]}"
fi

seconds=60
build="$root/build-sanitize"
targets=()
while [ $# -gt 0 ]; do
    case "$1" in
    --seconds) seconds="$2"; shift 2 ;;
    --build) build="$2"; shift 2 ;;
    fuzz_*) targets+=("$1"); shift ;;
    *) echo "usage: $0 [--seconds N] [--build DIR] [fuzz_pt3|fuzz_ptu|fuzz_convert|fuzz_threads...]" >&2; exit 2 ;;
    esac
done
[ ${#targets[@]} -gt 0 ] || targets=(fuzz_pt3 fuzz_ptu fuzz_convert fuzz_threads)

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
synth="$build/fotonel-synth"
seeds="$work/seeds"
mkdir -p "$seeds/pt3" "$seeds/ptu" "$seeds/convert"
# Small synthetic measurements of every kind, in both formats.
for kind in image line point; do
    for suffix in pt3 ptu; do
        "$synth" --kind "$kind" --records 1000 --pixels 8 "$seeds/$suffix/$kind.$suffix" >/dev/null
    done
done
# Real instrument files, when the folder is given.
if [ -n "${FOTONEL_REAL_DATA:-}" ] && [ -d "$FOTONEL_REAL_DATA" ]; then
    for f in "$FOTONEL_REAL_DATA"/*.pt3 "$FOTONEL_REAL_DATA"/*.ptu; do
        [ -f "$f" ] || continue
        suffix="${f##*.}"
        cp "$f" "$seeds/$suffix/real-$(basename "$f")"
    done
fi
# The conversion target reads its first byte as the export choice.
i=0
for f in "$seeds"/pt3/* "$seeds"/ptu/*; do
    { printf "\\x$(printf %02x $((i % 8)))"; head -c 8192 "$f"; } > "$seeds/convert/$(basename "$f")"
    i=$((i + 1))
done

artifacts="$build/fuzz/artifacts"
mkdir -p "$artifacts"
status=0
for target in "${targets[@]}"; do
    case "$target" in
    fuzz_pt3 | fuzz_threads) corpus="$seeds/pt3"; maxlen=65536 ;;
    fuzz_ptu) corpus="$seeds/ptu"; maxlen=65536 ;;
    fuzz_convert) corpus="$seeds/convert"; maxlen=8192 ;;
    esac
    mkdir -p "$work/new-$target"
    log="$build/fuzz/$target.log"
    if ! "$build/fuzz/$target" -max_total_time="$seconds" -max_len="$maxlen" -timeout=20 -rss_limit_mb=3072 -handle_xfsz=0 \
        -print_final_stats=1 -seed="${FUZZ_SEED:-1}" -artifact_prefix="$artifacts/$target-" \
        "$work/new-$target" "$corpus" >"$log" 2>&1; then
        echo "$target: FAILED, see $log and $artifacts"
        tail -40 "$log"
        status=1
        continue
    fi
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    cov=$(grep -o 'cov: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    ft=$(grep -o 'ft: [0-9]*' "$log" | tail -1 | cut -d' ' -f2)
    echo "$target: ${seconds} s, ${execs:-?} executions, coverage ${cov:-?} edges, ${ft:-?} features"
done
exit $status
