% Run by test_octave_package.sh in a fresh Octave after "pkg load
% velocartdriver": the installed module answers, its help text is found,
% it drives a pty, and the simulator is on EXEC_PATH.
installed = pkg('list', 'velocartdriver');
assert(numel(installed) == 1, 'pkg lists velocartdriver once');
module = which('VelocartDriver');
archdir = installed{1}.archprefix;
assert(strncmp(module, archdir, numel(archdir)) && exist(module, 'file') == 3, ...
       'VelocartDriver is the MEX file installed in %s: %s', archdir, module);
assert(strcmp(VelocartDriver('version'), installed{1}.version), 'the module is release %s', ...
       installed{1}.version);

% The build script needs the source tree, which the package does not hold.
assert(isempty(which('build_velocartdriver')), 'the package ships build_velocartdriver');

% pkg puts the .mex in an arch folder apart from the help file.
help_text = evalc('help VelocartDriver');
assert(~isempty(strfind(help_text, 'r = VelocartDriver(''open'', port)')), ...
       'help VelocartDriver prints the help file: %s', help_text);

% A frame out to the pty and a status frame back.
% The peer quits when its input closes, also if Octave stops at an error.
peer = peer_start('cable');
assert(VelocartDriver('open', peer.link) == 0, 'the installed module opens the pty');
sent = VelocartDriver('sendVelocity', [1 -0.5]);
assert(isequal(peer_received(peer, 26), sent), 'the far end received the frame sent');
peer_send(peer, status_frame_bytes([1 2 0.5], [1 -0.5], [-1 0.5]));
pause(0.2);
s = VelocartDriver('read');
assert(isequal(s, [1 1 2 0.5 1 -0.5 -1 0.5]), 'read decodes the status frame: %s', mat2str(s));
VelocartDriver('close');
peer_stop(peer);

[status, usage] = system('velocart-sim --help');
assert(status == 0 && ~isempty(strfind(usage, '--link')), ...
       'velocart-sim runs from EXEC_PATH: %d %s', status, usage);
printf('installed module: %s\nsimulator: %s\n', module, file_in_path(EXEC_PATH, 'velocart-sim'));

% What a user checks an install with: the package's help, tests and demo.
assert(~isempty(strfind(evalc('help velocartdriver'), 'record_square')), 'help velocartdriver');
tests = evalc('pkg test velocartdriver');
assert(~isempty(regexp(tests, 'PASS\s+[1-9]\d*\s+FAIL\s+0', 'once')), 'pkg test: %s', tests);
assert(~isempty(strfind(evalc('demo VelocartRobot'), 'back at x')), 'demo VelocartRobot');
