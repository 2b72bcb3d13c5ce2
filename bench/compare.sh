#!/usr/bin/env bash
# Times runel as a whole process beside its plain peers, and prints two Markdown tables.
#
# Results: for each board of bench/boards (named so that they sort by result size), and FRESH=N
# boards generated for the run, the median wall seconds and processor seconds (user + system)
# and the peak memory of runel on all processors, its median on one processor (taskset -c 0),
# the same of runel_plain, a lean plain search on one processor (one thread, no count, no
# cache, a 1 MB buffer and fwrite), and `dd` writing as many bytes plainly and synced to the
# disk as runel syncs its result. The plain reference procedure (the model the tests hold runel
# to) runs too, once, while it stays under a minute. Every result must match runel's.
#
# Refusals: for each board of bench/huge, a result no disk here holds, run in a 64 MB tmpfs
# (mounting it needs root; without root the table is left out): how soon runel refuses it, its
# processor seconds and peak memory, and the need its message names, beside the plain size
# count (one thread, every state with more than a few enemy pieces remembered, no text; it
# runs once, while it stays under PLAIN_COUNT_LIMIT seconds, default 300) and the exact size
# it gives. A refusal must end with status 1 and leave nothing in the folder.
#
#   bash bench/compare.sh [runs per board, default 3]
#
# It installs nothing: it names what is missing (Debian: apt-get install ...) and stops.
# FRESH=N generates N heavy boards never seen before (results of 100 to 300 MB, a new seed each
# run; 5 unless set) and times them after the others. BASELINE=path/to/runel adds the same
# figures of another build of runel, for comparing two builds in one run: on the boards of the
# first table the two run in turn, and the ratios of their processor and wall seconds are
# medians over the pairs.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
reference_limit=60
plain_count_limit=${PLAIN_COUNT_LIMIT:-300}
if ! [[ $runs =~ ^[1-9][0-9]*$ ]] || [ $# -gt 1 ]; then
    echo "usage: bash bench/compare.sh [runs per board, default 3]" >&2
    exit 2
fi

# What the run needs, by command, with the Debian package that brings it.
missing=()
need() { command -v "$1" >/dev/null 2>&1 || missing+=("$2"); }
need cmake cmake
need taskset util-linux
need g++ g++
# The reference procedure is built with the tests, which need GoogleTest.
[ -f /usr/include/gtest/gtest.h ] || missing+=(libgtest-dev)
[ -x /usr/bin/time ] || missing+=(time)
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench/compare.sh needs: ${missing[*]} (Debian: apt-get install ${missing[*]})" >&2
    exit 1
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRUNEL_BENCH=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench -j2 --target runel runel_plain runel_reference runel_boards >/dev/null
runel=$PWD/build-bench/runel
reference=$PWD/build-bench/tests/runel_reference
boards_tool=$PWD/build-bench/bench/runel_boards
plain=$PWD/build-bench/bench/runel_plain

work=$(mktemp -d)
small=$work/small
cleanup() {
    mountpoint -q "$small" 2>/dev/null && umount "$small"
    rm -rf "$work"
}
trap cleanup EXIT

boards=(bench/boards/*.txt) # named so that they sort by result size
if [ "${FRESH:=5}" -gt 0 ]; then
    "$boards_tool" generate "$(date +%s)" "$FRESH" "$work" >/dev/null
    boards+=("$work"/fresh_*.txt)
fi

# time_once DIR LIMIT COMMAND...: runs COMMAND once in DIR, in a fresh folder but for
# Runel_in.txt; prints "seconds processor_seconds max_rss_kb status", or "timeout" if it passed
# LIMIT seconds. What it printed is in $work/output and $work/errors. Seconds are wall-clock
# around the whole process (with the small cost of starting it through `time`); processor
# seconds are its user and system time.
time_once() {
    local dir=$1 limit=$2 start end status=0 user sys kb
    shift 2
    find "$dir" -mindepth 1 ! -name Runel_in.txt -delete
    start=$(date +%s%N)
    (cd "$dir" && timeout "$limit" /usr/bin/time -f "%U %S %M" -o "$work/time" "$@" \
        >"$work/output" 2>"$work/errors") || status=$?
    end=$(date +%s%N)
    if [ "$status" -eq 124 ]; then
        echo timeout
        return
    fi
    read -r user sys kb < <(tail -n 1 "$work/time")
    awk -v ns=$((end - start)) -v u="$user" -v s="$sys" -v kb="$kb" -v st="$status" \
        'BEGIN { printf "%.3f %.2f %d %d\n", ns / 1e9, u + s, kb, st }'
}

# time_runs DIR LIMIT COMMAND...: COMMAND `runs` times; prints "median_seconds
# median_processor_seconds max_rss_kb status" (the last run's status), or "timeout".
time_runs() {
    local times=() cpus=() rss=0 seconds cpu kb status
    for _ in $(seq "$runs"); do
        read -r seconds cpu kb status < <(time_once "$@")
        [ "$seconds" = timeout ] && { echo timeout; return; }
        times+=("$seconds") cpus+=("$cpu")
        (( kb > rss )) && rss=$kb
    done
    echo "$(median "${times[@]}") $(median "${cpus[@]}") $rss $status"
}

# time_pairs DIR: runel and the BASELINE build in turn, `runs` times each, so that both meet the
# machine's drift alike. Sets `pairs` to runel's figures and the baseline's, as time_runs prints
# them (less the status), then the medians of the pairs' ratios: processor seconds, wall seconds.
# Each result must match $work/expected.
time_pairs() {
    local times=() cpus=() base_times=() base_cpus=() cpu_ratios=() wall_ratios=()
    local rss=0 base_rss=0 seconds cpu kb base_seconds base_cpu base_kb
    for _ in $(seq "$runs"); do
        read -r seconds cpu kb _ < <(time_once "$1" 600 "$runel")
        same "runel"
        read -r base_seconds base_cpu base_kb _ < <(time_once "$1" 600 "$BASELINE")
        same "the baseline"
        times+=("$seconds") cpus+=("$cpu") base_times+=("$base_seconds") base_cpus+=("$base_cpu")
        cpu_ratios+=("$(ratio "$cpu" "$base_cpu")")
        wall_ratios+=("$(ratio "$seconds" "$base_seconds")")
        (( kb > rss )) && rss=$kb
        (( base_kb > base_rss )) && base_rss=$base_kb
    done
    pairs="$(median "${times[@]}") $(median "${cpus[@]}") $rss"
    pairs+=" $(median "${base_times[@]}") $(median "${base_cpus[@]}") $base_rss"
    pairs+=" $(median "${cpu_ratios[@]}") $(median "${wall_ratios[@]}")"
}

median() { printf '%s\n' "$@" | sort -n | awk '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)] }'; }
# ratio A B [DIGITS]: A / B, with 2 decimals unless told.
ratio() { awk -v a="$1" -v b="$2" -v d="${3:-2}" 'BEGIN { if (b > 0) printf "%.*f", d, a / b; else print "-" }'; }
mb() { echo "$(( $1 / 1024 )) MB"; }

base_header="" base_rule=""
if [ -n "${BASELINE:-}" ]; then
    base_header=" | baseline s | baseline cpu s | baseline peak RSS | cpu / baseline | wall / baseline"
    base_rule="|---:|---:|---:|---:|---:"
fi
echo "| board | result bytes | reference s | runel s | runel cpu s | runel peak RSS | runel one core s$base_header | plain one core s | plain cpu s | plain peak RSS | dd s | dd synced s | runel / plain | runel cpu / plain cpu |"
echo "|---|---:|---:|---:|---:|---:|---:$base_rule|---:|---:|---:|---:|---:|---:|---:|"
run_dir=$work/run
mkdir -p "$run_dir"
same() { cmp -s "$work/expected" "$run_dir/Runel_out.txt" || { echo "$1 differs on $board" >&2; exit 1; }; }
reference_on=1
for board in "${boards[@]}"; do
    cp "$board" "$run_dir/Runel_in.txt"
    baseline=""
    if [ -n "${BASELINE:-}" ]; then
        # A run left out of the figures gives the bytes that both builds must write.
        time_once "$run_dir" 600 "$runel" >/dev/null
        cp "$run_dir/Runel_out.txt" "$work/expected"
        time_pairs "$run_dir"
        read -r seconds cpu rss base_seconds base_cpu base_rss cpu_ratio wall_ratio <<<"$pairs"
        baseline=" | $base_seconds | $base_cpu | $(mb "$base_rss") | $cpu_ratio | $wall_ratio"
    else
        read -r seconds cpu rss _ < <(time_runs "$run_dir" 600 "$runel")
        cp "$run_dir/Runel_out.txt" "$work/expected"
    fi
    bytes=$(stat -c %s "$work/expected")
    read -r one_core _ < <(time_runs "$run_dir" 600 taskset -c 0 "$runel")
    read -r plain_seconds plain_cpu plain_rss _ < <(time_runs "$run_dir" 600 taskset -c 0 "$plain")
    same "the plain search"
    read -r dd_seconds _ < <(time_runs "$run_dir" 600 dd if=/dev/zero of=dd.out bs=1M count="$bytes" iflag=count_bytes status=none)
    read -r dd_synced _ < <(time_runs "$run_dir" 600 dd if=/dev/zero of=dd.out bs=1M count="$bytes" iflag=count_bytes conv=fsync status=none)
    ref="-"
    if (( reference_on )); then
        result=$(runs=1 time_runs "$run_dir" "$reference_limit" "$reference")
        if [ "$result" = timeout ]; then
            ref="> $reference_limit"
            reference_on=0
        else
            same "the reference procedure"
            ref=${result%% *}
        fi
    fi
    # The board's file name, so that a row is found in bench/boards/ as it is printed.
    echo "| $(basename "$board") | $bytes | $ref | $seconds | $cpu | $(mb "$rss") | $one_core$baseline | $plain_seconds | $plain_cpu | $(mb "$plain_rss") | $dd_seconds | $dd_synced | $(ratio "$seconds" "$plain_seconds") | $(ratio "$cpu" "$plain_cpu") |"
done

echo
if [ "$(id -u)" -ne 0 ]; then
    echo "Refusals left out: mounting their 64 MB tmpfs needs root."
    exit 0
fi
mkdir -p "$small"
mount -t tmpfs -o size=64m tmpfs "$small"
# refuse PROGRAM: times PROGRAM refusing the board in the tmpfs; prints the figures and the need
# its message names. The run must fail with status 1 and leave nothing but the board behind.
refuse() {
    local figures status needs
    figures=$(time_runs "$small" 600 "$1")
    status=${figures##* }
    needs=$(sed -n 's/.*the result needs \(.*\) bytes.*/\1/p' "$work/errors")
    if [ "$status" -ne 1 ] || [ -z "$needs" ] || [ "$(ls "$small")" != Runel_in.txt ]; then
        echo "$1 did not refuse $board cleanly: status $status, $(cat "$work/errors")" >&2
        exit 1
    fi
    read -r seconds cpu rss _ <<<"$figures"
    echo "$seconds | $cpu | $(mb "$rss") | $needs"
}
base_header="" base_rule=""
if [ -n "${BASELINE:-}" ]; then
    base_header=" | baseline s | baseline cpu s | baseline peak RSS | baseline says it needs"
    base_rule="|---:|---:|---:|---:"
fi
echo "| board | result bytes | plain count s | plain count cpu s | plain count peak RSS | runel s | runel cpu s | runel peak RSS | runel says it needs$base_header | runel / plain count |"
echo "|---|---:|---:|---:|---:|---:|---:|---:|---:$base_rule|---:|"
for board in bench/huge/*.txt; do
    cp "$board" "$small/Runel_in.txt"
    count=$(runs=1 time_runs "$small" "$plain_count_limit" "$boards_tool" plain-count)
    exact="-" plain_figures="> $plain_count_limit | - | -" plain_seconds=0
    if [ "$count" != timeout ]; then
        read -r plain_seconds plain_cpu plain_rss _ <<<"$count"
        exact=$(cat "$work/output")
        plain_figures="$plain_seconds | $plain_cpu | $(mb "$plain_rss")"
    fi
    refusal=$(refuse "$runel")
    baseline=""
    [ -z "${BASELINE:-}" ] || baseline=" | $(refuse "$BASELINE")"
    echo "| $(basename "$board") | $exact | $plain_figures | $refusal$baseline | $(ratio "${refusal%% *}" "$plain_seconds" 4) |"
done
