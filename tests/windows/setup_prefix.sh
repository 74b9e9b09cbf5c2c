#!/usr/bin/env bash
# Creates the build's private Wine prefix once; later runs reuse it.
#   setup_prefix.sh PREFIX COM7_TARGET COM8_TARGET
# COM7 and COM8 are fixed in the prefix's registry, so that Wine never maps
# those numbers to a serial port of this machine: COM7 leads to
# COM7_TARGET, COM8 to COM8_TARGET, the tests' cables, which exist only
# while a test's far end runs. A prefix made for other ports (by an older
# checkout) is made anew.
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
if prefix_ready && [ "$(cat "$WINE_PREFIX_DIR/.velocart-ready")" = "${ports[*]}" ]; then
  echo "Wine prefix $WINE_PREFIX_DIR is ready (reused)"
  exit 0
fi

log=$WINE_PREFIX_DIR.setup.log
rm -rf "$WINE_PREFIX_DIR"
echo "creating the Wine prefix $WINE_PREFIX_DIR with $WINE ($("$WINE" --version 2>/dev/null))"
started=$(date +%s%N)
if ! run_wine 300 wineboot -i >"$log" 2>&1; then
  cat "$log" >&2
  wine_fail "wineboot did not create the prefix within 300 s (log above)"
fi
for port in "${ports[@]}"; do
  if ! run_wine 120 reg add 'HKLM\Software\Wine\Ports' /v "${port%%=*}" /t REG_SZ \
      /d "${port#*=}" /f >>"$log" 2>&1; then
    cat "$log" >&2
    wine_fail "could not set ${port%%=*} in the prefix's registry (log above)"
  fi
done
# Let the server write the registry out and stop, so the next start maps
# the ports from it.
timeout 120 "$WINESERVER" -w || wine_fail "wineserver did not stop within 120 s"
elapsed_ms=$((($(date +%s%N) - started) / 1000000))
echo "${ports[*]}" >"$WINE_PREFIX_DIR/.velocart-ready"
echo "Wine prefix created in $((elapsed_ms / 1000)).$((elapsed_ms % 1000 / 100)) s"
