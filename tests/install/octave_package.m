% Run by test_octave_package.sh in a fresh Octave after "pkg load
% velocartdriver": the installed module answers, its help text is found,
% it drives a pty, the simulator is on EXEC_PATH, and the package's help,
% tests and demo work.
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

% What a user checks an install with: help on the package's name lists what
% it holds, its own tests pass against the installed simulator, and the
% class's demo drives it.
contents = evalc('help velocartdriver');
assert(~isempty(strfind(contents, 'VelocartRobot')) && ~isempty(strfind(contents, 'record_square')), ...
       'help velocartdriver lists the functions and examples: %s', contents);
tests = evalc('pkg test velocartdriver');
passed = regexp(tests, 'PASS\s+(\d+)\s+FAIL\s+(\d+)', 'tokens', 'once');
assert(~isempty(passed) && str2double(passed{1}) > 0 && str2double(passed{2}) == 0, ...
       'pkg test velocartdriver: %s', tests);
shown = evalc('demo VelocartRobot');
assert(~isempty(strfind(shown, 'back at x')) && isempty(strfind(shown, 'failed')), ...
       'demo VelocartRobot: %s', shown);
printf('help velocartdriver, pkg test velocartdriver (%s passed) and demo VelocartRobot work\n', ...
       passed{1});
