# Sourced by the benchmarks: an agent's CPU while idle watching, against empty
# 4 Hz timers run over the same time (bench/agent's --empty-timer).
#
#   idle_cost AGENT_PID EMPTY_TIMER IDLE_SECONDS ROUNDS
#
# One round: the agent beside three fresh empty timers over the same window,
# against the highest of them. One window is noisy (identical timers differ by
# half), so several rounds are taken and the median ratio counts. Prints each
# round; sets idle_ratio and idle_agent_hour (the medians, CPU seconds per
# hour).

cpu_ns() { # PID: its threads' time on CPU so far, nanoseconds
    cat /proc/"$1"/task/*/schedstat | awk '{ total += $1 } END { printf "%d", total }'
}
median() { printf '%s\n' "$@" | sort -n | awk '{ v[NR] = $1 } END { print (v[int((NR + 1) / 2)] + v[int(NR / 2) + 1]) / 2 }'; }

idle_cost() {
    local agent_pid=$1 empty_timer=$2 idle_seconds=$3 rounds=$4
    local round pid i cpu floor floors ratio agent_cpu agent_start timers timer_start ratios=() hours=()
    [ "$rounds" -ge 1 ] || { echo "idle_cost: at least one round" >&2; return 2; }
    per_hour() { awk -v c="$1" -v s="$idle_seconds" 'BEGIN { printf "%.3f", c / 1e9 * 3600 / s }'; }
    for round in $(seq "$rounds"); do
        # A third of the period apart: timers that fire together share the
        # cost of waking the CPU, which the agent, firing alone, never does.
        timers=()
        for _ in 1 2 3; do
            "$empty_timer" --empty-timer &
            timers+=($!)
            sleep 0.083
        done
        sleep 0.5
        agent_start=$(cpu_ns "$agent_pid")
        timer_start=()
        for pid in "${timers[@]}"; do timer_start+=("$(cpu_ns "$pid")"); done
        sleep "$idle_seconds"
        agent_cpu=$(($(cpu_ns "$agent_pid") - agent_start))
        floor=0 floors=
        for i in 0 1 2; do
            cpu=$(($(cpu_ns "${timers[$i]}") - timer_start[i]))
            [ "$cpu" -gt "$floor" ] && floor=$cpu
            floors+=" $(per_hour "$cpu")"
        done
        kill "${timers[@]}"
        wait "${timers[@]}" 2>/dev/null || true
        ratio=$(awk -v a="$agent_cpu" -v f="$floor" 'BEGIN { printf "%.2f", a / f }')
        ratios+=("$ratio") hours+=("$(per_hour "$agent_cpu")")
        echo "  round $round: agent $(per_hour "$agent_cpu") s/h, timers$floors s/h, ratio $ratio"
    done
    idle_ratio=$(median "${ratios[@]}") idle_agent_hour=$(median "${hours[@]}")
}
