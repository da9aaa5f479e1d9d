#!/usr/bin/env bash
#SBATCH --job-name=fotonel-convert
#SBATCH --output=fotonel-convert-%A_%a.out
#SBATCH --cpus-per-task=1
#SBATCH --mem=4G
#SBATCH --time=01:00:00
#
# One measurement file per task of a Slurm job array: task i converts line
# i + 1 of FILELIST with fotonel-convert --json and the OPTIONS given, and
# leaves RESULTS/i.json (its JSON line) and RESULTS/i.log (the log).
#
#   ls /data/*.ptu > files.txt
#   sbatch --array=0-$(( $(wc -l < files.txt) - 1 )) tools/slurm/convert-array.sh \
#          files.txt results --export ome --export photon-hdf5
#   tools/slurm/gather-table.sh results > table.tsv      # when the array has finished
#
# fotonel-convert is taken from FOTONEL_CONVERT, else from PATH. The task's
# exit status is the converter's (1 for a refused file): Slurm marks it failed,
# and its JSON line says why.
set -euo pipefail

if [ $# -lt 2 ]; then
    echo "usage: sbatch --array=0-N $0 FILELIST RESULTS [OPTIONS...]" >&2
    exit 2
fi
list=$1
results=$2
shift 2
task=${SLURM_ARRAY_TASK_ID:?run as a task of a Slurm job array (or set SLURM_ARRAY_TASK_ID)}
file=$(sed -n "$((task + 1))p" "$list")
if [ -z "$file" ]; then
    echo "$list has no line $((task + 1))" >&2
    exit 2
fi
mkdir -p "$results"
status=0
"${FOTONEL_CONVERT:-fotonel-convert}" --json "$@" "$file" >"$results/$task.json" 2>"$results/$task.log" || status=$?
exit $status
