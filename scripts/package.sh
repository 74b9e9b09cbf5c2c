#!/usr/bin/env bash
# `make package`: the release files in dist/.
#   velocartdriver-VERSION.tar.gz                  the Octave package (pkg install)
#   VelocartDriver-VERSION-matlab-win64.zip        MATLAB on 64-bit Windows
#   VelocartDriver-VERSION-matlab-glnxa64.tar.gz   MATLAB on 64-bit Linux
#   SHA256SUMS                                     the checksums of the three
# The MATLAB archives take the module's name, so that the Octave package is
# the only velocartdriver-*.tar.gz: pkg install velocartdriver-*.tar.gz would
# otherwise try a MATLAB archive as a package too.
# Each MATLAB archive holds one folder, VelocartDriver-VERSION/: the module,
# its help file and every other matlab/*.m but the build script (it needs
# the source tree), LICENSE, README.txt and
# examples/*.m with the helpers in examples/private (run-demo.sh there is
# the repository's own `make demo`); the Linux one also velocart-sim, the
# simulated robot, built for the module's distributions.
# The same commit and modules give the same bytes, whoever packages them and
# when: SHA256SUMS can be checked against a rebuild.
#   package.sh BUILD BUILD_WIN [OUT]     (OUT: default dist)
set -euo pipefail
shopt -s extglob
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
build=$1
build_win=$2
out=$(mkdir -p "${3:-dist}" && cd "${3:-dist}" && pwd)
version=$(head -n 1 VERSION)
name=VelocartDriver-$version
epoch=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null || date +%s)}

octave_package=velocartdriver-$version.tar.gz
win64_archive=$name-matlab-win64.zip
glnxa64_archive=$name-matlab-glnxa64.tar.gz

for file in "$build_win/VelocartDriver.mexw64" "$build/mexa64/VelocartDriver.mexa64" \
  "$build/mexa64/velocart-sim"; do
  [ -f "$file" ] || { echo "package: $file is missing; run 'make build'" >&2; exit 1; }
done

work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-release-XXXXXX")
trap 'rm -rf "$work"' EXIT

# README.txt is made from what is kept up to date anyway, so that it cannot
# fall behind: the examples of the help texts, README.md's snippets and this
# release's NEWS entry.
source scripts/readme-block.sh
# help_example FILE PORT: the Example block of a help text, opening PORT.
help_example() {
  awk '/^%   Example:$/ { found = 1; next }
       found && (!/^%/ || /^%[[:space:]]*$/) { exit }
       found { sub(/^%   /, ""); print }' "$1" |
    sed -e "s|('open', [^)]*)|('open', $2)|" -e "s|VelocartRobot([^)]*)|VelocartRobot($2)|"
}

# news_entry: this release's entry in NEWS, without its heading.
news_entry() {
  awk -v heading="velocartdriver $version" '
    $0 == heading { found = 1; getline; next }
    found && /^velocartdriver / { exit }
    found && (n || NF) { line[++n] = $0; if (NF) last = n }
    END { for (i = 1; i <= last; i++) print line[i] }' scripts/octave-pkg/NEWS
}

for help in matlab/VelocartDriver.m matlab/VelocartRobot.m; do
  [ -n "$(help_example "$help" 1)" ] ||
    { echo "package: $help has no Example block for README.txt" >&2; exit 1; }
done
[ -n "$(news_entry)" ] || { echo "package: NEWS has no entry for $version" >&2; exit 1; }
readme_block README.md 'MATLAB on Linux (64-bit)' 3 | grep -q velocart-sim ||
  { echo "package: README.md shows no velocart-sim under MATLAB on Linux for README.txt" >&2; exit 1; }

