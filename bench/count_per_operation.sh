#!/bin/sh
# System calls and instructions per operation of benchmarks that take a
# fixed iteration count from QMS_BENCH_ITERATIONS and use real time: by
# default the request road's two sides (BM_FacadeOnly, the module; BM_BareOnly,
# a bare client) at each text length of switchclient_bench.
#
# Each figure is the difference of two runs with a fixed iteration count
# (QMS_BENCH_ITERATIONS = LOW and HIGH) divided by HIGH - LOW, so set-up,
# attach and start-up cancel out.
#   system calls: perf's syscall tracepoint (strace -ff without perf), the
#     agent simulator's calls left out, every other thread of the bench
#     process counted (task thread and caller alike).
#   instructions: valgrind --tool=callgrind, total Ir of the bench process
#     (the simulator, exec'd, runs natively and is not counted).
#
# usage: bench/count_per_operation.sh [BENCH_BINARY [LOW HIGH [NAME...]]]
#   e.g. bench/count_per_operation.sh build/bench/bench/trace_bench 20000 120000 BM_RingOnly BM_SpdlogOnly
set -eu
bin=${1:-build/bench/bench/switchclient_bench}
low=${2:-200}
high=${3:-600}
[ $# -gt 3 ] && shift 3 || set -- BM_FacadeOnly/0 BM_BareOnly/0 BM_FacadeOnly/100 BM_BareOnly/100 \
    BM_FacadeOnly/4096 BM_BareOnly/4096
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# syscalls FILTER ITERATIONS: system calls of the bench's own threads. perf
# counts them without stopping the threads; strace (the fallback) stops each
# call for long enough to turn the task thread's hand-over watches into
# waits, so its figures are the hand-over's worst case.
syscalls() {
    if perf stat -e raw_syscalls:sys_enter true >/dev/null 2>&1; then
        QMS_BENCH_ITERATIONS=$2 perf record -q -o "$work/p.data" -e raw_syscalls:sys_enter \
            "$bin" --benchmark_filter="^$1\$" >/dev/null 2>&1
        perf script -i "$work/p.data" -F comm 2>/dev/null | grep -vc 'rqbd-sim' || true
        return
    fi
    rm -rf "$work/st" && mkdir "$work/st"
    QMS_BENCH_ITERATIONS=$2 strace -qq -ff -o "$work/st/t" "$bin" --benchmark_filter="^$1\$" >/dev/null 2>&1
    total=0
    for f in "$work"/st/t.*; do
        if grep -q '^execve("[^"]*/rqbd-sim"' "$f"; then continue; fi
        n=$(grep -cE '^[a-z_0-9]+\(' "$f" || true)
        total=$((total + n))
    done
    echo "$total"
}

# instructions FILTER ITERATIONS: total Ir of the bench process.
instructions() {
    QMS_BENCH_ITERATIONS=$2 valgrind --tool=callgrind --callgrind-out-file="$work/cg.out" \
        "$bin" --benchmark_filter="^$1\$" >/dev/null 2>&1
    grep '^summary:' "$work/cg.out" | awk '{print $2}'
}

per() { awk -v a="$1" -v b="$2" -v n=$((high - low)) 'BEGIN { printf "%.2f", (b - a) / n }'; }

printf '%-22s %12s %16s\n' benchmark syscalls/op instructions/op
for base in "$@"; do
    s1=$(syscalls "$base/iterations:$low/real_time" "$low")
    s2=$(syscalls "$base/iterations:$high/real_time" "$high")
    i1=$(instructions "$base/iterations:$low/real_time" "$low")
    i2=$(instructions "$base/iterations:$high/real_time" "$high")
    printf '%-22s %12s %16s\n' "$base" "$(per "$s1" "$s2")" "$(per "$i1" "$i2")"
done
