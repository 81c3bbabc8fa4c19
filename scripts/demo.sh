#!/usr/bin/env bash
# The main job on an emulated Windows host created for the occasion: starts the agent in
# console mode, lets it run, stops it in order (SIGTERM, as Ctrl-C would) and shows the
# log. Leaves no process and no host behind.
#
#   ZENTRAD_BUILD_DIR     use the binaries of this build instead of installing and building
#   ZENTRAD_DEMO_SECONDS  how long the agent runs before it is stopped (default 5)
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

if [ -z "${ZENTRAD_BUILD_DIR:-}" ]; then
  "$root/scripts/setup.sh"
  ZENTRAD_BUILD_DIR="$root/build/demo"
  echo "== building into $ZENTRAD_BUILD_DIR"
  "$root/scripts/build.sh" "$ZENTRAD_BUILD_DIR" -DZENTRAD_BUILD_TESTS=OFF -DZENTRAD_BUILD_BENCH=OFF
fi
agent="$ZENTRAD_BUILD_DIR/src/agent/zentrad"
seconds="${ZENTRAD_DEMO_SECONDS:-5}"

work="$(mktemp -d /tmp/zentrad-demo.XXXXXX)"
agent_pid=""
cleanup() {
  if [ -n "$agent_pid" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null || true
    wait "$agent_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT

install_dir="$work/agent"
host_root="$work/host"
mkdir -p "$install_dir/config" "$host_root/driver"
cat >"$install_dir/config/zentrad.conf" <<CONF
# Demo agent: its own port, so it never collides with an installed agent.
LocalPort = 21167
Timeout = 30
CONF

echo "== starting the agent on emulated host $host_root"
ZENTRAD_INSTALL_DIR="$install_dir" ZENTRAD_HOST_ROOT="$host_root" "$agent" >"$work/agent.out" 2>&1 &
agent_pid=$!
sleep "$seconds"
if ! kill -0 "$agent_pid" 2>/dev/null; then
  echo "demo: the agent ended by itself:"; cat "$work/agent.out"; exit 1
fi

echo "== stopping the agent (SIGTERM)"
kill -TERM "$agent_pid"
status=0
wait "$agent_pid" || status=$?
agent_pid=""

echo "== agent log ($install_dir/log/zentrad.log)"
cat "$install_dir/log/zentrad.log"
if [ "$status" -ne 0 ]; then
  echo "demo: the agent exited with status $status"; exit 1
fi
if ! grep -q "Agent stopped" "$install_dir/log/zentrad.log"; then
  echo "demo: the agent did not stop in order"; exit 1
fi
echo "demo: agent started, served and stopped in order"