# readme_text MODULE PORT_EXAMPLE PLATFORM_NOTE
readme_text() {
  cat <<EOF
VelocartDriver $version for MATLAB
$(printf '%*s' $((26 + ${#version})) '' | tr ' ' '=')

VelocartDriver drives a wheeled mobile robot over a serial port from MATLAB.
This folder holds the module ($1) and its help file
VelocartDriver.m, VelocartRobot.m (the robot as an object), examples/,
Contents.m (a list of what the folder holds) and LICENSE.

Install: unpack the archive anywhere and put the folder on MATLAB's path:

    addpath('/path/to/$name')
    savepath          % optional: keep it on the path in later sessions

First calls: after each command readLatest waits for the robot's reply
('help VelocartDriver' lists every command):

$(help_example matlab/VelocartDriver.m "$2")

The robot as an object, with closed-loop moves ('help VelocartRobot'):

$(help_example matlab/VelocartRobot.m "$2")

examples/figure_eight.m drives a figure eight and plots it: set port first,
then run('examples/figure_eight.m').

$3

Several robots: one module drives up to 32, each on a numbered link with
its own port. Each VelocartRobot takes a free link itself, so
a = VelocartRobot(...); b = VelocartRobot(...); drives two, and
VelocartDriver(2, 'open', ...) opens a second robot on link 2 ('help
VelocartDriver' says more).

New in $version:

$(news_entry)

The full documentation is README.md in the VelocartDriver source repository.
EOF
}

# settle FOLDER: every file and folder gets the commit's time and modes
# that do not depend on the umask, so that only the contents reach the
# archive. (The zip tool keeps no other times: -X leaves out the extra
# field, in which access and change times would go.)
settle() {
  chmod -R u=rwX,go=rX "$1"
  find "$1" -exec touch -h -d "@$epoch" {} +
}

# stage_matlab_archive FOLDER MODULE PORT_EXAMPLE PLATFORM_NOTE [FILE...]
# (FILEs go into the folder too)
stage_matlab_archive() {
  local folder=$1/$name
  mkdir -p "$folder/examples/private"
  cp "$2" matlab/!(build_velocartdriver).m LICENSE "${@:5}" "$folder/"
  cp examples/*.m "$folder/examples/"
  cp examples/private/*.m "$folder/examples/private/"
  readme_text "$(basename "$2")" "$3" "$4" >"$folder/README.txt"
  settle "$folder"
}

# Release files of other versions or earlier names go too: OUT then holds
# exactly what SHA256SUMS lists beside the staged folders.
rm -f "$out"/*.tar.gz "$out"/*.zip "$out/SHA256SUMS"
bash scripts/octave-package.sh "$out" >/dev/null

stage_matlab_archive "$work/win64" "$build_win/VelocartDriver.mexw64" "3" \
  "'open' takes a port number (3 is COM3) or a name such as 'COM12'."
# zip writes local time: in UTC it is the same everywhere.
(cd "$work/win64" && find "$name" -type f | LC_ALL=C sort |
  TZ=UTC0 zip -q -X -D "$out/$win64_archive" -@)

linux_note=$(printf '%s\n' \
  "'open' takes a device path such as '/dev/ttyUSB0', or a number n for" \
  "/dev/ttyS<n-1>. Serial devices belong to the dialout group: join it once with" \
  "'sudo usermod -aG dialout \$USER' and log in again. The module carries its own" \
  "C++ runtime and needs glibc 2.28 or newer (RHEL 8, Ubuntu 20.04 and later)." "" \
  "velocart-sim, in this folder, is a simulated robot at the far end of a" \
  "pseudo-terminal (./velocart-sim --help). To try the driver without a robot:")
linux_note+=$'\n\n'$(readme_block README.md 'MATLAB on Linux (64-bit)' 3 |
  sed -e "s|~/matlab/$name|/path/to/$name|" -e 's/^/    /')
stage_matlab_archive "$work/glnxa64" "$build/mexa64/VelocartDriver.mexa64" "'/dev/ttyUSB0'" \
  "$linux_note" "$build/mexa64/velocart-sim"
tar -C "$work/glnxa64" --sort=name --mtime="@$epoch" --owner=0 --group=0 --numeric-owner \
  -cf - "$name" | gzip -n -9 >"$out/$glnxa64_archive"

(cd "$out" && sha256sum "$octave_package" "$win64_archive" "$glnxa64_archive" >SHA256SUMS)
echo "packaged in $out/:"
(cd "$out" && ls -l "$octave_package" "$win64_archive" "$glnxa64_archive" SHA256SUMS)
