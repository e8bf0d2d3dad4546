# Sourced by the demo and the benchmarks: a throw-away nginx on 127.0.0.1.
#
#   local_nginx_start ROOT DIR [LOG_FORMAT]   serve ROOT; config and logs in DIR
#   local_nginx_stop
#
# After a successful start LOCAL_NGINX_PORT and LOCAL_NGINX_PID are set and
# requests go to DIR/access.log (nginx's combined format unless LOG_FORMAT
# is given). Runs in the foreground of a background job, no daemon, as root.

LOCAL_NGINX_PID=
LOCAL_NGINX_PORT=

local_nginx_port_in_use() { (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

local_nginx_start() {
    local root=$1 dir=$2 format=${3:-} candidate log_line
    mkdir -p "$dir/tmp"
    log_line="access_log $dir/access.log;"
    [ -z "$format" ] || log_line="log_format given '$format'; access_log $dir/access.log given;"
    for _ in $(seq 1 20); do
        candidate=$(( 20000 + (RANDOM % 40000) ))
        local_nginx_port_in_use "$candidate" && continue
        cat >"$dir/nginx.conf" <<CONF
user root;
daemon off;
master_process off;
worker_processes 1;
pid $dir/nginx.pid;
error_log $dir/error.log;
events { worker_connections 64; }
http {
  $log_line
  client_body_temp_path $dir/tmp;
  proxy_temp_path $dir/tmp;
  fastcgi_temp_path $dir/tmp;
  uwsgi_temp_path $dir/tmp;
  scgi_temp_path $dir/tmp;
  default_type application/octet-stream;
  sendfile on;
  server { listen 127.0.0.1:$candidate; root "$root"; location / { } }
}
CONF
        /usr/sbin/nginx -p "$dir" -c "$dir/nginx.conf" -e "$dir/error.log" &
        LOCAL_NGINX_PID=$!
        for _ in $(seq 1 50); do
            if local_nginx_port_in_use "$candidate"; then
                LOCAL_NGINX_PORT=$candidate
                return 0
            fi
            kill -0 "$LOCAL_NGINX_PID" 2>/dev/null || break
            sleep 0.1
        done
        local_nginx_stop
    done
    return 1
}

local_nginx_stop() {
    if [ -n "$LOCAL_NGINX_PID" ]; then
        kill "$LOCAL_NGINX_PID" 2>/dev/null || true
        wait "$LOCAL_NGINX_PID" 2>/dev/null || true
    fi
    LOCAL_NGINX_PID=
}
