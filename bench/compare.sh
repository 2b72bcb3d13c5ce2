#!/usr/bin/env bash
# Times runel against the plain reference procedure, whole process, on the boards in
# bench/boards (ascending result size), and draws docs/scaling.svg.
#
#   bash bench/compare.sh [runs per board, default 3]
#
# Seconds are the median of the runs, the reference's a single run; peak RSS is the largest. The reference runs only
# while it stays under a minute: after its first time-out it is left out for larger boards.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-3}
reference_limit=60

if ! command -v gnuplot >/dev/null 2>&1; then
    apt-get install -y gnuplot-nox >/dev/null || { apt-get update >/dev/null && apt-get install -y gnuplot-nox >/dev/null; }
fi
[ -x /usr/bin/time ] || apt-get install -y time >/dev/null

cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DRUNEL_BENCH=OFF >/dev/null
cmake --build build-bench -j2 --target runel runel_reference >/dev/null
runel=$PWD/build-bench/runel
reference=$PWD/build-bench/tests/runel_reference

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# time_runs PROGRAM LIMIT: runs PROGRAM in $work `runs` times; prints "median_seconds max_rss_kb",
# or "timeout" if a run passed LIMIT seconds. Seconds are wall-clock around the whole process
# (with the small cost of starting it through `time`); the peak RSS is what `time` reports.
time_runs() {
    local program=$1 limit=$2 times=() rss=0 start end kb
    for _ in $(seq "$runs"); do
        rm -f "$work/Runel_out.txt"
        start=$(date +%s%N)
        if ! (cd "$work" && timeout "$limit" /usr/bin/time -f "%M" -o "$work/time" "$program"); then
            echo timeout
            return
        fi
        end=$(date +%s%N)
        kb=$(tail -n 1 "$work/time")
        times+=("$(awk -v ns=$((end - start)) 'BEGIN { printf "%.4f", ns / 1e9 }')")
        (( kb > rss )) && rss=$kb
    done
    printf '%s\n' "${times[@]}" | sort -n | awk -v rss="$rss" '{ t[NR] = $1 } END { print t[int((NR + 1) / 2)], rss }'
}

data=$work/scaling.dat
: > "$data"
echo "| board | result bytes | reference s | runel s | ratio | runel MB/s | runel peak RSS |"
echo "|---|---:|---:|---:|---:|---:|---:|"
reference_on=1
for board in bench/boards/*.txt; do # named so that they sort by result size
    cp "$board" "$work/Runel_in.txt"
    read -r seconds rss < <(time_runs "$runel" 600)
    bytes=$(stat -c %s "$work/Runel_out.txt")
    ref="-" ref_seconds="NaN" ratio="-"
    if (( reference_on )); then
        expected=$work/expected
        cp "$work/Runel_out.txt" "$expected"
        result=$(runs=1 time_runs "$reference" "$reference_limit")
        if [ "$result" = timeout ]; then
            ref="> $reference_limit"
            reference_on=0
        else
            cmp -s "$expected" "$work/Runel_out.txt" || { echo "results differ on $board" >&2; exit 1; }
            ref_seconds=${result% *}
            ref=$ref_seconds
            ratio=$(awk -v r="$ref_seconds" -v s="$seconds" 'BEGIN { printf "%.1f", r / s }')
        fi
    fi
    mbps=$(awk -v b="$bytes" -v s="$seconds" 'BEGIN { if (s > 0) printf "%.0f", b / s / 1e6; else print "-" }')
    echo "| $(basename "$board" .txt | cut -d_ -f2) | $bytes | $ref | $seconds | $ratio | $mbps | $((rss / 1024)) MB |"
    echo "$bytes $ref_seconds $seconds" >> "$data"
done

gnuplot <<GNUPLOT
set terminal svg size 720,480 font "sans,12"
set output "docs/scaling.svg"
set logscale xy
set xlabel "result bytes"
set ylabel "seconds (whole process, median)"
set key top left
set grid
plot "$data" using 1:2 with linespoints title "plain procedure (reference)", \
     "$data" using 1:3 with linespoints title "runel"
GNUPLOT
echo "wrote docs/scaling.svg"
