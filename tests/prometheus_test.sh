#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# README's metrics set-up with a real Prometheus: nginx in front of four
# FastCGI workers started with README's spawn-fcgi lines, README's
# nginx-metrics location in its server block, and Prometheus scraping it
# every second with README's scrape block. A known mix of counter requests
# goes through nginx (visits counted, a visitor's reloads, peeks with
# count=no, an unknown counter); once Prometheus has scraped after the
# last of them, its queries must agree with the requests made, outcome by
# outcome, and see the four workers. promtool must accept the figures as
# nginx and `vornctl metrics` give them, mode=health must say ok, and an
# address outside METRICS_ADDR must get no figures.
#
#   tests/prometheus_test.sh BUILD_DIR
set -uo pipefail

build=$(cd "${1:?usage: prometheus_test.sh BUILD_DIR}" && pwd)
src=$(cd "$(dirname "$0")/.." && pwd)
. "$src/scripts/lib/site.sh"
. "$src/scripts/lib/servers.sh"
for tool in prometheus promtool nginx spawn-fcgi /usr/sbin/fcgiwrap curl python3 gdbm_dump; do
    command -v "$tool" >/dev/null || { echo "prometheus: $tool is missing (scripts/install-deps)"; exit 1; }
done
export TZ=UTC LC_ALL=C
export ASAN_OPTIONS=abort_on_error=0:exitcode=86:detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1:exitcode=87

tmp=$(mktemp -d "${TMPDIR:-/tmp}/vorn-prometheus.XXXXXX")
prom_pid='' prom_guard=''
stop_prometheus() {
    [ -n "$prom_guard" ] && kill "$prom_guard" 2>/dev/null && wait "$prom_guard" 2>/dev/null
    prom_guard=
    [ -n "$prom_pid" ] || return 0
    kill -TERM "$prom_pid" 2>/dev/null
    for ((n = 0; n < 50; n++)); do
        kill -0 "$prom_pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$prom_pid" 2>/dev/null
    wait "$prom_pid" 2>/dev/null
    prom_pid=
}
trap 'stop_prometheus; vc_web_stop; [ -n "${KEEP:-}" ] || rm -rf "$tmp"' EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { failed=$((failed + 1)); echo "FAIL: $*"; }

site=$tmp/www/site
run=$tmp/run
vc_site_create "$build" "$site" || exit 1
vc_site_add_counter "$build" "$site" web || exit 1
# The figures in the workers' runtime folder, as README puts them (README's
# spawn-fcgi lines make it the web user's; without them it is the test's).
mkdir -p "$run/vc"
printf 'METRICS = %s\nMETRICS_ADDR = 127.0.0.1 ::1\nREPEAT_MINUTES = 30\n' "$run/vc/metrics" >>"$site/conf/vc.conf"

# README's nginx-metrics location, passing to the workers' socket of this
# start (README's own path when its spawn-fcgi lines start them).
metrics_location() {
    _vc_readme_block nginx-metrics | sed -e "s|unix:$run/vc/vorncounter.sock|unix:$VC_FCGI_SOCK|" -e 's/^/        /'
}
export VC_README=$src/README.md
VC_WORKERS=4 VC_NGINX_LOCATIONS=metrics_location vc_web_start nginx fastcgi "$site" "$run" || exit 1
grep -q 'location = /vorncounter-metrics' "$run/nginx.conf" ||
    { echo "prometheus: README has no nginx-metrics block"; exit 1; }
base=http://127.0.0.1:$VC_PORT

# README's scrape block, aimed at this nginx, scraping every second.
mkdir -p "$tmp/prom"
{
    printf 'global:\n  scrape_interval: 1s\n'
    _vc_readme_block prometheus-scrape | sed "s|'localhost:80'|'127.0.0.1:$VC_PORT'|"
} >"$tmp/prom/prometheus.yml"
grep -q "'127.0.0.1:$VC_PORT'" "$tmp/prom/prometheus.yml" ||
    { echo "prometheus: README's prometheus-scrape block names no target 'localhost:80'"; exit 1; }
promtool check config "$tmp/prom/prometheus.yml" >"$tmp/prom/check.out" 2>&1 && ok ||
    { bad "promtool rejects README's scrape block:"; cat "$tmp/prom/check.out"; }

