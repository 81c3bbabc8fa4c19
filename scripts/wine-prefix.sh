# Sourced by the scripts that run Windows executables under Wine. wine_start makes a fresh
# Wine installation in a temporary folder (removed on exit, with its wineserver stopped);
# wine_run runs a program in it.
wine_launcher=/usr/lib/wine/wine64
wine_prefix_dir=""

wine_stop() {
  if [ -n "$wine_prefix_dir" ]; then
    WINEPREFIX="$wine_prefix_dir" /usr/lib/wine/wineserver -k 2>/dev/null || true
    WINEPREFIX="$wine_prefix_dir" /usr/lib/wine/wineserver -w 2>/dev/null || true
    rm -rf "$wine_prefix_dir"
    wine_prefix_dir=""
  fi
}

wine_start() {
  if [ ! -x "$wine_launcher" ]; then
    echo "wine: $wine_launcher missing (scripts/setup.sh installs wine64)" >&2
    return 1
  fi
  wine_prefix_dir="$(mktemp -d "${TMPDIR:-/tmp}/zentrad-wine.XXXXXX")"
  trap wine_stop EXIT
  export WINEPREFIX="$wine_prefix_dir" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
  "$wine_launcher" wineboot --init >/dev/null 2>&1
  /usr/lib/wine/wineserver -w
  # One Wine session for everything that follows, as one boot of a Windows machine: a new
  # session would start the automatic-start services again, the agent's among them.
  /usr/lib/wine/wineserver -p
}

wine_run() {
  "$wine_launcher" "$@"
}
