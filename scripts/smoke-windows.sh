#!/usr/bin/env bash
# Runs the real OUT/zentrad.exe under Wine as a user would on a machine without the
# change-tracking driver: the help text, a configuration file with its port and folders,
# the control-device failure with exit status 1, and installing and deleting the service.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
out="$(cd "$1" && pwd)"
# shellcheck source=scripts/wine-prefix.sh
. "$root/scripts/wine-prefix.sh"
wine_start

failures=0
check() {  # check DESCRIPTION COMMAND...: passes when the command succeeds
  local description="$1"; shift
  if "$@"; then echo "smoke-windows: ok   $description"
  else echo "smoke-windows: FAIL $description"; failures=$((failures + 1)); fi
}
# Runs the agent in the installation folder; its output (CR removed) lands in $output and
# its exit status in $status.
# Output goes through a file, not a pipe: Wine's own processes (the service manager) inherit
# the descriptors and outlive the program.
agent() {
  set +e
  (cd "$install" && wine_run ./zentrad.exe "$@" >"$wine_prefix_dir/output" 2>&1)
  status=$?
  set -e
  output="$(tr -d '\r' <"$wine_prefix_dir/output")"
  printf '%s\n' "$output" | sed 's/^/    /'
}
contains() { printf '%s\n' "$output" | grep -qF -- "$1"; }

install="$wine_prefix_dir/drive_c/zentrad"
mkdir -p "$install/config"
cp "$out/zentrad.exe" "$install/"

echo "smoke-windows: zentrad.exe --help"
agent --help
check "--help lists the command-line options" contains "--install"
check "--help exits with status 1" test "$status" -eq 1

echo "smoke-windows: configuration file with an out-of-range port"
printf 'LocalPort = 70000\n' >"$install/config/zentrad.conf"
agent
check "the port is read from config\\zentrad.conf" \
  contains "the argument ('70000') for option 'LocalPort' is invalid"

echo "smoke-windows: configuration file naming the port and folders, no driver installed"
printf 'LocalPort = 6123\nConfDir = conf2\nLogDir = logs2\n' >"$install/config/zentrad.conf"
agent
check "the missing control device is reported" contains "Failed to open control device."
check "and the agent exits with status 1" test "$status" -eq 1

echo "smoke-windows: zentrad.exe --install / --delete"
agent --install
check "--install reports success" contains "Installed service successfully."
wine_run sc query zentrad >"$wine_prefix_dir/query" 2>&1 || true
query="$(tr -d '\r' <"$wine_prefix_dir/query")"
printf '%s\n' "$query" | sed 's/^/    /'
check "Wine's service manager lists the service" grep -q "SERVICE_NAME: zentrad" <<<"$query"
agent --delete
check "--delete reports success" contains "Deleted service successfully."
set +e
wine_run sc query zentrad >/dev/null 2>&1
gone=$?
set -e
check "the service is gone afterwards" test "$gone" -ne 0

echo "smoke-windows: $failures failed"
[ "$failures" -eq 0 ]
