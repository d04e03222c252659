#!/usr/bin/env bash
# examples.sh SOURCE_DIR BUILD_DIR: runs every shell block of README.md marked
# "<!-- example: NAME -->" as a user would, in a fresh directory with copies of
# the built programs in ~/.local/bin on the PATH, and checks what it did. Also
# runs examples/compress.sh and examples/tiny.sh, the batches that examples/run shows.
set -uo pipefail
src=$(cd "${1:?usage: examples.sh SOURCE_DIR BUILD_DIR}" && pwd)
build=$(cd "${2:?usage: examples.sh SOURCE_DIR BUILD_DIR}" && pwd)
# -P: the runners' command lines hold the real path, and pgrep matches on it.
top=$(cd -P "$(mktemp -d)" && pwd)
failures=0
home=
bin=
job=

fail() { echo "FAIL $case: $*"; failures=$((failures + 1)); }

runners() { pgrep -f "^$bin/taskexec " || true; }

cleanup() {
    # A job that outlived a failed cancel: its shell leads its process group.
    [ -z "${job:-}" ] || kill -KILL -- "-$job" 2> /dev/null
    for dir in "$top"/*/home/.local/bin; do
        bin=$dir
        for pid in $(runners); do kill -KILL "$pid" 2> /dev/null; done
    done
    rm -rf "$top"
}
trap cleanup EXIT

# Polls the command until it succeeds, for at most 20 s.
eventually() {
    local i
    for i in $(seq 400); do
        "$@" && return 0
        sleep 0.05
    done
    return 1
}

# The README's blocks, one file each, named after their marker.
blocks=$top/blocks
mkdir "$blocks"
awk -v dir="$blocks" '
    match($0, /^<!-- example: [a-z0-9-]+ -->$/) { name = $3; want = 1; next }
    want && /^```sh$/ { inside = 1; want = 0; next }
    want { print "marker for " name " is not followed by a sh block" > "/dev/stderr"; exit 1 }
    inside && /^```$/ { inside = 0; next }
    inside { print > (dir "/" name ".sh") }
' "$src/README.md" || { echo "FAIL: README.md cannot be read"; exit 1; }

expected="c-build cancel compress find first-batch install many reserve"
found=$(cd "$blocks" && ls | sed 's/\.sh$//' | sort | tr '\n' ' ' | sed 's/ $//')
if [ "$found" != "$expected" ]; then
    echo "FAIL: README examples are [$found], this test checks [$expected]"
    failures=$((failures + 1))
fi

# A fresh sandbox: $home/.local/bin holds copies of the programs, $work is the
# directory the block runs in.
sandbox() {
    local dir=$top/$1
    mkdir -p "$dir/home/.local/bin" "$dir/work"
    home=$dir/home
    bin=$home/.local/bin
    work=$dir/work
    out=$dir/out
    cp "$build"/bin/taskfan "$build"/bin/taskexec "$build"/bin/taskjoin "$bin"/
}

# Runs a block in $work as the sandbox's user; its output goes to $out. SIGINT
# as at a terminal, whatever the suite was started with.
run_block() {
    (cd "$work" && env -u MANPATH --default-signal=INT HOME="$home" PATH="$bin:$PATH" timeout 120 bash "$blocks/$1.sh") \
        > "$out" 2>&1 < /dev/null
    status=$?
    [ "$status" -eq 0 ] || [ "${2:-0}" != 0 ] || fail "exit status $status; output:
$(cat "$out")"
}

# Every example leaves its slots free, no failure record unreported and no
# runner behind.
settled() {
    ! ls "$bin" | grep -qi '\.pid$' || fail "slots left taken: $(ls "$bin")"
    ! ls -A "$bin" | grep -q '\.failed$' || fail "failure records left: $(ls -A "$bin")"
    [ -z "$(runners)" ] || fail "runners left: $(runners)"
}

case=install
sandbox "$case"
# The block says "build", meaning the build directory of the checkout.
ln -s "$build" "$work/build"
rm "$bin"/*
run_block "$case"
for p in taskfan taskexec taskjoin; do
    [ -x "$bin/$p" ] || fail "$bin/$p was not installed"
    [ -f "$home/.local/share/man/man1/$p.1" ] || fail "no page $p.1 in share/man/man1"
done
grep -q 'EXIT STATUS' "$out" && grep -q 'taskfan - ' "$out" || fail "man did not show the page: $(cat "$out")"
# The installed programs work side by side.
(cd "$work" && "$bin/taskfan" 'echo placed > placed' && "$bin/taskjoin") > /dev/null
[ "$(cat "$work/placed" 2> /dev/null)" = placed ] || fail "installed programs ran no job"
settled

case=first-batch
sandbox "$case"
run_block "$case"
last=$(grep -n '^all four jobs have ended$' "$out" | cut -d: -f1)
[ -n "$last" ] || fail "no closing line"
for n in 1 2 3 4; do
    at=$(grep -n "^job $n done$" "$out" | cut -d: -f1)
    [ -n "$at" ] && [ -n "$last" ] && [ "$at" -lt "$last" ] || fail "job $n done missing or after the end"
    grep -qxF -- "-c|sleep 1; echo job $n done" "$out" || fail "no argument list of job $n"
done
[ "$(grep -cx 'taskfan 0.2' "$out")" = 4 ] || fail "not one taskfan line per job"
[ "$(grep -cx 'taskexec 0.2' "$out")" = 4 ] || fail "not one taskexec line per job"
[ "$(grep -cx 'taskjoin 0.2' "$out")" = 1 ] || fail "no taskjoin line"
settled

case=compress
sandbox "$case"
mkdir "$work/logs" "$top/$case/orig"
# A name that is not UTF-8 reaches gzip byte for byte, as from a shell.
for name in a "b c" "d  e" -f $'caf\xe9'; do
    seq 1 20000 | sed "s/^/$name line /" > "$work/logs/$name.log"
    cp "$work/logs/$name.log" "$top/$case/orig/"
done
echo keep > "$work/logs/notes.txt"
run_block "$case"
for name in a "b c" "d  e" -f $'caf\xe9'; do
    [ ! -e "$work/logs/$name.log" ] || fail "$name.log is still there"
    gzip -dc "$work/logs/$name.log.gz" 2> /dev/null | cmp -s - "$top/$case/orig/$name.log" \
        || fail "$name.log.gz does not hold $name.log"
done
[ "$(cat "$work/logs/notes.txt")" = keep ] || fail "notes.txt was touched"
settled

c_sources() {
    mkdir "$work/src"
    printf '#include <stdio.h>\nconst char *one(void);\nconst char *two(void);\n%s\n' \
        'int main(void) { printf("hello from %s and %s\n", one(), two()); return 0; }' > "$work/src/main.c"
    echo 'const char *one(void) { return "one"; }' > "$work/src/one.c"
    echo 'const char *two(void) { return "two"; }' > "$work/src/two.c"
}

case=c-build
sandbox "$case"
c_sources
run_block "$case"
grep -qx 'hello from one and two' "$out" || fail "the program was not built and run: $(cat "$out")"
! grep -q '^Error' "$out" || fail "a compile was reported as failed: $(cat "$out")"
settled

# taskjoin names the failed compile and exits with 1, so the block stops before
# the link step.
case=c-build-failing
sandbox "$case"
c_sources
echo 'int broken(void) { return }' > "$work/src/broken.c"
run_block c-build allow-failure
[ "$status" -eq 1 ] || fail "exit status $status, not 1, after a failed compile"
[ ! -e "$work/hello" ] || fail "linked in spite of a failed compile"
# The compiler's message, under the failure line, from the job's standard error.
grep -A 3 -xF 'Error Job Failed : 1 : -c|exec "$@"|sh|cc|-O2|-c|src/broken.c|-o|src/broken.o' "$out" |
    grep -q '^    src/broken\.c:1:[0-9]*: error: ' || fail "the compiler's message was not shown: $(cat "$out")"
[ "$(grep -c '^Error' "$out")" = 1 ] || fail "more than the failed compile was reported: $(cat "$out")"
settled

case=many
sandbox "$case"
mkdir -p "$work/data/sub dir"
for i in $(seq 450); do
    seq "$i" > "$work/data/$i.txt"
done
seq 7 > "$work/data/sub dir/-odd name.txt"
run_block "$case"
for f in "$work"/data/*.txt "$work/data/sub dir/-odd name.txt"; do
    gzip -dc "$f.gz" 2> /dev/null | cmp -s - "$f" || fail "no compressed copy of [$f]"
done
# 451 names, 200 to a job: three jobs, each with a runner's banner.
[ "$(grep -cx 'taskexec 0.2' "$out")" = 3 ] || fail "not three jobs: $(grep -c 'taskexec 0.2' "$out")"
settled

case=find
sandbox "$case"
mkdir -p "$work/data/sub dir"
# $'caf\351' is not UTF-8: it too reaches sort byte for byte.
names=(plain "two  blanks" $'new\nline' $'tab\there' "it's \"quoted\"" '$HOME *' 'back\slash' -dash $'caf\303\251' $'caf\351'
       "sub dir/deep")
for name in "${names[@]}"; do
    printf '%s\n' c b a "$name" > "$work/data/$name.csv"
done
echo 'not a csv' > "$work/data/readme.txt"
run_block "$case"
for name in "${names[@]}"; do
    printf '%s\n' c b a "$name" | sort | cmp -s - "$work/data/$name.csv.sorted" \
        || fail "no sorted copy of [$name]"
done
made=$(find "$work/data" -name '*.sorted' -printf x | wc -c)
[ "$made" = "${#names[@]}" ] || fail "$made sorted files for ${#names[@]} inputs"
settled

case=cancel
sandbox "$case"
(cd "$work" && HOME=$home PATH="$bin:$PATH" taskfan 'echo $$ > job; sleep 300; touch finished') \
    > "$top/$case/placed.log" < /dev/null
eventually test -s "$work/job" || fail "the job did not start"
job=$(cat "$work/job" 2> /dev/null)
# SIGTERM, as from timeout, ends a taskjoin alone, as the README says: the job
# runs on. An ended process may stay unreaped a while: only live ones count.
(cd "$work" && HOME=$home PATH="$bin:$PATH" timeout 1 taskjoin) > /dev/null < /dev/null
[ $? -eq 124 ] && [ -n "$job" ] && [ -n "$(pgrep -r R,S,D -g "$job")" ] || fail "timeout 1 taskjoin stopped the job"
# The block's shell is of the batch that placed the job. timeout ends taskjoin
# with SIGINT, after it has stopped and reported the job, and says 124.
run_block "$case" 1
[ "$status" -eq 124 ] || fail "exit status $status, not 124, after a cancel"
grep -qF "$bin/taskexec {" "$out" || fail "pgrep did not show the runner: $(cat "$out")"
grep -qF "$bin/{" "$out" || fail "ls did not show the slot: $(cat "$out")"
grep -qxF 'Error Job Failed : 130 : -c|echo $$ > job; sleep 300; touch finished' "$out" \
    || fail "taskjoin did not report the cancelled job: $(cat "$out")"
# The job's shell leads the job's process group: the sleep in it ends too.
job_gone() { [ -z "$(pgrep -g "$job")" ]; }
[ -n "$job" ] && eventually job_gone || fail "job processes live on: $(pgrep -ag "$job")"
[ ! -e "$work/finished" ] || fail "the job was not cancelled"
settled

case=reserve
sandbox "$case"
run_block "$case"
grep -qxF "$bin/reserved.pid" "$out" || fail "ls did not show the reserved slot: $(cat "$out")"
[ ! -e "$bin/reserved.pid" ] || fail "the reserved slot is still there"
# What the README says about such a slot: it holds a job back, but no taskjoin waits for it.
touch "$bin/reserved.pid"
(cd "$work" && timeout 2 taskset -c 0 "$bin/taskfan" 'touch placed') > /dev/null
[ $? -eq 124 ] || fail "a job was placed while the only slot was reserved"
(cd "$work" && timeout 20 "$bin/taskjoin") > /dev/null
[ $? -eq 0 ] || fail "taskjoin waited for a reserved slot"
rm "$bin/reserved.pid"
(cd "$work" && timeout 20 taskset -c 0 "$bin/taskfan" 'touch placed' && timeout 20 "$bin/taskjoin") > /dev/null \
    || fail "no job placed once the reservation was removed"
[ -e "$work/placed" ] || fail "the job placed after the reservation did not run"
settled

case=compress.sh
sandbox "$case"
"$src/examples/compress.sh" "$bin" > "$out" 2>&1 < /dev/null || fail "$(cat "$out")"
grep -q '^8 files compressed and checked' "$out" || fail "$(cat "$out")"
settled

case=tiny.sh
sandbox "$case"
"$src/examples/tiny.sh" "$bin" 300 > "$out" 2>&1 < /dev/null || fail "$(cat "$out")"
grep -q '^300 tiny files compressed and checked' "$out" || fail "$(cat "$out")"
settled

if [ "$failures" -gt 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "every README example ran as shown"
