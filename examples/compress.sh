#!/usr/bin/env bash
# compress.sh PROGRAM_DIR: compresses generated files in parallel with the
# programs in PROGRAM_DIR, checks every result, and compares the time with the
# same work done one file after another.
set -euo pipefail
bin=$(cd "${1:?usage: compress.sh PROGRAM_DIR}" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

for i in $(seq 8); do
    head -c 6000000 /dev/urandom | base64 > "file $i.txt"
done

start=$(date +%s%N)
for f in file*.txt; do
    gzip -9 -c "$f" > /dev/null
done
sequential=$(( ($(date +%s%N) - start) / 1000000 ))

start=$(date +%s%N)
for f in file*.txt; do
    # Several words: gzip gets them exactly, blanks in the file name included.
    "$bin/taskfan" gzip -9 -k "$f" > /dev/null
done
"$bin/taskjoin" > /dev/null
parallel=$(( ($(date +%s%N) - start) / 1000000 ))

for f in file*.txt; do
    gzip -dc "$f.gz" | cmp -s - "$f" || { echo "$f.gz does not match $f"; exit 1; }
done
echo "8 files compressed and checked: one after another ${sequential} ms," \
     "in parallel ${parallel} ms on $(nproc) processors."
