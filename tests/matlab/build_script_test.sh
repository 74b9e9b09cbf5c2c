#!/usr/bin/env bash
# Runs matlab/build_velocartdriver.m in octave-cli into a temporary folder,
# then loads the MEX it built and checks that it works.
#   build_script_test.sh SOURCE_DIR
set -euo pipefail
root=$(cd "$1" && pwd)
work=$(mktemp -d "${TMPDIR:-/tmp}/velocart-build-script-XXXXXX")
trap 'rm -rf "$work"' EXIT

objects_before=$(find "$root/src" -name '*.o' | wc -l)
cd "$work"
timeout 600 octave-cli --no-gui --norc --quiet --no-window-system --eval "
  addpath('$root/matlab');
  out = '$work/out';
  % Its help file already found on the path, as in matlab/: the name calls the new module at once.
  mkdir(out);
  copyfile('$root/matlab/VelocartDriver.m', out);
  addpath(out);
  assert(strcmp(which('VelocartDriver'), fullfile(out, 'VelocartDriver.m')));
  file = build_velocartdriver(out);
  assert(strcmp(file, fullfile(out, 'VelocartDriver.mex')), 'returned %s', file);
  assert(exist(file, 'file') == 3, 'no MEX file at %s', file);
  assert(strcmp(which('VelocartDriver'), file), 'VelocartDriver resolves to %s', which('VelocartDriver'));
  assert(~isempty(strfind(evalc('help VelocartDriver'), 'readLatest')) && ...
         strcmp(which('VelocartRobot'), fullfile(out, 'VelocartRobot.m')), ...
         'the help file and VelocartRobot are not beside the module in %s', out);
  % While closed the frame commands still encode and echo their frame.
  echo = VelocartDriver('setFreeWheels');
  expected = uint8([hex2dec({'AA' '16' '00' '03' '00' '01'})' zeros(1, 18) hex2dec({'DE' 'A5'})']);
  assert(isequal(echo, expected), 'free-wheel echo %s', mat2str(echo));
  status = VelocartDriver('open', fullfile(out, 'no-such-port'));
  assert(isa(status, 'int8') && status == -1, 'open of a missing device gave %d', status);
  s = VelocartDriver('read');
  assert(isequal(size(s), [1 8]) && s(1) == 0, 'read while closed: %s', mat2str(s));
  disp('build script: the MEX built by build_velocartdriver loads and answers');
"
objects_after=$(find "$root/src" -name '*.o' | wc -l)
if [ "$objects_after" -ne "$objects_before" ]; then
  echo "the build left object files in src/" >&2
  exit 1
fi
