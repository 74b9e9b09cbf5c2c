#!/usr/bin/env bash
# Reads the export and import tables of the Windows module and checks them
# against what MATLAB on 64-bit Windows offers it:
#   check_binary.sh OBJDUMP MODULE LIBMX_DEF LIBMEX_DEF LIBUT_DEF
# It must export mexFunction alone, take exactly the host functions the
# .def files list (the array creation calls under their _700 names), use the
# serial and thread calls from KERNEL32, wsprintfA from USER32, the port
# table's calls from SETUPAPI and ADVAPI32, and need no DLL but those,
# msvcrt, libmx, libmex and libut: no MinGW runtime DLL (winpthread included).
set -euo pipefail
objdump=$1
module=$2
libmx_def=$3
libmex_def=$4
libut_def=$5

command -v "$objdump" >/dev/null || { echo "FAIL: $objdump not found (binutils-mingw-w64-x86-64)"; exit 1; }
[ -f "$module" ] || { echo "FAIL: $module does not exist; build it with 'make windows'"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

tables=$("$objdump" -p "$module")

# "DLL function" for every imported function, DLL names in upper case.
imports=$(awk '
  /^\tDLL Name: / { dll = toupper($3); next }
  /^[^\t]/ { dll = "" }
  dll != "" && /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ { print dll, $3 }
' <<<"$tables" | sort)
exports=$(awk '
  /^\[Ordinal\/Name Pointer\] Table/ { in_table = 1; next }
  in_table && /^\t\[ *[0-9]+\] / { print $3; next }
  in_table { in_table = 0 }
' <<<"$tables" | sort -u)

def_names() {
  awk 'found && NF && $1 !~ /^;/ { print $1 } /^EXPORTS/ { found = 1 }' "$1" | sort
}
imported_from() {
  awk -v dll="$1" '$1 == dll { print $2 }' <<<"$imports" | sort
}

[ -n "$imports" ] || fail "no import table could be read from $module"

if [ "$exports" != "mexFunction" ]; then
  fail "exports are not exactly mexFunction: $(echo $exports)"
fi

dlls=$(awk '{ print $1 }' <<<"$imports" | sort -u)
for dll in $dlls; do
  case $dll in
    KERNEL32.DLL | USER32.DLL | SETUPAPI.DLL | ADVAPI32.DLL | MSVCRT.DLL | LIBMX.DLL | LIBMEX.DLL | \
      LIBUT.DLL) ;;
    *) fail "depends on $dll, which MATLAB does not provide" ;;
  esac
done

for pair in LIBMX.DLL:"$libmx_def" LIBMEX.DLL:"$libmex_def" LIBUT.DLL:"$libut_def"; do
  dll=${pair%%:*}
  def=${pair#*:}
  expected=$(def_names "$def")
  actual=$(imported_from "$dll")
  if [ "$expected" != "$actual" ]; then
    fail "$dll imports differ from $(basename "$def"):" \
      "$(diff <(echo "$expected") <(echo "$actual") | grep '^[<>]' | tr '\n' ' ')"
  fi
done

for name in mxCreateNumericMatrix_700 mxCreateDoubleMatrix_700; do
  grep -qx "LIBMX.DLL $name" <<<"$imports" || fail "does not import $name from libmx"
done
if grep -Eq '^LIBMX.DLL (mxCreate(Numeric|Double|Struct)Matrix|mxSetField)(_730|_800)?$' <<<"$imports"; then
  fail "imports a call with 64-bit dimensions:" \
    "$(grep -E '^LIBMX.DLL mx(Create|SetField)' <<<"$imports" | tr '\n' ' ')"
fi

for name in CreateFileA SetupComm SetCommTimeouts GetCommState SetCommState ClearCommError PurgeComm \
    WriteFile ReadFile CloseHandle Sleep CreateThread AcquireSRWLockExclusive; do
  grep -qx "KERNEL32.DLL $name" <<<"$imports" || fail "does not import $name from KERNEL32"
done
[ "$(imported_from USER32.DLL)" = "wsprintfA" ] ||
  fail "USER32 imports are not exactly wsprintfA: $(imported_from USER32.DLL | tr '\n' ' ')"
# The port table: SetupAPI's device calls, and the registry.
for pair in SETUPAPI.DLL:SetupDi ADVAPI32.DLL:Reg; do
  others=$(imported_from "${pair%%:*}" | grep -v "^${pair#*:}" || true)
  [ -z "$others" ] || fail "${pair%%:*} imports more than ${pair#*:}* calls: $(echo $others)"
done

if [ "$failures" -gt 0 ]; then
  echo "--- import and export tables of $module"
  echo "$imports"
  echo "exports: $(echo $exports)"
  exit 1
fi
echo "$module: exports mexFunction only; imports $(wc -l <<<"$imports") functions from $(echo $dlls)"
