# Sourced by scripts/demo and scripts/test: starts the stand-in signing server
# (the CMake target svsdk_standin_server) on a free 127.0.0.1 port, and stops it.
#   start_standin BINARY DIR   sets standin_port; its output goes to DIR/server.out and .err
#   stop_standin
standin_pid=""
standin_port=""
start_standin() {
  : >"$2/server.out"  # exists before the background server opens it
  "$1" --port 0 --api-version 3 >"$2/server.out" 2>"$2/server.err" &
  standin_pid=$!
  for _ in $(seq 100); do
    standin_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$2/server.out")
    [ -n "$standin_port" ] && return 0
    sleep 0.1
  done
  echo "the stand-in server did not start"; cat "$2/server.err"; return 1
}
stop_standin() {
  if [ -n "$standin_pid" ]; then
    kill "$standin_pid" 2>/dev/null || true
    wait "$standin_pid" 2>/dev/null || true
    standin_pid=""
  fi
}
