#!/usr/bin/env bash
# tiny.sh PROGRAM_DIR [FILES]: compresses many tiny files three ways with the
# programs in PROGRAM_DIR, checks every result, and compares the times: one
# taskfan per file, the files grouped 200 to a job, and xargs -P, one file per call.
set -euo pipefail
bin=$(cd "${1:?usage: tiny.sh PROGRAM_DIR [FILES]}" && pwd)
count=${2:-2000}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"
export LC_ALL=C # the same order of names for every glob below

for ((i = 0; i < count; i++)); do
    printf -v name 'small %05d.txt' "$i"
    seq "$i" $((i + 50)) > "$name"
done

since() { echo $(( ($(date +%s%N) - $1) / 1000000 )); }
check() {
    local made
    made=$(find . -name '*.gz' | wc -l)
    [ "$made" -eq "$count" ] || { echo "$1: $made of $count files compressed"; exit 1; }
    cat -- *.txt | cmp -s - <(gzip -dc -- *.gz) || { echo "$1: the compressed files do not match"; exit 1; }
    rm -- *.gz
}

# One job per file: each costs two process starts besides gzip's own.
start=$(date +%s%N)
for f in *.txt; do
    "$bin/taskfan" gzip -9 -k "$f" > /dev/null
done
"$bin/taskjoin" > /dev/null
one=$(since "$start")
check "one job per file"

# 200 files per job, the loop inside the job; xargs calls taskfan one after
# another, and each call returns as soon as its job is placed.
start=$(date +%s%N)
find . -name '*.txt' -print0 |
    xargs -0 -n 200 "$bin/taskfan" sh -c 'for f; do gzip -9 -k "$f"; done' sh > /dev/null
"$bin/taskjoin" > /dev/null
grouped=$(since "$start")
check "200 files per job"

start=$(date +%s%N)
find . -name '*.txt' -print0 | xargs -0 -P "$(nproc)" -n 1 gzip -9 -k
xargs=$(since "$start")
check "xargs -P"

echo "$count tiny files compressed and checked on $(nproc) processors:" \
     "one job per file ${one} ms, 200 files per job ${grouped} ms, xargs -P$(nproc) -n1 ${xargs} ms."
