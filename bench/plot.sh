#!/usr/bin/env bash
# Draws the benchmark's plots with gnuplot, as PNG and SVG, into the output
# folder avbench wrote:
#   latency.*     relay latency distribution of avhub, socat and hoprelay
#   pacing.*      each clip packet's deviation from its due time, clip openings marked
#                 (seen as the loop's 100 ms pause) beside where each clip falls due
#   call-cost.*   avhub's CPU share and resident memory over the long call
# A plot whose data file is missing (its phase did not run) is left out.
#
#   bash bench/plot.sh OUT_DIR
set -euo pipefail
out=${1:?usage: plot.sh OUT_DIR}
if ! command -v gnuplot >/dev/null; then
    echo "plot: gnuplot is not installed (scripts/deps.sh installs it)" >&2
    exit 1
fi
cd "$out"

terminal() {
    case $1 in
        png) echo "set terminal pngcairo size 960,540 font 'sans,10'" ;;
        svg) echo "set terminal svg size 960,540 dynamic font 'sans,10' background '#ffffff'" ;;
    esac
}

plot_latency() {
    local fmt=$1 files=() series=()
    for name in avhub socat hoprelay; do
        [[ -s latency-$name.tsv ]] && files+=("$name")
    done
    [[ ${#files[@]} -gt 0 ]] || return 0
    for name in "${files[@]}"; do
        series+=("'latency-$name.tsv' skip 1 using (\$1/1000):(1.0/N_$name) smooth cumulative with lines lw 2 title '$name'")
    done
    {
        terminal "$fmt"
        echo "set output 'latency.$fmt'"
        for name in "${files[@]}"; do
            echo "stats 'latency-$name.tsv' skip 1 using 1 nooutput"
            echo "N_$name = STATS_records"
        done
        cat <<'EOF'
set title 'Relay latency: 4 KiB frames in 1400-byte pieces, 500 frames/s'
set xlabel 'latency, encoder write of the last piece to decoder read of the frame (ms)'
set ylabel 'fraction of frames at or below'
set logscale x
set format x '%g'
set yrange [0:1]
set ytics 0.1
set grid xtics ytics mxtics
set key bottom right
EOF
        local IFS=,
        echo "plot ${series[*]}"
    } | gnuplot
}

plot_pacing() {
    local fmt=$1
    [[ -s pacing.tsv ]] || return 0
    {
        terminal "$fmt"
        echo "set output 'pacing.$fmt'"
        # Where each clip's packets fall due: a dashed line per clip.
        if [[ -s clip-opens.tsv ]]; then
            tail -n +2 clip-opens.tsv | while IFS=$'\t' read -r clip due; do
                echo "set arrow from $due/1000.0, graph 0 to $due/1000.0, graph 1 nohead dt 2 lw 1.5 lc rgb '#444444'"
                echo "set label '$clip due' at $due/1000.0, graph 0.04 offset 0.5,0 font ',9'"
            done
        fi
        # Where a clip was opened: avhub reads clips ahead of their due time
        # and each opening pauses its loop for 100 ms, the only pause while
        # a clip plays, so it shows as a gap of 60 ms or more in the
        # arrivals (due time + deviation) of video and audio together.
        tail -n +2 pacing.tsv | awk -F'\t' '{ print $4 + $3 }' | sort -g |
            awk 'NR > 1 && $1 - prev >= 60 { printf "%.1f %.0f\n", prev, $1 - prev } { prev = $1 }' |
            while read -r at gap; do
                echo "set arrow from $at/1000.0, graph 0 to $at/1000.0, graph 1 nohead lw 1.5 lc rgb '#d62728'"
                echo "set label 'next clip opened: no packet for $gap ms' at $at/1000.0, graph 0.92 right offset -0.5,0 font ',9' tc rgb '#d62728'"
            done
        cat <<'EOF'
set title 'Clip pacing: arrival at the decoder minus due time (25 frames/s H.264, G.711 in 160-byte blocks)'
set xlabel 'due time from the start of the clip (s)'
set ylabel 'deviation (ms), negative = early'
set grid
set offsets graph 0.02, graph 0.08, graph 0.08, graph 0.04
set key top center horizontal
plot 'pacing.tsv' skip 1 using (strcol(1) eq 'video' ? $4/1000.0 : NaN):3 with points pt 7 ps 0.4 lc rgb '#1f77b4' title 'video packets', \
     'pacing.tsv' skip 1 using (strcol(1) eq 'audio' ? $4/1000.0 : NaN):3 with points pt 7 ps 0.3 lc rgb '#ff7f0e' title 'audio blocks', \
     0 with lines lc rgb '#888888' notitle
EOF
    } | gnuplot
}

plot_call() {
    local fmt=$1
    [[ -s call.tsv ]] || return 0
    {
        terminal "$fmt"
        echo "set output 'call-cost.$fmt'"
        cat <<'EOF'
set title 'avhub during the long call: 1280x720, 30 frames/s, 8 Mbit/s'
set xlabel 'time into the call (s)'
set ylabel 'CPU share of one core (%), per second'
set y2label 'resident memory (MiB)'
set ytics nomirror
set y2tics
stats 'call.tsv' skip 1 using 2:3 nooutput
set yrange [0:STATS_max_x * 1.3 + 0.1]
set y2range [0:STATS_max_y * 1.3 + 1]
set grid
set key bottom right
plot 'call.tsv' skip 1 using 1:2 with lines lw 1.5 lc rgb '#1f77b4' title 'CPU %', \
     'call.tsv' skip 1 using 1:3 axes x1y2 with lines lw 2 lc rgb '#d62728' title 'RSS MiB'
EOF
    } | gnuplot
}

for fmt in png svg; do
    plot_latency "$fmt"
    plot_pacing "$fmt"
    plot_call "$fmt"
done
for f in *.png *.svg; do [[ -e $f ]] && echo "plot: $PWD/$f"; done; true