for ((try = 0; try < 5; try++)); do
    prom_port=$(_vc_web_free_port)
    setsid prometheus --config.file="$tmp/prom/prometheus.yml" --storage.tsdb.path="$tmp/prom/data" \
        --web.listen-address="127.0.0.1:$prom_port" --log.level=warn >>"$tmp/prom/prometheus.log" 2>&1 </dev/null &
    prom_pid=$!
    # Stopped once this shell is gone, even when it was killed without
    # running its traps (a test runner's time-out).
    (
        while kill -0 $$ 2>/dev/null; do sleep 1; done
        kill -TERM "$prom_pid"
    ) </dev/null >/dev/null 2>&1 &
    prom_guard=$!
    for ((n = 0; n < 200; n++)); do
        kill -0 "$prom_pid" 2>/dev/null || break
        curl -sf -m 2 -o /dev/null "http://127.0.0.1:$prom_port/-/ready" && break 2
        sleep 0.1
    done
    stop_prometheus
done
[ -n "$prom_pid" ] || { echo "prometheus: Prometheus did not start"; cat "$tmp/prom/prometheus.log"; exit 1; }
api=http://127.0.0.1:$prom_port/api/v1/query

# query PROMQL: the value of the query's single sample, "none" when it has
# none (or Prometheus does not answer).
query() {
    curl -s -m 5 -G --data-urlencode "query=$1" "$api" | python3 -c '
import json, sys
try:
    r = json.load(sys.stdin)["data"]["result"]
except Exception:
    r = []
print(r[0]["value"][1] if len(r) == 1 else "none")'
}

# wait_scrape AFTER: waits at most 30 s until Prometheus holds a scrape of
# the workers that began after the Unix time AFTER; fails otherwise.
wait_scrape() {
    local after=$1 at n
    for ((n = 0; n < 150; n++)); do
        at=$(query 'timestamp(up{job="vorncounter"})')
        [ "$at" != none ] && python3 -c "import sys; sys.exit(not $at > $after)" && return 0
        sleep 0.2
    done
    return 1
}

# A first scrape before any request, so that the rates have a start.
wait_scrape 0 || { bad "Prometheus did not scrape $base within 30 s"; tail -20 "$tmp/prom/prometheus.log"; exit 1; }
# Each worker added its start as it started, before any request of its own.
starts=$(query 'vorncounter_worker_starts_total')
[ "$starts" = 4 ] && ok || bad "vorncounter_worker_starts_total is $starts before any request, not 4"

# The requests, each answer checked: 40 visitors counted (8 clients at a
# time, which the workers share), 10 reloads of the first, 10 peeks, 5
# requests for a counter that is not there.
agent() { echo "Mozilla/5.0 (X11; Linux x86_64; rv:128.0) Gecko/20100101 Firefox/128.0 visitor-$1"; }
clients=()
for ((c = 0; c < 8; c++)); do
    for ((i = c; i < 40; i += 8)); do
        curl -s -m 30 -o /dev/null -w '%{http_code} %{content_type}\n' -A "$(agent "$i")" "$base$VC_URL?vdb=web"
    done >"$tmp/visits.$c" &
    clients+=($!)
done
wait "${clients[@]}"
answers=$(cat "$tmp"/visits.* | sort | uniq -c | sed 's/^ *//')
[ "$answers" = "40 200 image/gif" ] && ok || bad "40 visits answered: $answers"
json() {  # QUERY AGENT: the HTTP status and the reason (or error) of the JSON answer
    curl -s -m 30 -w '\n%{http_code}\n' -A "$2" "$base$VC_URL?$1" | python3 -c '
import json, sys
body, status = sys.stdin.read().rsplit("\n", 2)[:2]
a = json.loads(body)
print(status, "counted" if a.get("counted") else a.get("reason", "error" if "error" in a else "?"))'
}
for ((i = 0; i < 10; i++)); do json "vdb=web&format=json" "$(agent 0)"; done >"$tmp/repeats"
for ((i = 0; i < 10; i++)); do json "vdb=web&format=json&count=no" "$(agent 99)"; done >"$tmp/peeks"
for ((i = 0; i < 5; i++)); do json "vdb=nosuchcounter&format=json" "$(agent 99)"; done >"$tmp/errors"
for f in repeats:"10 200 repeat" peeks:"10 200 peek" errors:"5 404 error"; do
    got=$(sort "$tmp/${f%%:*}" | uniq -c | sed 's/^ *//')
    [ "$got" = "${f#*:}" ] && ok || bad "${f%%:*} answered: $got"
