# Helpers shared by the scripts in scripts/ and bench/; sourced, never run:
#   . "$root/scripts/lib.sh"
# The functions read the caller's variables: build (a build folder), work (the run's
# scratch folder), port (the agent's port), agent_pid, keep_work (non-empty: the work
# folder stays), server_keys (the server's key folder under work, default "keys"),
# protocol (the server's protocol version, when set), quiet_hostsim (non-empty: hostsim's
# output is dropped), disk and size_mib (for wipe).

# The emulated host of the run, in $work/host.
hostsim() {
  if [ -n "${quiet_hostsim:-}" ]; then
    "$build/tools/hostsim/hostsim" --root "$work/host" "$@" >/dev/null
  else
    "$build/tools/hostsim/hostsim" --root "$work/host" "$@"
  fi
}

# The backup server, talking to the run's agent.
server() {
  local options=(--keys "$work/${server_keys:-keys}" --port "$port")
  [ -z "${protocol:-}" ] || options+=(--protocol "$protocol")
  "$build/tools/backup-server/backup-server" "${options[@]}" "$@"
}

# Stops the agent if one runs, waits for the script's background jobs, and removes the
# work folder unless keep_work is set (then says where it is). For `trap cleanup EXIT`.
cleanup() {
  if [ -n "${agent_pid:-}" ] && kill -0 "$agent_pid" 2>/dev/null; then
    kill -TERM "$agent_pid" 2>/dev/null || true
  fi
  wait 2>/dev/null || true
  if [ -n "${keep_work:-}" ]; then echo "kept $work"; else rm -rf "$work"; fi
}

# Now, in seconds with fractions, for timing a step.
seconds() { date +%s.%N; }

# A / B with two decimals, "-" when B is zero.
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }'; }

# Zeroes the partition of size_mib MiB that starts 1 MiB into the disk image $disk.
wipe() { dd if=/dev/zero of="$disk" bs=1M seek=1 count="$size_mib" conv=notrunc status=none; }

# The names of the fuzz targets (one per fuzz/NAME_fuzzer.cc), one a line.
fuzz_targets() {
  local source
  for source in "$root"/fuzz/*_fuzzer.cc; do
    [ -e "$source" ] && basename "$source" .cc
  done
}

# Builds every fuzz target into BUILD with clang and the address and undefined-behaviour
# sanitizers (scripts/fuzz.sh runs them).
build_fuzz_targets() {  # BUILD
  local targets
  mapfile -t targets < <(fuzz_targets)
  CC=clang CXX=clang++ "$root/scripts/build.sh" "$1" -DZENTRAD_BUILD_FUZZERS=ON \
    -DZENTRAD_BUILD_TESTS=OFF -DZENTRAD_BUILD_BENCH=OFF -DZENTRAD_SANITIZE=address,undefined \
    -- "${targets[@]}"
}
