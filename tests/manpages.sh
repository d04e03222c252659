#!/usr/bin/env bash
# manpages.sh SOURCE_DIR BUILD_DIR: each manual page renders without a warning,
# holds the sections a reader looks for, and `cmake --install` puts it into
# share/man/man1 beside the programs in bin.
set -uo pipefail
src=$(cd "${1:?usage: manpages.sh SOURCE_DIR BUILD_DIR}" && pwd)
build=$(cd "${2:?usage: manpages.sh SOURCE_DIR BUILD_DIR}" && pwd)
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
failures=0

fail() { echo "FAIL $page: $*"; failures=$((failures + 1)); }

for page in taskfan taskexec taskjoin; do
    file=$src/man/$page.1
    [ -f "$file" ] || { fail "no $file"; continue; }
    warnings=$(MANWIDTH=80 man --warnings -l "$file" 2>&1 > /dev/null)
    [ -z "$warnings" ] || fail "man warns: $warnings"
    warnings=$(groff -ww -z -man -Tutf8 "$file" 2>&1)
    [ -z "$warnings" ] || fail "groff warns: $warnings"
    # The whatis line that mandb builds from the NAME section.
    lexgrog "$file" | grep -q ": \"$page - " || fail "NAME is not '$page - what it does'"
    # Wide enough that no paragraph wraps, so phrases stay on one line.
    text=$(MANWIDTH=1000 man -l "$file" 2> /dev/null)
    for section in NAME SYNOPSIS DESCRIPTION 'The shell rule' 'EXIT STATUS' ENVIRONMENT FILES \
                   EXAMPLES BUGS; do
        grep -Eq "^ *$section\$" <<< "$text" || fail "no section '$section'"
    done
    for words in 'One word' 'Several words' '\.pid' 'byte for byte' 'SIGKILL' 'placed by hand' \
                 'Standard error of jobs is not shown' 'reads no environment variable'; do
        grep -Eq "$words" <<< "$text" || fail "does not say '$words'"
    done
done

page=install
cmake --install "$build" --prefix "$prefix" > /dev/null || fail "cmake --install failed"
for name in taskfan taskexec taskjoin; do
    cmp -s "$src/man/$name.1" "$prefix/share/man/man1/$name.1" || fail "$name.1 not in share/man/man1"
    [ -x "$prefix/bin/$name" ] || fail "$name not in bin"
done
# man finds the pages through PATH, as a user who installed into a prefix of
# their own has it.
found=$(env -u MANPATH PATH="$prefix/bin:$PATH" man -w taskjoin 2>&1)
[ "$found" = "$prefix/share/man/man1/taskjoin.1" ] || fail "man -w taskjoin gives $found"

if [ "$failures" -gt 0 ]; then
    echo "$failures failures"
    exit 1
fi
echo "3 manual pages render cleanly and install into share/man/man1"
