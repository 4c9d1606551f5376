#!/bin/sh
# The command line as a whole process beside curl: hyperfine runs
#   vennatro --ping http://127.0.0.1/ --http-port PORT
#   curl -sI http://127.0.0.1:PORT/
# against the same private nginx on 127.0.0.1, and prints both means and the ratio. A third
# command, "vennatro --version", starts and ends the program without a ping: what the start of
# the process alone costs.
#
#   bench/cli_vs_curl.sh [PROGRAM] [RUNS] [ROUNDS]   (defaults: build/vennatro, 300, 5)
#
# nginx runs with a configuration, prefix and logs of its own in a temporary folder, on a free
# loopback port, and is stopped on every way out. The program reads a private, empty store
# (XDG_CONFIG_HOME in the same folder), so the user's settings play no part. The whole run is
# bounded by a time-out.
set -eu

program=${1:-build/vennatro}
runs=${2:-300}
rounds=${3:-5}
limit=600 # seconds for the whole measurement

for tool in nginx hyperfine curl python3; do
    command -v "$tool" >/dev/null || { echo "cli_vs_curl: $tool is missing" >&2; exit 2; }
done
[ -x "$program" ] || { echo "cli_vs_curl: no program at $program" >&2; exit 2; }
program=$(cd "$(dirname "$program")" && pwd)/$(basename "$program")

root=$(mktemp -d "${TMPDIR:-/tmp}/vennatro-cli-bench.XXXXXX")
nginx_pid=
stop() {
    if [ -n "$nginx_pid" ] && kill -0 "$nginx_pid" 2>/dev/null; then
        kill -TERM "$nginx_pid" 2>/dev/null || true
        # nginx's master ends its worker and then itself; give it a few seconds.
        for _ in 1 2 3 4 5 6 7 8 9 10; do
            kill -0 "$nginx_pid" 2>/dev/null || break
            sleep 0.2
        done
        kill -KILL "$nginx_pid" 2>/dev/null || true
        wait "$nginx_pid" 2>/dev/null || true
    fi
    rm -rf "$root"
}
trap stop EXIT
trap 'exit 130' INT TERM

# A free port on 127.0.0.1 (it could be taken between the probe and nginx's bind: then nginx
# fails to start and the script says so).
port=$(python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkdir -p "$root/tmp" "$root/config"
user=
[ "$(id -u)" -eq 0 ] && user="user root;"
cat >"$root/nginx.conf" <<EOF
$user
daemon off;
master_process on;
worker_processes 1;
pid $root/nginx.pid;
error_log $root/error.log warn;
events { worker_connections 64; }
http {
    access_log off;
    client_body_temp_path $root/tmp/body;
    proxy_temp_path $root/tmp/proxy;
    fastcgi_temp_path $root/tmp/fastcgi;
    uwsgi_temp_path $root/tmp/uwsgi;
    scgi_temp_path $root/tmp/scgi;
    server {
        listen 127.0.0.1:$port;
        server_name _;
        location / {
            default_type text/plain;
            return 200 "vennatro bench\n";
        }
    }
}
EOF
nginx -p "$root" -e "$root/error.log" -c "$root/nginx.conf" &
nginx_pid=$!

# Wait until it answers (at most 10 s).
up=
for _ in $(seq 50); do
    if curl -s -o /dev/null --max-time 1 "http://127.0.0.1:$port/"; then
        up=1
        break
    fi
    sleep 0.2
done
[ -n "$up" ] || { echo "cli_vs_curl: nginx did not answer; error log:" >&2; cat "$root/error.log" >&2; exit 1; }

export XDG_CONFIG_HOME="$root/config"
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY

echo "nginx $(nginx -v 2>&1 | sed 's/.*\///') on 127.0.0.1:$port; $(curl --version | head -1 | cut -d' ' -f1,2);" \
    "$(hyperfine --version); $runs runs of each in $rounds rounds, 5 warm-up runs a round"
# One check first: both must succeed, and the program must log a completion.
"$program" --ping http://127.0.0.1/ --http-port "$port" | grep -q "completed in" ||
    { echo "cli_vs_curl: the program did not complete a ping" >&2; exit 1; }
curl -sI "http://127.0.0.1:$port/" | grep -q "^HTTP/1.1 200" ||
    { echo "cli_vs_curl: curl got no 200" >&2; exit 1; }

# -N: no intermediate shell, so neither figure carries a shell's start. A non-zero exit status
# (a failed ping) stops hyperfine. hyperfine runs all runs of one command before the next; on a
# shared machine the load drifts meanwhile, so the runs are split into rounds that take turns.
per_round=$(((runs + rounds - 1) / rounds))
deadline=$(($(date +%s) + limit))
for round in $(seq "$rounds"); do
    left=$((deadline - $(date +%s)))
    [ "$left" -gt 0 ] || { echo "cli_vs_curl: out of time after $((round - 1)) rounds" >&2; exit 1; }
    echo "round $round of $rounds, load $(cut -d' ' -f1-3 /proc/loadavg)"
    timeout "$left" hyperfine -N --style basic --warmup 5 --runs "$per_round" \
        --export-json "$root/round$round.json" \
        --command-name vennatro "$program --ping http://127.0.0.1/ --http-port $port" \
        --command-name curl "curl -sI http://127.0.0.1:$port/" \
        --command-name "vennatro --version" "$program --version" >"$root/round$round.txt"
done

python3 - "$root" "$rounds" <<'EOF'
import json, os, statistics, sys
root, rounds = sys.argv[1], int(sys.argv[2])
names = ("vennatro", "curl", "vennatro --version")
times = {n: [] for n in names}
cpu = {n: [] for n in names}
ratios = []
for i in range(1, rounds + 1):
    with open(os.path.join(root, f"round{i}.json")) as f:
        results = {r["command"]: r for r in json.load(f)["results"]}
    for n in names:
        times[n] += results[n]["times"]
        cpu[n].append(results[n]["user"] + results[n]["system"])
    ratios.append(results["vennatro"]["mean"] / results["curl"]["mean"])
print(f"{'':20} {'runs':>5} {'mean':>8} {'median':>8} {'min':>8} {'sd':>7} {'CPU':>7}"
      "   (ms; CPU = user+system a run)")
for n in names:
    t = [x * 1e3 for x in times[n]]
    print(f"{n:20} {len(t):5d} {statistics.mean(t):8.2f} {statistics.median(t):8.2f} "
          f"{min(t):8.2f} {statistics.stdev(t):7.2f} {statistics.mean(cpu[n]) * 1e3:7.2f}")
v, c, s = (times[n] for n in names)
print(f"ratio vennatro / curl: mean {statistics.mean(v) / statistics.mean(c):.2f}, "
      f"median {statistics.median(v) / statistics.median(c):.2f}, "
      f"CPU {statistics.mean(cpu['vennatro']) / statistics.mean(cpu['curl']):.2f}; "
      f"mean per round {min(ratios):.2f} to {max(ratios):.2f}")
print(f"vennatro --ping minus vennatro --version (medians): "
      f"{(statistics.median(v) - statistics.median(s)) * 1e3:.2f} ms")
EOF
