# Sourced by the list benchmarks. `scaling NAME KEY DRIVER...` runs a driver
# whose helper is pinned with taskset to one processor and then to two, reads
# the throughput figure named KEY (the first number after it) from each run,
# and prints both, the speedup, the per-core efficiency, and what Amdahl's law
# fitted to the two figures expects on 8 cores. Needs BUILD.
first_cpus() {  # N: the first N processors this shell may run on, as taskset takes them
    python3 -c 'import os, sys; c = sorted(os.sched_getaffinity(0)); n = int(sys.argv[1])
print(",".join(map(str, c[:n])) if len(c) >= n else "")' "$1"
}

scaling() {
    local name=$1 key=$2
    shift 2
    local two
    two=$(first_cpus 2)
    if [ -z "$two" ]; then
        echo "${name}_scaling skipped: fewer than 2 processors"
        return 0
    fi
    local helper figure1 figure2
    helper=$(cd "$BUILD" && pwd)/ostra-native
    pinned=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)/pinned-helper
    figure1=$(OSTRA_HELPER_UNDER_TEST=$pinned OSTRA_BENCH_HELPER=$helper \
        OSTRA_BENCH_CPUS=$(first_cpus 1) "$@" | awk -v k="$key" '$1 == k {print $2; exit}')
    figure2=$(OSTRA_HELPER_UNDER_TEST=$pinned OSTRA_BENCH_HELPER=$helper \
        OSTRA_BENCH_CPUS=$two "$@" | awk -v k="$key" '$1 == k {print $2; exit}')
    if [ -z "$figure1" ] || [ -z "$figure2" ]; then
        echo "${name}_scaling failed: no $key figure"
        return 1
    fi
    awk -v n="$name" -v a="$figure1" -v b="$figure2" 'BEGIN {
        s2 = b / a
        # Amdahl: speedup(p) = 1 / (f + (1 - f) / p), f fitted to speedup(2).
        f = 2 / s2 - 1
        if (f < 0) f = 0
        if (f > 1) f = 1
        s8 = 1 / (f + (1 - f) / 8)
        printf "%s_pinned_1_core %.4g\n%s_pinned_2_cores %.4g\n", n, a, n, b
        printf "%s_per_core_efficiency %.2f (speedup %.2f on 2 cores; serial share %.3f)\n", n, s2 / 2, s2, f
        printf "%s_expected_on_8_cores: speedup %.2f, per-core efficiency %.2f, %.4g (Amdahl fitted to 1 and 2 cores)\n", n, s8, s8 / 8, a * s8
    }'
}
