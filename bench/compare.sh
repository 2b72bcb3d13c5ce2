#!/usr/bin/env bash
# Times runel, whole process, on the boards in bench/boards (ascending result size), and with
# --svg draws docs/scaling.svg from the run. For each board: the median seconds, MB/s, the share
# of the run that the size count takes and that the final sync (before the rename) takes, the
# peak memory beside its bound (32 MB and 32 bytes a state the count keeps), the median seconds
# on one core (taskset -c 0), and `dd` writing the same number of bytes in the same run, as the
# ceiling: plainly, and synced to the disk as runel syncs its result. The plain reference procedure (the model the tests hold runel to) runs too, once,
# while it stays under a minute.
# Beside runel, its peer: runel_plain, a lean plain search (one thread, no count, no cache, a 1 MB
# buffer and fwrite) on one core, and two ratios: runel on all cores over the plain search, and over `dd` synced.
#
#   bash bench/compare.sh [--svg] [runs per board, default 3]
#
# It installs nothing: it names what is missing (Debian: apt-get install ...) and stops. --svg
# draws docs/scaling.svg and needs gnuplot.
#
# FRESH=N generates N heavy boards never seen before (results of 100 to 300 MB, a new seed each
# run; about 5 s a board; 5 unless set) and times them after the others. BASELINE=path/to/runel
# adds the seconds of another build of runel on one core, and its refusal of the huge board, for
# comparing before and after.
set -euo pipefail
cd "$(dirname "$0")/.."
svg=0
if [ "${1:-}" = --svg ]; then
    svg=1
    shift
