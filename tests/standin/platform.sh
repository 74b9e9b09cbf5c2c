# The two ways the stand-in host runs a MATLAB module, sourced by the test
# scripts here. use_platform takes the first arguments of a script:
#   windows WIN_BUILD PREFIX   standin-host.exe and VelocartDriver.mexw64 of
#                              the Windows build folder, under Wine in PREFIX
#   linux STANDIN_HOST MODULE  the native stand-in host and VelocartDriver.mexa64
# and sets `platform`, `host` and `module`; run_host CALLS then runs a call
# script in $work, which is also its working folder (a script's !run and
# !await name files there), and writes its transcript on stdout.
standin_tests=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
source "$standin_tests/transcript.sh"

use_platform() {
  platform=$1
  case $platform in
    windows)
      export WINE_PREFIX_DIR=$3
      source "$standin_tests/../windows/wine_env.sh"
      host=$(readlink -f "$2")/standin/standin-host.exe
      module=$(readlink -f "$2")/VelocartDriver.mexw64
      prepare_wine_run "$host" "$module"
      ;;
    linux)
      host=$(readlink -f "$2")
      module=$(readlink -f "$3")
      ;;
    *)
      echo "FAIL: unknown platform '$platform'"
      exit 1
      ;;
  esac
}

run_host() {
  local calls=$1
  case $platform in
    windows) (cd "$work" && run_wine 120 "$host" "$(windows_path "$module")" "$(windows_path "$calls")") ;;
    linux) (cd "$work" && timeout -k 5 120 "$host" "$module" "$calls" </dev/null) ;;
  esac
}
