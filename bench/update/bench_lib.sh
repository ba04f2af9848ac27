# Shell shared by the update benchmarks; sourced, not run.

# start_nginx <folder> <http-line>...: starts an nginx whose configuration, process id, logs and
# temporary files all live in <folder>; the given lines go into its http block (an include of a
# site's server block, a cache) and say where requests are logged ("access_log off;" for nowhere:
# a level with "off" logs nothing, whatever else it names). Fails when nginx does not start.
start_nginx() {
  local folder=$1
  shift
  mkdir -p "$folder"
  {
    cat <<CONF
user root;
worker_processes 1;
pid $folder/nginx.pid;
error_log $folder/error.log;
events { worker_connections 64; }
http {
  sendfile on;
  client_body_temp_path $folder/body;
  proxy_temp_path $folder/proxy;
  fastcgi_temp_path $folder/fastcgi;
  uwsgi_temp_path $folder/uwsgi;
  scgi_temp_path $folder/scgi;
CONF
    printf '  %s\n' "$@"
    echo "}"
  } >"$folder/nginx.conf"
  nginx -q -p "$folder" -e "$folder/error.log" -c "$folder/nginx.conf" || return
  sleep 0.5
}

# stop_nginx <folder>: stops the nginx that start_nginx started there, if it runs.
stop_nginx() {
  [ -f "$1/nginx.pid" ] || return 0
  nginx -p "$1" -c "$1/nginx.conf" -s stop 2>/dev/null || true
  sleep 0.5
}

# best_of_three <command...>: prints the best wall time of three runs of the command, in seconds.
best_of_three() {
  local best=
  for _ in 1 2 3; do
    local start end
    start=$(date +%s.%N); "$@" >/dev/null; end=$(date +%s.%N)
    best=$(echo "$start $end ${best:-1e9}" | awk '{t = $2 - $1; print (t < $3) ? t : $3}')
  done
  echo "$best"
}

# goal <text> <awk condition> [<name>=<value>...]: prints the goal, then PASS or MISS, and counts
# it in passed or missed.
passed=0 missed=0
goal() {
  local text=$1 condition=$2 values=()
  shift 2
  for value in "$@"; do values+=(-v "$value"); done
  if awk "${values[@]}" "BEGIN {exit !($condition)}"; then
    echo "goal $text: PASS" && passed=$((passed + 1))
  else
    echo "goal $text: MISS" && missed=$((missed + 1))
  fi
}