fi
runs=${1:-3}
reference_limit=60
if ! [[ $runs =~ ^[1-9][0-9]*$ ]] || [ $# -gt 1 ]; then
    echo "usage: bash bench/compare.sh [--svg] [runs per board, default 3]" >&2
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
(( ! svg )) || need gnuplot gnuplot-nox
if [ ${#missing[@]} -gt 0 ]; then
    echo "bench/compare.sh needs: ${missing[*]} (Debian: apt-get install ${missing[*]})" >&2
    exit 1
fi

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRUNEL_BENCH=ON -DBUILD_TESTING=ON >/dev/null
cmake --build build-bench -j2 --target runel runel_plain runel_reference runel_boards >/dev/null
runel=$PWD/build-bench/runel
reference=$PWD/build-bench/tests/runel_reference
phases=$PWD/build-bench/bench/runel_boards
plain=$PWD/build-bench/bench/runel_plain

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

boards=(bench/boards/*.txt) # named so that they sort by result size
if [ "${FRESH:=5}" -gt 0 ]; then
    "$phases" generate "$(date +%s)" "$FRESH" "$work" >/dev/null
    boards+=("$work"/fresh_*.txt)
fi

# time_runs LIMIT COMMAND...: runs COMMAND in $work `runs` times; prints "median_seconds
# max_rss_kb", or "timeout" if a run passed LIMIT seconds. Seconds are wall-clock around the
# whole process (with the small cost of starting it through `time`).
time_runs() {
    local limit=$1 times=() rss=0 start end kb
    shift
    for _ in $(seq "$runs"); do
        rm -f "$work/Runel_out.txt" "$work/dd.out"
        start=$(date +%s%N)
        if ! (cd "$work" && timeout "$limit" /usr/bin/time -f "%M" -o "$work/time" "$@"); then
            echo timeout
            return
        fi
        end=$(date +%s%N)
        kb=$(tail -n 1 "$work/time")
        times+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.3f", ns / 1e9 }')")
        (( kb > rss )) && rss=$kb
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v rss="$rss" '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)], rss }'
}

ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }
mbps() { awk -v b="$1" -v s="$2" 'BEGIN { if (s > 0) printf "%.0f", b / s / 1e6; else print "-" }'; }

data=$work/scaling.dat
: > "$data"
header="| board | result bytes | distinct states | reference s | runel s | runel MB/s | count share | final sync share | peak RSS | bound | one core s"
rule="|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:"
if [ -n "${BASELINE:-}" ]; then header+=" | baseline one core s"; rule+="|---:"; fi
echo "$header | plain one core s | dd s | dd MB/s | dd synced s | runel / plain | runel / dd synced |"
echo "$rule|---:|---:|---:|---:|---:|---:|"
reference_on=1
for board in "${boards[@]}"; do
    cp "$board" "$work/Runel_in.txt"
    read -r seconds rss < <(time_runs 600 "$runel")
    bytes=$(stat -c %s "$work/Runel_out.txt")
    cp "$work/Runel_out.txt" "$work/expected"
    read -r one_core _ < <(time_runs 600 taskset -c 0 "$runel")
    baseline=""
    if [ -n "${BASELINE:-}" ]; then
        read -r base_seconds _ < <(time_runs 600 taskset -c 0 "$BASELINE")
        cmp -s "$work/expected" "$work/Runel_out.txt" || { echo "the baseline differs on $board" >&2; exit 1; }
        baseline=" | $base_seconds"
    fi
    read -r plain_seconds _ < <(time_runs 600 taskset -c 0 "$plain")
    cmp -s "$work/expected" "$work/Runel_out.txt" || { echo "the plain search differs on $board" >&2; exit 1; }
    read -r dd_seconds _ < <(time_runs 600 dd if=/dev/zero of="$work/dd.out" bs=1M count="$bytes" iflag=count_bytes status=none)
    read -r dd_synced _ < <(time_runs 600 dd if=/dev/zero of="$work/dd.out" bs=1M count="$bytes" iflag=count_bytes conv=fsync status=none)
    # The count's share, and the final sync's (the wait before the rename), from one run that times
    # its phases.
    share="-" states="-" bound="-" sync_share="-"
    if (( bytes > 1000000 )); then
        read -r _ _ _ states _ _ count_s _ _ _ _ _ write_s _ _ _ _ _ sync_s _ < <(cd "$work" && "$phases" phases Runel_in.txt)
        share=$(awk -v c="$count_s" -v w="$write_s" 'BEGIN { printf "%.0f%%", 100 * c / (c + w) }')
        sync_share=$(awk -v c="$count_s" -v w="$write_s" -v s="$sync_s" 'BEGIN { printf "%.1f%%", 100 * s / (c + w) }')
        bound="$(((32 * 1048576 + 32 * states) / 1048576)) MB"
        rm -f "$work/Runel_phases.txt"
    fi
    ref="-" ref_seconds="NaN"
    if (( reference_on )); then
        result=$(runs=1 time_runs "$reference_limit" "$reference")
        if [ "$result" = timeout ]; then
            ref="> $reference_limit"
            reference_on=0
        else
            cmp -s "$work/expected" "$work/Runel_out.txt" || { echo "results differ on $board" >&2; exit 1; }
            ref_seconds=${result% *}
            ref=$ref_seconds
        fi
    fi
    # The board's file name, so that a row is found in bench/boards/ as it is printed.
    echo "| $(basename "$board") | $bytes | $states | $ref | $seconds | $(mbps "$bytes" "$seconds") | $share | $sync_share | $((rss / 1024)) MB | $bound | $one_core$baseline | $plain_seconds | $dd_seconds | $(mbps "$bytes" "$dd_seconds") | $dd_synced | $(ratio "$seconds" "$plain_seconds") | $(ratio "$seconds" "$dd_synced") |"
    echo "$bytes $ref_seconds $seconds $one_core $dd_seconds" >> "$data"
done

# A result no disk here holds: how soon runel refuses it, and the memory its count takes. A file
# size limit makes the refusal certain whatever the room on this disk.
cp bench/huge/177g.txt "$work/Runel_in.txt"
read -r refusal refusal_rss < <(time_runs 600 bash -c 'ulimit -f 1048576; ! "$0" 2>/dev/null' "$runel")
echo
echo "A result of 177 GB refused after $refusal s (median), peak RSS $((refusal_rss / 1024)) MB."
if [ -n "${BASELINE:-}" ]; then
    read -r base_refusal _ < <(time_runs 600 bash -c 'ulimit -f 1048576; ! "$0" 2>/dev/null' "$BASELINE")
    echo "The baseline refused it after $base_refusal s (median): $(ratio "$refusal" "$base_refusal") of its time."
fi

(( svg )) || exit 0
sort -n -o "$data" "$data"
gnuplot <<GNUPLOT
set terminal svg size 720,480 font "sans,12"
set output "docs/scaling.svg"
set logscale xy
set xlabel "result bytes"
set ylabel "seconds (whole process, median)"
set key top left
set grid
plot "$data" using 1:2 with linespoints title "plain procedure (reference)", \
     "$data" using 1:3 with linespoints title "runel", \
     "$data" using 1:4 with points title "runel on one core", \
     "$data" using 1:5 with linespoints title "dd writing as many bytes"
GNUPLOT
echo "wrote docs/scaling.svg"