done
total=$(vc_db_total "$site/save/web.db")
[ "$total" = 40 ] && ok || bad "totcnt is $total, not 40"

# A request's figures are added once its answer has gone out (and its visit
# is synced): wait for a scrape that began a second after the last answer.
wait_scrape "$(python3 -c 'import time; print(time.time() + 1)')" && ok ||
    bad "no scrape after the requests within 30 s"

# expect PROMQL VALUE: Prometheus' answer to the query must be VALUE.
expect() {
    local got
    got=$(query "$1")
    [ "$got" = "$2" ] && ok || bad "$1 is $got, not $2"
}
expect 'up{job="vorncounter"}' 1
expect 'sum(vorncounter_requests_total{mode="counter"})' 65
expect 'sum(vorncounter_requests_total{mode="counter",outcome="counted"})' 40
expect 'sum(vorncounter_requests_total{mode="counter",outcome="repeat"})' 10
expect 'sum(vorncounter_requests_total{mode="counter",outcome="peek"})' 10
expect 'sum(vorncounter_requests_total{mode="counter",outcome="error"})' 5
expect 'sum(vorncounter_requests_total{mode="counter",outcome="error",status="404"})' 5
expect 'vorncounter_worker_starts_total' 4
rate=$(query 'sum(rate(vorncounter_requests_total{mode="counter"}[1m]))')
python3 -c "import sys; sys.exit(not float('$rate') > 0)" 2>/dev/null && ok ||
    bad "sum(rate(vorncounter_requests_total{mode=\"counter\"}[1m])) is $rate, not above 0"
# Workers answered every request, each added once to both figures (in one
# query: both of the same scrape).
expect 'vorncounter_worker_requests_total - scalar(sum(vorncounter_requests_total))' 0

# The figures as Prometheus fetches them, and as vornctl prints them, pass
# promtool's check (its lint findings are shown, its exit status counts).
curl -s -m 10 -D "$tmp/scrape.head" -o "$tmp/scrape.txt" "$base/vorncounter-metrics?mode=metrics"
tr -d '\r' <"$tmp/scrape.head" | grep -qix 'Content-type: text/plain; version=0.0.4' && ok ||
    bad "the scrape's header is not text/plain; version=0.0.4: $(tr -d '\r' <"$tmp/scrape.head" | tr '\n' '|')"
"$build/bin/vornctl" -C "$site" metrics >"$tmp/vornctl.txt" 2>"$tmp/vornctl.err" ||
    { bad "vornctl metrics failed:"; cat "$tmp/vornctl.err"; }
for f in scrape vornctl; do
    grep -q '^vorncounter_worker_starts_total ' "$tmp/$f.txt" || bad "$f: no vorncounter_worker_starts_total"
    promtool check metrics <"$tmp/$f.txt" >"$tmp/$f.lint" 2>&1 && ok || bad "promtool check metrics rejects $f:"
    [ -s "$tmp/$f.lint" ] && { echo "promtool on $f:"; cat "$tmp/$f.lint"; }
done

# The health check, and no figures for an address outside METRICS_ADDR:
# the location refuses it, and the counter answers it as the unknown mode
# any other word is.
health=$(curl -s -m 10 -w ' %{http_code}' "$base$VC_URL?mode=health" | head -c 100 | cat -v)
[ "$health" = $'ok\n 200' ] && ok || bad "mode=health answered '$health', not ok"
status=$(curl -s -m 10 -o /dev/null -w '%{http_code}' --interface 127.0.0.2 "$base/vorncounter-metrics?mode=metrics")
[ "$status" = 403 ] && ok || bad "the metrics location answered $status to 127.0.0.2, not 403"
outside() {  # MODE: the answer to 127.0.0.2, without its date
    curl -s -m 10 -i --interface 127.0.0.2 "$base$VC_URL?vdb=web&mode=$1&format=json" | grep -v '^Date:'
}
unknown=$(outside nosuchmode)
for m in metrics health; do
    got=$(outside "$m") want=${unknown//nosuchmode/$m}
    [ "$got" = "$want" ] && ok || bad "mode=$m from 127.0.0.2 answered $got, not as an unknown mode: $want"
done

stop_prometheus
vc_web_stop
vc_web_sanitized && ok || bad "a sanitizer report (above)"
echo "prometheus: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
