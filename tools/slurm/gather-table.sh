#!/usr/bin/env bash
# Gathers the JSON lines of fotonel-convert --json into one tab-separated
# table on standard output, one row per file: from the files and folders
# given (every *.json and *.jsonl in a folder, by task number), or from
# standard input.
#
#   tools/slurm/gather-table.sh results > table.tsv
#   build/fotonel-convert --json ... | tools/slurm/gather-table.sh > table.tsv
set -euo pipefail
script=$(cat <<'PYTHON'
import json, os, re, sys

def sources(arguments):
    if not arguments:
        yield sys.stdin
        return
    for argument in arguments:
        if os.path.isdir(argument):
            names = [n for n in os.listdir(argument) if n.endswith(('.json', '.jsonl'))]
            number = lambda n: [int(t) if t.isdigit() else t for t in re.split(r'(\d+)', n)]
            for name in sorted(names, key=number):
                with open(os.path.join(argument, name), encoding='utf-8') as f:
                    yield f
        else:
            with open(argument, encoding='utf-8') as f:
                yield f

columns = ['file', 'status', 'reason', 'record_type', 'scan_type', 'records', 'photons', 'frames',
           'width_px', 'height_px', 'pixel_size_x_um', 'files_written', 'bytes_written']
print('\t'.join(columns))
for source in sources(sys.argv[1:]):
    for line in source:
        if not line.strip():
            continue
        r = json.loads(line)
        counts, geometry, files = r.get('counts', {}), r.get('geometry', {}), r.get('files', [])
        row = [r.get('file', ''), r.get('status', ''), r.get('reason', ''), r.get('record_type', ''),
               r.get('scan_type', ''), counts.get('records', ''),
               sum(counts.get('photons_per_channel', {}).values()) if 'counts' in r else '',
               counts.get('frames', ''), geometry.get('width_px', ''), geometry.get('height_px', ''),
               geometry.get('pixel_size_x_um', ''), len(files), sum(f['bytes'] for f in files)]
        print('\t'.join(str(v).replace('\t', ' ') for v in row))
PYTHON
)
# The script comes as an argument: standard input stays free for the JSON lines.
exec python3 -c "$script" "$@"
