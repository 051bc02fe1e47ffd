#!/usr/bin/env bash
# Plants known faults in a copy of the working tree, one at a time, and checks
# that the tests named for each one catch it: a test that passes with the
# fault in place guards less than it seems to. Run on demand; it builds a
# tree of its own and takes a while, so CI does not run it.
#   scripts/planted-faults.sh [--scratch DIR] [--jobs N] [--timeout S] [--keep] [ID...]
# The faults are the rows of scripts/planted-faults/table.tsv (id, patch,
# ctest regex, description); with IDs given, only those rows run. Each row
# prints one of:
#   caught  some test of its regex failed with the fault in place
#   missed  every test passed (or the regex names no test)
#   stale   the patch no longer applies: re-anchor it by hand
#   broken  the tree does not build with the patch: a table error
# Exits 0 only when every row was caught.
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
faults=$root/scripts/planted-faults
table=$faults/table.tsv
parent=${TMPDIR:-/tmp}
jobs=2
test_timeout=60
keep=false

usage() { sed -n '6p' "$0" | sed 's/^# *//'; }

while (($#)); do
    case $1 in
        --scratch) parent=$2; shift 2 ;;
        --jobs) jobs=$2; shift 2 ;;
        --timeout) test_timeout=$2; shift 2 ;;
        --keep) keep=true; shift ;;
        -h | --help) usage; exit 0 ;;
        --) shift; break ;;
        -*) usage >&2; exit 2 ;;
        *) break ;;
    esac
done
wanted=" $* "

ids=() patches=() regexes=() descriptions=()
while IFS=$'\t' read -r id patch regex description; do
    [[ -z $id || $id == \#* ]] && continue
    [[ $wanted == "  " || $wanted == *" $id "* ]] || continue
    ids+=("$id") patches+=("$patch") regexes+=("$regex") descriptions+=("$description")
done <"$table"
if ((${#ids[@]} == 0)); then
    echo "no row of $table matches:$wanted" >&2
    exit 2
fi

started=$SECONDS
scratch=$(mktemp -d "$parent/punchprobe-faults.XXXXXX")
src=$scratch/src build=$scratch/build logs=$scratch/logs
mkdir -p "$src" "$logs"
# Tracked and untracked files as they are now, uncommitted edits included;
# a repository of its own, so that git apply works on the copy alone.
git -C "$root" ls-files -co --exclude-standard -z |
    tar -C "$root" --null --ignore-failed-read -T - -cf - | tar -C "$src" -xf -
git -C "$src" init -q

echo "Building the unchanged tree in $build ..."
if ! cmake -S "$src" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >"$logs/configure.log" 2>&1 ||
    ! cmake --build "$build" -j "$jobs" >"$logs/build.log" 2>&1; then
    echo "the unchanged tree does not build: see $logs" >&2
    exit 2
fi
# A test that fails anyway would catch every fault. The tests are gathered
# row by row and run by number: CMake's regular expressions take at most nine
# groups, too few for every row's regex at once, and a regex it cannot compile
# names no test at all.
numbers=$(for regex in "${regexes[@]}"; do
    ctest --test-dir "$build" -N -R "$regex" | sed -n 's/^ *Test *#\([0-9]*\):.*/\1/p'
done | sort -nu | paste -sd, -)
if [[ -n $numbers ]] &&
    ! ctest --test-dir "$build" -I "0,0,0,$numbers" --timeout "$test_timeout" >"$logs/baseline.log" 2>&1; then
    echo "the table's tests fail without any fault: see $logs/baseline.log" >&2
    exit 2
fi

declare -A count=([caught]=0 [missed]=0 [stale]=0 [broken]=0)
for i in "${!ids[@]}"; do
    id=${ids[i]} patch=$faults/${patches[i]} log=$logs/${ids[i]}.log
    if ! git -C "$src" apply --check "$patch" >"$log" 2>&1; then
        result=stale
    else
        git -C "$src" apply "$patch"
        if ! cmake --build "$build" -j "$jobs" >>"$log" 2>&1; then
            result=broken
        elif [[ $(ctest --test-dir "$build" -N -R "${regexes[i]}" | sed -n 's/^Total Tests: //p') == 0 ]]; then
            echo "no test matches ${regexes[i]}" >>"$log"
            result=missed
        elif ctest --test-dir "$build" -R "${regexes[i]}" --timeout "$test_timeout" >>"$log" 2>&1; then
            result=missed
        else
            result=caught
        fi
        git -C "$src" apply -R "$patch"
    fi
    count[$result]=$((count[$result] + 1))
    printf '%-4s %-7s %s\n' "$id" "$result" "${descriptions[i]}"
done

printf 'caught %d, missed %d, stale %d, broken %d of %d faults in %d s\n' "${count[caught]}" "${count[missed]}" \
    "${count[stale]}" "${count[broken]}" "${#ids[@]}" $((SECONDS - started))
if ((count[caught] == ${#ids[@]})); then
    if [[ $keep == true ]]; then echo "kept $scratch"; else rm -rf "$scratch"; fi
    exit 0
fi
echo "logs of each row in $logs"
exit 1
