#!/usr/bin/env bash
# Opens every image export of a synthetic image scan and a synthetic line scan
# in ImageJ (Debian's package `imagej`, under Xvfb, one batch run for all
# files) and compares what ImageJ sees -- slices, width, height, bit depth and
# pixel sum -- with what the analysis reported for the same measurement.
#
#   usage: check_imagej.sh FOTONEL-SYNTH FOTONEL-CONVERT
#
# Exit status: 0 when every file matches, 1 on any difference or failure,
# 77 when imagej, xvfb-run or xauth is missing (CTest then reports the test skipped).
set -euo pipefail

if [ $# -ne 2 ]; then
    echo "usage: $0 FOTONEL-SYNTH FOTONEL-CONVERT" >&2
    exit 2
fi
synth=$1
convert=$2
for tool in imagej xvfb-run xauth; do
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "SKIPPED: $tool is not installed (tools/setup.sh installs imagej, xvfb and xauth)"
        exit 77
    fi
done
export QT_QPA_PLATFORM=offscreen

# No blanks in the folder: Debian's imagej wrapper passes the macro's name through eval.
work=$(mktemp -d /tmp/fotonel-imagej.XXXXXX)
trap 'rm -rf "$work"' EXIT
tauBin=0.5   # ns; lifetime-resolved stack and position-delay histogram

fail() {
    echo "FAILED: $*"
    exit 1
}

# The same measurements in two folders, because the 8- and 16-bit exports share their names.
mkdir -p "$work/s8" "$work/s16" "$work/home"
declare -A synthPhotons
for kind in image line; do
    records=100000
    [ "$kind" = line ] && records=20000
    out=$("$synth" --kind "$kind" --records "$records" "$work/s8/$kind.pt3") || fail "fotonel-synth --kind $kind"
    # "Wrote FILE: R records, P photons, ..."
    synthPhotons[$kind]=$(sed -n 's/.* records, \([0-9]*\) photons,.*/\1/p' <<<"$out")
    cp "$work/s8/$kind.pt3" "$work/s16/$kind.pt3"
done

run_convert() {
    "$convert" "$@" >"$work/convert.log" 2>&1 || { cat "$work/convert.log"; fail "fotonel-convert $*"; }
}
run_convert --export stack --bits 8 "$work/s8/image.pt3" "$work/s8/line.pt3"
run_convert --export raw --bits 8 "$work/s8/image.pt3" "$work/s8/line.pt3"
run_convert --export stack --bits 16 --decay --tau-bin "$tauBin" "$work/s16/image.pt3" "$work/s16/line.pt3"
run_convert --export images --bits 16 "$work/s16/image.pt3" "$work/s16/line.pt3"
run_convert --export raw --bits 16 "$work/s16/image.pt3" "$work/s16/line.pt3"

# What the analysis holds, from the converter's header and information text:
# "W H F SYNC" on the first line, then "CHANNEL MAX PHOTONS" per active channel.
analysis() {
    "$convert" "$2" 2>/dev/null | awk -v kind="$1" '
        function value(line) { sub(/^[^:]*: */, "", line); sub(/ .*/, "", line); return line }
        /^ *Image Width : /                { W = value($0) }
        kind == "image" && /^ *Image Height : /           { H = value($0) }
        kind == "image" && /^ *Final Number of Images : / { F = value($0) }
        kind == "line" && /^ *Number of Lines : /         { H = value($0); F = 1 }  # one frame in a line scan
        /^ *Sync Period : /                { S = value($0) }
        /^ *Channel [1-4] : Min = / {
            c = $2; max = $0; n = $0
            sub(/.*Max = /, "", max); sub(/,.*/, "", max)
            sub(/.*Photon count = /, "", n); sub(/,.*/, "", n)
            channels = channels c " " max " " n "\n"
        }
        END { printf "%s %s %s %s\n%s", W, H, F, S, channels }'
}

# expected.tsv: name, slices, width, height, bits, pixel sum.
# open.tsv: name, then the files ImageJ opens for it (a .ijm file is run as a macro).
: >"$work/expected.tsv"
: >"$work/open.tsv"
entry() {  # NAME SLICES WIDTH HEIGHT BITS SUM FILE...
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$1" "$2" "$3" "$4" "$5" "$6" >>"$work/expected.tsv"
    local name=$1
    shift 6
    [ $# -gt 0 ] && [ -e "$1" ] || fail "$name: no file written"
    (IFS=$'\t'; printf '%s\t%s\n' "$name" "$*") >>"$work/open.tsv"
}
for kind in image line; do
    info=$(analysis "$kind" "$work/s16/$kind.pt3")
    read -r W H F S <<<"$(head -n 1 <<<"$info")"
    [ -n "$W" ] && [ -n "$H" ] && [ -n "$F" ] && [ -n "$S" ] || fail "$kind: no geometry in the information text"
    # Delay bins: ceil(sync period / bin width).
    N=$(awk -v s="$S" -v w="$tauBin" 'BEGIN { n = int(s / w); if (n * w < s) n++; print n }')
    total=0
    while read -r c max n; do
        [ -n "$c" ] || continue
        total=$((total + n))
        # Counts below 256 keep their value in the 8-bit exports (they are written modulo 256).
        [ "$max" -lt 256 ] || fail "$kind: counts up to $max do not fit the 8-bit expectation"
        base8="$work/s8/${kind}_export/${kind}_ch$c"
        base16="$work/s16/${kind}_export/${kind}_ch$c"
        entry "$kind ch$c 8-bit stack" "$F" "$W" "$H" 8 "$n" "$base8.tif"
        entry "$kind ch$c 16-bit stack" "$F" "$W" "$H" 16 "$n" "$base16.tif"
        entry "$kind ch$c 16-bit series" "$F" "$W" "$H" 16 "$n" "$base16"_[0-9]*.tif
        entry "$kind ch$c 8-bit raw" "$F" "$W" "$H" 8 "$n" "$base8.raw.ijm"
        entry "$kind ch$c 16-bit raw" "$F" "$W" "$H" 16 "$n" "$base16.raw.ijm"
        # Every placed photon lies in a kept frame and in the default gates, which span the
        # whole sync period, so the delay exports (which ignore the gates) hold them all.
        if [ "$kind" = image ]; then
            entry "$kind ch$c lifetime stack" "$N" "$W" "$H" 16 "$n" "$work/s16/image_export/image_Histogram_ch$c.tif"
        else
            entry "$kind ch$c position-delay" 1 "$N" "$W" 16 "$n" "$work/s16/line_export/line_histogram_ch$c.tif"
        fi
    done < <(tail -n +2 <<<"$info")
    [ "$total" -gt 0 ] || fail "$kind: no channel with photons in the information text"
    [ "$total" -eq "${synthPhotons[$kind]}" ] ||
        fail "$kind: the analysis placed $total of the ${synthPhotons[$kind]} synthetic photons"
done

# The macro: opens each entry's files in turn and prints their slices, width, height,
# bit depth and pixel sum together; -1 marks files of one entry that differ in size or depth.
cat >"$work/measure.ijm" <<'EOF'
setBatchMode(true);
lines = split(File.openAsString(getArgument()), "\n");
for (i = 0; i < lines.length; i++) {
    fields = split(lines[i], "\t");
    slices = 0; width = 0; height = 0; bits = 0; sum = 0;
    for (j = 1; j < fields.length; j++) {
        if (endsWith(fields[j], ".ijm"))
            runMacro(fields[j]);
        else
            open(fields[j]);
        if (j == 1) {
            width = getWidth(); height = getHeight(); bits = bitDepth();
        } else if (width != getWidth() || height != getHeight() || bits != bitDepth()) {
            width = -1; height = -1; bits = -1;
        }
        for (s = 1; s <= nSlices; s++) {
            setSlice(s);
            getRawStatistics(pixels, mean);
            sum += round(pixels * mean);
        }
        slices += nSlices;
        run("Close All");
    }
    print("RESULT\t" + fields[0] + "\t" + slices + "\t" + width + "\t" + height + "\t" + bits + "\t" + d2s(sum, 0));
}
print("DONE " + getVersion());
EOF

# Debian's wrapper always exits 1 (its exit trap); the printed results tell. ImageJ keeps its
# settings in HOME and xvfb-run its authority file in TMPDIR: both inside the work folder.
HOME="$work/home" TMPDIR="$work" timeout 240 xvfb-run -a imagej -x 512 -b "$work/measure.ijm" "$work/open.tsv" \
    >"$work/imagej.out" 2>&1 || true
grep -q '^DONE ' "$work/imagej.out" || { cat "$work/imagej.out"; fail "ImageJ did not finish the macro"; }
echo "ImageJ $(sed -n 's/^DONE //p' "$work/imagej.out"): slices width height bits sum"

awk -F'\t' '
    NR == FNR { if ($1 == "RESULT") got[$2] = $3 " " $4 " " $5 " " $6 " " $7; next }
    {
        want = $2 " " $3 " " $4 " " $5 " " $6
        if (!($1 in got)) { printf "MISSING  %-28s analysis %s\n", $1, want; bad++ }
        else if (got[$1] != want) { printf "MISMATCH %-28s ImageJ %s, analysis %s\n", $1, got[$1], want; bad++ }
        else printf "ok       %-28s %s\n", $1, want
    }
    END { exit bad > 0 }' "$work/imagej.out" "$work/expected.tsv" || {
    echo "--- ImageJ output"
    cat "$work/imagej.out"
    fail "ImageJ reads the exports differently from the analysis"
}
echo "All exports open in ImageJ as the analysis holds them."
