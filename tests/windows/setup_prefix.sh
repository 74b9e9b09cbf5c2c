#!/usr/bin/env bash
# Creates the build's private Wine prefix once; later runs reuse it.
#   setup_prefix.sh PREFIX COM7_TARGET COM8_TARGET
# COM7 and COM8 are fixed in the prefix's registry, so that Wine never maps
# those numbers to a serial port of this machine: COM7 leads to
# COM7_TARGET, COM8 to COM8_TARGET, the tests' cables, which exist only
# while a test's far end runs. A prefix whose ports lead elsewhere (made
# by an older checkout) has them fixed again.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
export WINE_PREFIX_DIR=$1
com7_target=$2
com8_target=$3
source "$here/wine_env.sh"

find_wine
use_prefix
mkdir -p "$(dirname "$WINE_PREFIX_DIR")"
exec 9>"$WINE_PREFIX_DIR.lock"
flock -w 600 9 || wine_fail "another test has held the Wine prefix lock for 10 minutes"

ports=("COM7=$com7_target" "COM8=$com8_target")
ready=$WINE_PREFIX_DIR/.velocart-ready
log=$WINE_PREFIX_DIR.setup.log
# Writes the ports into the registry; the server writes it out and stops,
# so that the next start maps the ports from it.
fix_ports() {
  local port
  for port in "${ports[@]}"; do
    if ! run_wine 120 reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /t REG_SZ \
        /d "${port#*=}" /f >>"$log" 2>&1; then
      cat "$log" >&2
      wine_fail "could not set ${port%%=*} in the prefix's registry (log above)"
    fi
  done
  timeout 120 "$WINESERVER" -w || wine_fail "wineserver did not stop within 120 s"
  echo "${ports[*]}" >"$ready"
}

if prefix_ready; then
  if [ "$(cat "$ready")" = "${ports[*]}" ]; then
    echo "Wine prefix $WINE_PREFIX_DIR is ready (reused)"
  else
    fix_ports
    echo "Wine prefix $WINE_PREFIX_DIR is ready (reused; its ports fixed again: ${ports[*]})"
  fi
  exit 0
fi

rm -rf "$WINE_PREFIX_DIR"
echo "creating the Wine prefix $WINE_PREFIX_DIR with $WINE ($("$WINE" --version 2>/dev/null))"
started=$(date +%s%N)
if ! run_wine 300 wineboot -i >"$log" 2>&1; then
  cat "$log" >&2
  wine_fail "wineboot did not create the prefix within 300 s (log above)"
fi
fix_ports
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "Wine prefix created in $((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100)) s"
