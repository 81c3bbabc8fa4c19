#!/usr/bin/env bash
# Runs the real OUT/zentrad.exe under Wine as a user would on a machine without the
# change-tracking driver: the help text, a configuration file with its port and folders,
# the control-device failure with exit status 1, installing (from another folder) and
# deleting the service, the service's failed start as the service manager reports it, and
# installing and removing OUT/zentrad.msi. Everything runs in one Wine session.
#
# What Wine cannot show, and is therefore not checked here: RegisterEventSourceW is a stub
# (the event source's registry key is checked instead); Wine's netsh does not implement
# advfirewall, so the firewall rule is neither made nor checked (the installer's action
# ignores the failure); Wine's service manager accepts the failure actions without keeping
# them and refuses the flag that applies them to a non-zero exit code (ERROR_INVALID_LEVEL:
# the agent warns and installs without it), so they are checked only where they are kept.
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

# Wine's service manager and registry, read through its own tools; output through files.
winecmd() {
  set +e
  wine_run "$@" >"$wine_prefix_dir/cmd" 2>&1
  status=$?
  set -e
  output="$(tr -d '\r' <"$wine_prefix_dir/cmd")"
}
query() { winecmd sc query zentrad; printf '%s\n' "$output" | sed 's/^/    /'; }
registry() { winecmd reg query "$@"; }
service_key='HKLM\System\CurrentControlSet\Services\zentrad'
source_key='HKLM\System\CurrentControlSet\Services\EventLog\Application\zentrad'

echo "smoke-windows: zentrad.exe --install run from another folder"
mkdir -p "$wine_prefix_dir/drive_c/elsewhere"
set +e
(cd "$wine_prefix_dir/drive_c/elsewhere" &&
  wine_run 'C:\zentrad\zentrad.exe' --install >"$wine_prefix_dir/output" 2>&1)
status=$?
set -e
output="$(tr -d '\r' <"$wine_prefix_dir/output")"
printf '%s\n' "$output" | sed 's/^/    /'
check "--install reports success" contains "Installed service successfully."
registry "$service_key" /v ImagePath
check "the image is the executable itself, not the working folder" \
  contains 'C:\zentrad\zentrad.exe'
registry "$service_key" /v Description
check "the service has its description" contains "Backs up and restores"
registry "$service_key" /v PreshutdownTimeout
check "the service has its preshutdown time (120 s)" contains "0x1d4c0"
registry "$service_key" /v FailureActions
if [ "$status" -ne 0 ]; then
  echo "smoke-windows: skip the recovery actions: Wine accepts them without keeping them" \
    "(and refuses the flag that applies them to a non-zero exit code)"
else
  check "recovery actions are registered" true
fi
registry "$source_key" /v EventMessageFile
check "the event source names the executable" contains 'C:\zentrad\zentrad.exe'
for folder in conf2 db temp; do
  check "--install created the folder $folder" test -d "$install/$folder"
done
agent --install
check "a second --install says why it failed" contains "Failed to install service. Cannot create the service:"

echo "smoke-windows: the service started without the change-tracking driver"
winecmd sc start zentrad
printf '%s\n' "$output" | sed 's/^/    /'
for attempt in $(seq 1 30); do
  query
  if contains "STOPPED" || [ "$status" -ne 0 ]; then break; fi
  sleep 1
done
check "the service ends STOPPED" contains "STOPPED"
check "with the service-specific error 1066" grep -qE 'WIN32_EXIT_CODE *: *1066' <<<"$output"
check "and the agent's exit code 1 (no control device)" \
  grep -qE 'SERVICE_EXIT_CODE *: *1\b' <<<"$output"

echo "smoke-windows: zentrad.exe --delete"
agent --delete
check "--delete reports success" contains "Deleted service successfully."
query
check "the service is gone afterwards" test "$status" -ne 0
registry "$source_key"
check "the event source is gone afterwards" test "$status" -ne 0
agent --help
registry "$source_key"
check "an ordinary run does not register the event source" test "$status" -ne 0

echo "smoke-windows: msiexec /i zentrad.msi, then /x"
cp "$out/zentrad.msi" "$wine_prefix_dir/drive_c/"
winecmd msiexec /i 'C:\zentrad.msi' /qn /l*v 'C:\msi-install.log'
check "the package installs" test "$status" -eq 0
program="$wine_prefix_dir/drive_c/Program Files/zentrad"
check "zentrad.exe is in Program Files" test -f "$program/zentrad.exe"
registry "$service_key" /v ImagePath
check "the service is registered with the installed executable" \
  contains 'C:\Program Files\zentrad\zentrad.exe'
registry "$source_key" /v EventMessageFile
check "the event source is registered" contains 'C:\Program Files\zentrad\zentrad.exe'
check "the key folder exists" test -d "$program/config"
for attempt in $(seq 1 30); do
  query
  if contains "STOPPED" || [ "$status" -ne 0 ]; then break; fi
  sleep 1
done
check "the installer started the service (which stops: no driver)" \
  grep -qE 'WIN32_EXIT_CODE *: *1066' <<<"$output"
if [ -d "$program/config" ]; then echo key >"$program/config/rsa.key"; fi
winecmd msiexec /x 'C:\zentrad.msi' /qn /l*v 'C:\msi-remove.log'
check "the package uninstalls" test "$status" -eq 0
check "zentrad.exe is removed" test ! -e "$program/zentrad.exe"
query
check "the service is removed" test "$status" -ne 0
registry "$source_key"
check "the event source is removed" test "$status" -ne 0
check "the keys are kept" test -f "$program/config/rsa.key"
echo "smoke-windows: $failures failed"
[ "$failures" -eq 0 ]
