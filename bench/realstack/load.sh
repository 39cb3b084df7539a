# Sourced by the real-stack benchmarks: start_load DIR keeps two compiles of this project
# running (each in a process group of its own, builds under DIR); stop_load ends them.
loaders=()
start_load() {
    for n in 1 2; do
        cmake -S . -B "$1/load$n" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
        setsid bash -c "while :; do cmake --build '$1/load$n' --clean-first -j1 >/dev/null 2>&1; done" &
        loaders+=($!)
    done
}
stop_load() {
    local pid
    for pid in "${loaders[@]}"; do kill -- "-$pid" 2>/dev/null || true; done
    loaders=()
}
