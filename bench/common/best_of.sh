# Sourced by the benchmark scripts; needs ROUNDS set.
# Prints "best_wall_seconds best_cpu_seconds" over ROUNDS runs of a command.
best_of() {
    local out
    out=$(for _ in $(seq "$ROUNDS"); do
        /usr/bin/time -f '%e %U %S' "$@" 2>&1 >/dev/null | tail -1
    done)
    echo "$out" | awk 'NR == 1 || $1 < w {w = $1} NR == 1 || $2 + $3 < c {c = $2 + $3}
                       END {print w, c}'
}
