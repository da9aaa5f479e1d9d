#!/usr/bin/env bash
# Converts a folder of synthetic measurements three times -- one converter
# after the other, with GNU parallel, and as the tasks of the Slurm job-array
# script (its body run with SLURM_ARRAY_TASK_ID set) -- and checks that all
# three write the same bytes, that the JSON lines gather into one table, and
# that no temporary or settings file is left behind.
#
#   usage: check_batch.sh FOTONEL-SYNTH FOTONEL-CONVERT SOURCE-DIR
#
# Exit status: 0 when all agree, 1 on any difference, 77 when GNU parallel is missing.
set -euo pipefail

if [ $# -ne 3 ]; then
    echo "usage: $0 FOTONEL-SYNTH FOTONEL-CONVERT SOURCE-DIR" >&2
    exit 2
fi
synth=$1
convert=$2
source=$3
if ! parallel --version 2>/dev/null | grep -q "GNU parallel"; then
    echo "SKIPPED: GNU parallel is not installed (tools/setup.sh installs it)"
    exit 77
fi
export QT_QPA_PLATFORM=offscreen
# The Photon-HDF5 files name their creation time: the same in every run.
export SOURCE_DATE_EPOCH=1700000000
work=$(mktemp -d /tmp/fotonel-batch.XXXXXX)
trap 'rm -rf "$work"' EXIT
cd "$work"
mkdir data
"$synth" --kind image --records 60000 data/a.ptu >/dev/null
"$synth" --kind line --records 40000 data/b.pt3 >/dev/null
"$synth" --kind point --records 40000 data/c.pt3 >/dev/null
"$synth" --kind cells --records 60000 data/d.ptu >/dev/null
printf 'not a measurement' >data/e.pt3
options=(--export stack --export ome --export ome-flim --export photon-hdf5 --tau-bin 1 --correlate)
ls data/*.pt? >files.txt
failed=0

# Moves the export folders of a run aside, into $1.
keep() {
    mkdir "$1"
    mv data/*_export "$1"/
}

status=0
"$convert" --json "${options[@]}" $(cat files.txt) >sequential.jsonl 2>sequential.log || status=$?
[ "$status" -eq 1 ] || { echo "sequential run: exit status $status, expected 1 (one refused file)"; failed=1; }
keep sequential

parallel --will-cite -j 4 "$convert" --json "${options[@]}" {} :::: files.txt >parallel.jsonl 2>parallel.log || true
keep parallel

tasks=$(wc -l <files.txt)
for ((task = 0; task < tasks; ++task)); do
    SLURM_ARRAY_TASK_ID=$task FOTONEL_CONVERT=$convert \
        bash "$source/tools/slurm/convert-array.sh" files.txt slurm-results "${options[@]}" || true
done
keep slurm

for run in parallel slurm; do
    if ! diff -r sequential "$run" >/dev/null; then
        echo "$run run wrote other files or bytes than the sequential run:"
        diff -r sequential "$run" | head -20
        failed=1
    fi
done
for table in sequential.jsonl parallel.jsonl slurm-results; do
    bash "$source/tools/slurm/gather-table.sh" "$table" | sort >"$(basename "$table").tsv"
done
rows=$(wc -l <sequential.jsonl.tsv)
if [ "$rows" -ne 6 ]; then
    echo "the table has $rows lines, expected a header and 5 files"
    failed=1
fi
for table in parallel.jsonl.tsv slurm-results.tsv; do
    cmp -s sequential.jsonl.tsv "$table" || { echo "$table differs from the sequential table"; diff sequential.jsonl.tsv "$table"; failed=1; }
done
grep -q "	refused	" sequential.jsonl.tsv || { echo "no refused row"; failed=1; }
leftovers=$(find . -name '*.part' -o -name 'lastsettings.dat')
[ -z "$leftovers" ] || { echo "left behind: $leftovers"; failed=1; }
[ "$failed" -eq 0 ] && echo "sequential, parallel and Slurm-array runs agree ($((rows - 1)) files)"
exit "$failed"
