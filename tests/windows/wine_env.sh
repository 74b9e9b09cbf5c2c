# Wine for the Windows tests, sourced by the scripts here. Finds Wine, points
# it at the build's private prefix (WINE_PREFIX_DIR) and runs Windows
# programs with bounded waits. Wine is looked for on PATH and where Debian
# and WineHQ install it; VELOCART_WINE may name the loader instead.

wine_fail() {
  echo "FAIL: $*" >&2
  exit 1
}

find_wine() {
  WINE=""
  local candidate
  for candidate in "${VELOCART_WINE:-}" "$(command -v wine64 || true)" \
      "$(command -v wine || true)" /usr/lib/wine/wine64 /usr/lib/wine/wine \
      /usr/lib/x86_64-linux-gnu/wine/wine64 /opt/wine-stable/bin/wine64 \
      /opt/wine-stable/bin/wine; do
    if [ -n "$candidate" ] && [ -x "$candidate" ] && [ ! -d "$candidate" ]; then
      WINE=$candidate
      break
    fi
  done
  [ -n "$WINE" ] || wine_fail "Wine is not installed, so the Windows module cannot be run." \
    "Install it with 'apt-get install wine64' (scripts/install-deps.sh does)."

  WINESERVER=""
  local dir
  dir=$(dirname "$(readlink -f "$WINE")")
  for candidate in "$dir/wineserver" "$dir/wineserver64" "$(command -v wineserver || true)" \
      /usr/lib/wine/wineserver64 /usr/lib/wine/wineserver; do
    if [ -n "$candidate" ] && [ -x "$candidate" ]; then
      WINESERVER=$candidate
      break
    fi
  done
  [ -n "$WINESERVER" ] || wine_fail "Wine's wineserver was not found next to $WINE."
}

# The environment every Wine process of the tests gets: the private
# prefix, no debug output, no display, no Mono/Gecko installers, and a
# temporary folder beside the prefix (wineserver keeps its socket folder
# there, and it outlives the test).
use_prefix() {
  [ -n "${WINE_PREFIX_DIR:-}" ] || wine_fail "WINE_PREFIX_DIR is not set"
  export WINEPREFIX=$WINE_PREFIX_DIR
  export TMPDIR=$WINE_PREFIX_DIR.tmp
  mkdir -p "$TMPDIR"
  export WINEARCH=win64
  export WINEDEBUG=-all
  export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
  unset DISPLAY WAYLAND_DISPLAY
}

prefix_ready() {
  [ -f "$WINE_PREFIX_DIR/.velocart-ready" ]
}

# A Windows path for a Unix one, through the prefix's Z: drive.
windows_path() {
  local path
  path=$(readlink -f "$1")
  echo "Z:${path//\//\\}"
}

# Runs a Windows program, at most SECONDS long: run_wine SECONDS PROGRAM ARGS...
# Wine and the processes it starts get no terminal and no pipe of the
# caller's, so none of them can hold the test open after it ends.
run_wine() {
  local seconds=$1
  shift
  timeout -k 5 "$seconds" "$WINE" "$@" </dev/null
}

# Wine, a ready prefix and the given files, or a failing test that says
# which of them is missing.
prepare_wine_run() {
  find_wine
  use_prefix
  prefix_ready || wine_fail "the Wine prefix $WINE_PREFIX_DIR has not been set up (test windows_wine_prefix)"
  local file
  for file in "$@"; do
    [ -f "$file" ] || wine_fail "$file does not exist; build it first ('make windows' for the Windows files)"
  done
}
