# SPDX-License-Identifier: GPL-3.0-or-later
# A redis-server of a test's own, without persistence. Source it from bash.

# vc_redis_start DIR [OPTION...]
# Starts redis-server on a free loopback port (tried until one binds) with
# its files in DIR and the further server OPTIONs (such as --bind), and
# waits until it answers. Sets VC_REDIS_PORT and VC_REDIS_PID.
vc_redis_start() {
    local dir=$1 i n port
    shift
    mkdir -p "$dir"
    for ((i = 0; i < 20; i++)); do
        port=$((20000 + RANDOM % 40000))
        redis-server --port "$port" --save '' --appendonly no --dir "$dir" \
            --daemonize no --logfile "$dir/log" "$@" &
        VC_REDIS_PID=$!
        for ((n = 0; n < 50; n++)); do
            redis-cli -p "$port" ping >/dev/null 2>&1 && { VC_REDIS_PORT=$port; return 0; }
            kill -0 "$VC_REDIS_PID" 2>/dev/null || break
            sleep 0.1
        done
        kill "$VC_REDIS_PID" 2>/dev/null
        wait "$VC_REDIS_PID" 2>/dev/null
    done
    VC_REDIS_PID=
    echo "redis: redis-server did not start (see $dir/log)" >&2
    return 1
}
