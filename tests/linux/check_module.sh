#!/usr/bin/env bash
# Reads the dynamic tables of the Linux MATLAB module and checks them
# against what MATLAB on a 2018-or-later distribution (glibc 2.28, RHEL 8)
# offers it:
#   check_module.sh MODULE LIBMX_DEF LIBMEX_DEF LIBUT_DEF
# It must export mexFunction alone; need only libmx.so, libmex.so, libut.so,
# libc and libm, with no search path of its own; take from MATLAB only the
# calls the .def files list (the creation calls under their _700 names); and
# carry no symbol version of the C++ runtime (GLIBCXX_, CXXABI_, GCC_) nor a
# glibc version newer than 2.28.
set -euo pipefail
module=$1
libmx_def=$2
libmex_def=$3
libut_def=$4
newest_glibc=2.28

[ -f "$module" ] || { echo "FAIL: $module does not exist; build it with 'make native'"; exit 1; }

failures=0
fail() {
  echo "FAIL: $*"
  failures=$((failures + 1))
}

symbols=$(objdump -T "$module")
dynamic=$(readelf -d "$module")
[ -n "$symbols" ] || fail "no dynamic symbol table could be read from $module"

# objdump -T rows: address, flags, section, size, version, name. The version
# is "(GLIBC_2.14)" for an import, "Base" where there is none.
exports=$(awk 'NF >= 6 && $(NF - 3) != "*UND*" && $1 ~ /^[0-9a-f]+$/ { print $NF }' <<<"$symbols" |
  sort -u)
# Imports with no version and not weak: what the host must supply.
host_imports=$(awk '$1 ~ /^[0-9a-f]+$/ && / \*UND\*/ && $(NF - 1) == "Base" && $2 != "w" { print $NF }' \
  <<<"$symbols" | sort -u)
versions=$(awk '$1 ~ /^[0-9a-f]+$/ && NF >= 6 { print $(NF - 1) }' <<<"$symbols" | tr -d '()' |
  grep -v '^Base$' | sort -u || true)
needed=$(sed -n 's/.*(NEEDED).*\[\(.*\)\]$/\1/p' <<<"$dynamic" | sort)

[ "$exports" = "mexFunction" ] || fail "exports are not exactly mexFunction: $(echo $exports | cut -c1-300)"

for library in $needed; do
  case $library in
    libmx.so | libmex.so | libut.so | libc.so.6 | libm.so.6) ;;
    *) fail "needs $library; only libmx.so, libmex.so, libut.so, libc and libm may be needed" ;;
  esac
done
for library in libmx.so libmex.so libut.so; do
  grep -qx "$library" <<<"$needed" || fail "does not need $library"
done
if grep -Eq '\((RPATH|RUNPATH)\)' <<<"$dynamic"; then
  fail "carries a library search path: $(grep -E '\((RPATH|RUNPATH)\)' <<<"$dynamic" | tr -s ' ')"
fi

def_names() {
  awk 'found && NF && $1 !~ /^;/ { print $1 } /^EXPORTS/ { found = 1 }' "$1"
}
allowed=$(for def in "$libmx_def" "$libmex_def" "$libut_def"; do def_names "$def"; done | sort -u)
unlisted=$(comm -23 <(echo "$host_imports") <(echo "$allowed"))
[ -z "$unlisted" ] || fail "imports host calls missing from the .def files: $(echo $unlisted)"
for name in mxCreateNumericMatrix_700 mxCreateDoubleMatrix_700; do
  grep -qx "$name" <<<"$host_imports" || fail "does not import $name"
done

for version in $versions; do
  case $version in
    GLIBC_[0-9]*)
      number=${version#GLIBC_}
      if [ "$(printf '%s\n%s\n' "$number" "$newest_glibc" | sort -V | tail -n 1)" != "$newest_glibc" ]; then
        fail "needs $version, newer than glibc $newest_glibc:" \
          "$(grep -F "($version)" <<<"$symbols" | awk '{ print $NF }' | tr '\n' ' ')"
      fi
      ;;
    *) fail "needs $version of a library MATLAB brings in its own version:" \
         "$(grep -F "($version)" <<<"$symbols" | awk '{ print $NF }' | head -n 3 | tr '\n' ' ')" ;;
  esac
done

if [ "$failures" -gt 0 ]; then
  echo "--- dynamic tables of $module"
  echo "$symbols"
  grep -E '\((NEEDED|RPATH|RUNPATH)\)' <<<"$dynamic"
  exit 1
fi
echo "$module: exports mexFunction only; needs $(echo $needed);" \
  "$(wc -l <<<"$host_imports") host calls; symbol versions $(echo $versions)"
