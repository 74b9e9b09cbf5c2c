% The module's life in the host: unloading releases the port, a second
% Octave process is kept out while the port is held, and help works.
peer = peer_start('robot');
octave = fullfile(OCTAVE_HOME, 'bin', 'octave-cli');
mex_dir = getenv('VELOCART_MEX_DIR');

% Another process tries the same port; its exit code is 10 + the result.
function code = open_elsewhere(octave, mex_dir, link)
  cmd = sprintf(['%s --norc --quiet --no-window-system --eval "addpath(''%s''); ' ...
                 'r = VelocartDriver(''open'', ''%s''); exit(10 + double(r));" 2>/dev/null'], ...
                octave, mex_dir, link);
  [code, ~] = system(cmd);
end

assert(VelocartDriver('open', peer.link) == 0, 'first open');
assert(open_elsewhere(octave, mex_dir, peer.link) == 9, 'a second process is refused (-1)');

% Unloading the module closes every link: another process can open them.
% (Octave's "clear mex" unloads nothing; test_stopping.m unloads with "clear functions".)
other = peer_start('robot-5');
assert(VelocartDriver(5, 'open', other.link) == 0, 'a second link');
clear VelocartDriver
assert(open_elsewhere(octave, mex_dir, peer.link) == 10 && ...
       open_elsewhere(octave, mex_dir, other.link) == 10, 'clear VelocartDriver closed both links');
peer_stop(other);
assert(VelocartDriver('open', peer.link) == 0, 'reopen after clear VelocartDriver');
e = VelocartDriver('setOdometry', [1 2 3]);
assert(isequal(peer_received(peer, 26), e), 'the reopened port carries frames');

% The module's state starts fresh after a reload: closed, zero frame.
clear VelocartDriver
e = VelocartDriver('sendVelocity', [1 -0.5]);
assert(isequal(e, uint8([170 22 0 3 0 1 3 0 128 255 0 1 zeros(1, 12) 99 17])), ...
       'a reloaded module starts from a zero frame');
assert(numel(peer_received(peer, 27, 0.3)) == 26, 'nothing sent while closed after reload');

VelocartDriver('close');
assert(open_elsewhere(octave, mex_dir, peer.link) == 10, 'after close another process may open');

% Exiting with the port open releases it too.
code = system(sprintf(['%s --norc --quiet --no-window-system --eval "addpath(''%s''); ' ...
                       'VelocartDriver(''open'', ''%s'');" >/dev/null 2>&1'], octave, mex_dir, peer.link));
assert(VelocartDriver('open', peer.link) == 0, 'a process that exited holding the port let go');
VelocartDriver('close');

% Every call gives back the text the host handed it: over 200,000 calls the
% resident memory grows by less than 8 bytes a call.
function kb = resident_kb()
  pages = sscanf(fileread('/proc/self/statm'), '%d');
  kb = pages(2) * 4;
end
for k = 1:20000
  s = VelocartDriver('read');
end
before = resident_kb();
for k = 1:200000
  s = VelocartDriver('read');
end
grown = (resident_kb() - before) * 1024 / 200000;
printf('test_lifecycle: resident memory grew %.2f bytes a call\n', grown);
assert(grown < 8, 'resident memory grows %.1f bytes a call', grown);

% help prints the call forms.
text = evalc('help VelocartDriver');
for form = {'VelocartDriver(''open'', port)', 'VelocartDriver(''sendVelocity'', [v1 v2])', ...
            'VelocartDriver(''setOdometry'', [x y th])', 'VelocartDriver(''setFreeWheels'')', ...
            'VelocartDriver(''read'')', 'VelocartDriver(''readLatest'', timeout)', ...
            'VelocartDriver(''close'')', 'VelocartDriver(''version'')', 'Example', ...
            'VelocartDriver(''readAll'')', 'VelocartDriver(''links'')', ...
            'VelocartDriver(''watchdog'', seconds)', 'VelocartDriver(2, ''open'''}
  assert(~isempty(strfind(text, form{1})), 'help mentions %s', form{1});
end

peer_stop(peer);
printf('test_lifecycle: all checks passed\n');
