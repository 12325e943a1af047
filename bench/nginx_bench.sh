# Sourced by the patcher benchmarks (patcher_bench.sh, network_bench.sh,
# patcher_scale_bench.sh): their temporary directory and clean-up, nginx
# serving a folder on a free port of 127.0.0.1 with an access log of "uri
# status bytes seconds" per request, and the small helpers they check their
# tools and print their figures with.

NGINX=/usr/sbin/nginx

# Makes WORK, a temporary directory named after PREFIX, and removes it at
# exit after ending every process handed to bench_track.
BENCH_PIDS=()
bench_work() { # prefix
    WORK=$(mktemp -d "${TMPDIR:-/tmp}/$1.XXXXXX")
    trap bench_cleanup EXIT
}
bench_track() { BENCH_PIDS+=("$@"); }
bench_cleanup() {
    local pid
    for pid in "${BENCH_PIDS[@]}"; do kill "$pid" 2>/dev/null || true; wait "$pid" 2>/dev/null || true; done
    rm -rf "$WORK"
}
# Ends the script with "NAME: TOOL is missing" for the first TOOL that
# cannot be run.
require_tools() { # name tool...
    local name=$1 tool
    shift
    for tool in "$@"; do command -v "$tool" >/dev/null || { echo "$name: $tool is missing" >&2; exit 1; }; done
}

# Prints line N of the calling script (its usage line) and exits 2.
bench_usage() {
    sed -n "${1}p" "$0" | sed 's/^#   /usage: /' >&2
    exit 2
}
# Every argument must be a whole number, else the caller's usage().
whole_numbers() {
    local n
    for n in "$@"; do case "$n" in '' | *[!0-9]*) usage ;; esac; done
}
free_port() { python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
ratio() { python3 -c "import sys; a, b = float(sys.argv[1]), float(sys.argv[2]); print('%.3f' % (a / b if b > 0 else float('nan')))" "$1" "$2"; }
verdict() { python3 -c "import sys; print('met' if eval(sys.argv[1]) else 'MISSED')" "$1"; }

# Deterministic bytes that do not compress (no /dev/urandom: every run sees
# the same data).
noise_file() { # path bytes seed
    python3 - "$@" <<'EOF'
import hashlib, sys
path, size, seed = sys.argv[1], int(sys.argv[2]), sys.argv[3].encode()
block = b"".join(hashlib.sha512(seed + i.to_bytes(4, "little")).digest() for i in range(16384))
with open(path, "wb") as f:
    i = 0
    while size > 0:
        part = (block[i % 61:] + block[:i % 61])[:size]
        f.write(part)
        size -= len(part)
        i += 1
EOF
}

# Starts nginx serving ROOT with its files in $WORK/nginx/ (after
# bench_work); sets NGINX_PORT and NGINX_PID, hands it to bench_track and
# returns once it answers.
start_nginx() { # root
    mkdir -p "$WORK/nginx"
    NGINX_PORT=$(free_port)
    {
        [ "$(id -u)" -eq 0 ] && echo "user root;"
        cat <<EOF
master_process off;
worker_processes 1;
pid $WORK/nginx/nginx.pid;
events { worker_connections 256; }
http {
  log_format timed '\$request_uri \$status \$body_bytes_sent \$request_time';
  access_log $WORK/nginx/access.log timed;
  client_body_temp_path $WORK/nginx/body;
  proxy_temp_path $WORK/nginx/proxy;
  fastcgi_temp_path $WORK/nginx/fastcgi;
  uwsgi_temp_path $WORK/nginx/uwsgi;
  scgi_temp_path $WORK/nginx/scgi;
  default_type application/octet-stream;
  sendfile on;
  keepalive_requests 100000;
  server { listen 127.0.0.1:$NGINX_PORT; root $1; }
}
EOF
    } >"$WORK/nginx/nginx.conf"
    "$NGINX" -p "$WORK/nginx/" -c "$WORK/nginx/nginx.conf" -g 'daemon off; error_log stderr;' \
        2>"$WORK/nginx/error.log" &
    NGINX_PID=$!
    bench_track "$NGINX_PID"
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$NGINX_PORT/" && return 0
        sleep 0.05
    done
    echo "$(basename "$0"): nginx did not start:" >&2
    cat "$WORK/nginx/error.log" >&2
    exit 1
}
