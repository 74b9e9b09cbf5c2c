% Every command through the real Octave host, with a pty as the cable.
worked_velocity = uint8([170 22 0 3 0 1 3 0 128 255 0 1 zeros(1, 12) 99 17]);

%% Right after load, with no port open
t = tic;
s = VelocartDriver('readLatest', 5);
assert(isequal(s, zeros(1, 8)) && toc(t) < 1, 'readLatest while closed returns at once');

t = tic;
echo_bytes = VelocartDriver('sendVelocity', [1 -0.5]);
elapsed = toc(t);
assert(isa(echo_bytes, 'uint8') && isequal(size(echo_bytes), [1 26]), 'echo is 1x26 uint8');
assert(isequal(echo_bytes, worked_velocity), 'echo after load is the worked frame: %s', ...
       sprintf('%02X ', echo_bytes));
assert(elapsed >= 0.009, 'a frame while closed pauses about 10 ms (took %.4f s)', elapsed);

s = VelocartDriver('read');
assert(isa(s, 'double') && isequal(size(s), [1 8]), 'read gives 1x8 double');
assert(s(1) == 0, 'read before any open is invalid');

%% Banner: no argument, unknown names, non-text first argument
out = evalc('VelocartDriver();');
lines = strsplit(out, "\n");
assert(numel(lines) == 5 && isempty(lines{5}), 'banner is four lines');
assert(strcmp(lines{1}, blanks(54)) && strcmp(lines{4}, blanks(54)), 'banner rules are 54 spaces');
assert(strncmp(lines{2}, 'VelocartDriver: ', 16), 'banner title names the module');
assert(strncmp(lines{3}, blanks(8), 8) && lines{3}(9) ~= ' ', 'credit line indented by eight');
banner = out;

x = 7;
out = evalc('x = VelocartDriver();');
assert(strcmp(out, banner), 'banner with an output prints the same');
assert(isa(x, 'double') && isequal(size(x), [1 1]) && x == 0, 'x = VelocartDriver() gives 0');

% Text that names no command says so before the banner, and gives -1.
for name = {'Open', 'opened', 'OPEN', 'read ', '', 'sendvelocity', 'closeX'}
  out = evalc(sprintf('r = VelocartDriver(''%s'', 3);', name{1}));
  said = sprintf(['VelocartDriver: unknown command ''%s''; commands are open, close, ' ...
                  'sendVelocity, setOdometry, setFreeWheels, read, readLatest, readAll, watchdog, ' ...
                  'links, linkOf, background, log, ports, version.\n'], name{1});
  assert(strcmp(out, [said banner]), '''%s'' is not a command: %s', name{1}, out);
  assert(isa(r, 'double') && isequal(r, -1), '''%s'' gives -1', name{1});
end
assert(strcmp(evalc('VelocartDriver(3);'), banner), 'a number first prints the banner');
assert(strcmp(evalc('VelocartDriver({''open''}, 3);'), banner), 'a cell first prints the banner');

%% The release: from the VERSION file, also on the banner's credit line
release = strtrim(fileread(fullfile(getenv('VELOCART_SOURCE_DIR'), 'VERSION')));
v = VelocartDriver('version');
assert(ischar(v) && isequal(v, release), 'version gives %s, VERSION says %s', v, release);
assert(~isempty(strfind(lines{3}, ['Version ' release])), 'the banner names the version');

%% close while closed assigns nothing and prints nothing
assert(isempty(evalc('VelocartDriver(''close'');')), 'close prints nothing');
try
  y = VelocartDriver('close');
  error('close must not assign a result');
catch err
  assert(~isempty(strfind(err.message, 'undefined')), 'host reports the missing result: %s', ...
         err.message);
end

%% open, send, receive
peer = peer_start('robot');
out = evalc('r = VelocartDriver(''open'', peer.link);');
assert(strcmp(out, sprintf('Port %s is opened successfully.\n', peer.link)), 'open message: %s', out);
assert(isa(r, 'int8') && isequal(size(r), [1 1]) && r == 0, 'open returns int8 0');

% The same device again: success, no second open.
out = evalc('r = VelocartDriver(''open'', peer.link);');
assert(r == 0 && strcmp(out, sprintf('Port %s is opened successfully.\n', peer.link)), ...
       'reopening the open port succeeds');

echo_v = VelocartDriver('sendVelocity', single([2 0.25]));
echo_o = VelocartDriver('setOdometry', int32([1 -2 3]));
echo_f = VelocartDriver('setFreeWheels');
echo_v2 = VelocartDriver('sendVelocity', [true false]);
sent = [echo_v echo_o echo_f echo_v2];
got = peer_received(peer, numel(sent));
assert(isequal(got, sent), 'the far end received exactly the echoed bytes');

% Each frame carries what earlier commands left in the fields it does not own.
assert(isequal(echo_v(7:12), uint8([3 0 64 0 0 2])), 'velocity fields and code');
assert(isequal(echo_o(7:12), echo_v(7:12) .* uint8([0 1 1 1 1 1]) + uint8([7 0 0 0 0 0])), ...
       'odometry frame keeps the velocity fields');
assert(isequal(echo_o(13:24), typecast(single([1 -2 3]), 'uint8')), 'odometry as singles');
assert(isequal(echo_f(9:12), zeros(1, 4, 'uint8')) && isequal(echo_f(13:24), echo_o(13:24)), ...
       'free wheels zero only the velocity');
assert(isequal(echo_v2(13:24), echo_o(13:24)) && isequal(echo_v2(9:12), uint8([0 0 0 1])), ...
       'logical velocities and carried odometry');
for f = {echo_v, echo_o, echo_f, echo_v2}
  e = f{1};
  assert(double(e(25)) * 256 + double(e(26)) == crc16_cms(e(2:24)), 'frame checksum');
end

% Narrowing to single before the 8.8 conversion: 0.0039062499 rounds to 1/256.
e = VelocartDriver('sendVelocity', [0.0039062499 -0.0039062499]);
assert(isequal(e(9:12), uint8([255 255 1 0])), 'single-precision narrowing: %s', sprintf('%02X ', e));
% NaN and infinities are a fault upstream: refused, nothing sent.
for bad = {{'sendVelocity', [Inf 0]}, {'sendVelocity', [0 NaN]}, {'setOdometry', [0 -Inf 0]}}
  out = evalc('e = VelocartDriver(bad{1}{:});');
  assert(isequal(size(e), [1 0]) && strcmp(out, sprintf(['VelocartDriver: ''%s'' needs finite ' ...
         'numbers, not NaN or Inf; nothing was sent.\n'], bad{1}{1})), 'refused: %s', out);
end
e = VelocartDriver('sendVelocity', [-1e300 3.9 99]);
assert(isequal(e(9:12), uint8([230 3 0 226])), 'huge negative clamps to -30; extra elements ignored');
assert(numel(peer_received(peer, numel(sent) + 3 * 26, 0.3)) == numel(sent) + 2 * 26, ...
       'the refused frames never reached the wire');

% A status frame from the robot, read in place; no new bytes: same vector.
frame = status_frame_bytes([1.5 -2.25 0.75], [0.5 -0.25], [1 -0.5]);
peer_send(peer, frame);
expected = [1 1.5 -2.25 0.75 0.5 -0.25 1 -0.5];
t = tic;
s = VelocartDriver('read');
while ~isequal(s, expected) && toc(t) < 2
  pause(0.005);
  s = VelocartDriver('read');
end
assert(isequal(s, expected), 'status decodes: %s', mat2str(s));
assert(isequal(VelocartDriver('read'), expected), 'a read with no new bytes repeats the vector');

% A corrupted frame reads as invalid, elements 2..8 zero.
bad = frame;
bad(20) = bitxor(bad(20), 1);
peer_send(peer, bad);
t = tic;
s = VelocartDriver('read');
while s(1) == 1 && toc(t) < 2
  pause(0.005);
  s = VelocartDriver('read');
end
assert(isequal(s, zeros(1, 8)), 'a corrupted frame is invalid and decodes to zeros');
assert(isequal(VelocartDriver('read'), zeros(1, 8)), 'and stays so while nothing new arrives');

%% readLatest: the newest good frame of all that arrived, a half frame kept for the next call
frame_b = status_frame_bytes([2 3 0.5], [0.25 0.5], [0.5 0]);
expected_b = [1 2 3 0.5 0.25 0.5 0.5 0];
junk = uint8([0 170 26 0 1 2]);              % a start byte and a cut-off header
peer_send(peer, [junk bad frame frame_b frame_b(1:12)]);
pause(0.1);
assert(isequal(VelocartDriver('readLatest'), expected_b), 'the newest good frame wins');
again = VelocartDriver('readLatest');
assert(isequal(again, [0 expected_b(2:end)]), 'nothing new: element 1 is 0, the rest repeats');
peer_send(peer, frame_b(13:end));
t = tic;
s = VelocartDriver('readLatest', 2);
assert(isequal(s, expected_b) && toc(t) < 1, 'the wait ends with the half frame completed');
t = tic;
s = VelocartDriver('readLatest', 0.2);
assert(s(1) == 0 && toc(t) >= 0.19, 'no frame: the wait runs its time (%.3f s)', toc(t));
refusal = sprintf(['VelocartDriver: ''readLatest'' takes a timeout in seconds from 0 to 60, ' ...
                   'e.g. VelocartDriver(''readLatest'', 0.1); nothing was read.\n']);
for junk_timeout = {NaN, -1, Inf, 60.5, 'a', {1}, 1 + 2i, []}
  out = evalc('s = VelocartDriver(''readLatest'', junk_timeout{1});');
  assert(strcmp(out, refusal) && s(1) == 0, 'a timeout of %s is refused: %s', ...
         disp(junk_timeout{1}), out);
end
% A refused call reads nothing and takes nothing: a frame readAll took in is
% still new to readLatest, and one readLatest took in still new to readAll.
peer_send(peer, frame_b); VelocartDriver('readAll', 2);
s = VelocartDriver('readLatest', -1); s2 = VelocartDriver('readLatest');
peer_send(peer, frame_b); VelocartDriver('readLatest', 2);
S = VelocartDriver('readAll', -1); S2 = VelocartDriver('readAll');
assert(s(1) == 0 && s2(1) == 1 && isempty(S) && rows(S2) == 1, 'refused reads took frames');

%% A different port while one is open is refused, and frames still go to the open one
other = peer_start('other');
before = numel(peer_received(peer, 0, 0));
out = evalc('r = VelocartDriver(''open'', other.link);');
assert(r == -1, 'a different device is refused');
assert(strcmp(out, sprintf(['I cannot open %s!\nVelocartDriver: %s is already open; ' ...
                            'call VelocartDriver(''close'') first.\n'], other.link, peer.link)), ...
       'refusal names the open port: %s', out);
out = evalc('r = VelocartDriver(''open'', 5);');
assert(r == -1 && strncmp(out, sprintf('I cannot open COM5!\n'), 20), 'COM5 refused: %s', out);
e = VelocartDriver('setFreeWheels');
assert(isequal(peer_received(peer, before + 26)(before + 1:end), e), 'frame went to the open port');
assert(isempty(peer_received(other, 1, 0.2)), 'nothing reached the other device');
peer_stop(other);

%% A far end that hangs up: one message, the echo still returned, old frame kept
peer_send(peer, frame);
t = tic;
while ~isequal(VelocartDriver('read'), expected) && toc(t) < 2
  pause(0.005);
end
peer_hangup(peer);
out = evalc('e1 = VelocartDriver(''sendVelocity'', [0.1 0.2]);');
assert(strcmp(out, sprintf('VelocartDriver: the frame could not be written to %s.\n', peer.link)), ...
       'a failed write is reported once: %s', out);
assert(isa(e1, 'uint8') && numel(e1) == 26, 'echo returned after a failed write');
out = evalc('e2 = VelocartDriver(''sendVelocity'', [0.1 0.2]);');
assert(isempty(out), 'later failures stay quiet');
assert(isequal(VelocartDriver('read'), expected), 'after a hang-up the last frame decodes again');
t = tic;
out = evalc('s = VelocartDriver(''readLatest'', 5);');
assert(strcmp(out, sprintf('VelocartDriver: %s hung up; open it again once it is back.\n', ...
                           peer.link)) && s(1) == 0 && toc(t) < 1, ...
       'a hang-up ends the wait at once and says so: %s', out);
out = evalc('s = VelocartDriver(''readLatest'', 5);');
assert(isempty(out), 'a hang-up is reported once');

assert(isempty(evalc('VelocartDriver(''close'');')), 'close prints nothing');
out = evalc('e = VelocartDriver(''sendVelocity'', [0.1 0.2]);');
assert(isempty(out), 'nothing is printed for frames while closed');
peer_stop(peer);

%% Port numbers
out = evalc('r = VelocartDriver(''open'', 0);');
assert(r == -1 && strncmp(out, sprintf('I cannot open COM0!\n'), 20), 'COM0 refused');
out = evalc('r = VelocartDriver(''open'', 10000.7);');
assert(r == -1 && strncmp(out, sprintf('I cannot open COM10000!\n'), 24), 'COM10000 refused');
out = evalc('r = VelocartDriver(''open'', 3.9);');
assert(r == -1 && strncmp(out, sprintf('I cannot open COM3!\n'), 20), '3.9 names COM3: %s', out);
out = evalc('r = VelocartDriver(''open'', -3.9);');
assert(r == -1 && strncmp(out, sprintf('I cannot open COM-3!\n'), 20), 'truncation toward zero');
out = evalc('r = VelocartDriver(''open'', 9999.9);');
assert(r == -1 && strcmp(out, sprintf(['I cannot open COM9999!\nVelocartDriver: /dev/ttyS9998: ' ...
                                       'No such file or directory.\n'])), 'COM9999 absent: %s', out);
out = evalc('r = VelocartDriver(''open'', NaN);');
assert(r == -1 && ~isempty(strfind(out, 'NaN')), 'NaN has its own message: %s', out);
out = evalc('r = VelocartDriver(''open'', -Inf);');
assert(r == -1 && ~isempty(strfind(out, 'Inf')), 'Inf has its own message: %s', out);
out = evalc('r = VelocartDriver(''open'', 2^31);');
assert(r == -1 && ~isempty(strfind(out, 'out of range')), 'beyond 32 bits: %s', out);
% A refusal says why in a second line, in the system's words.
none = fullfile(getenv('VELOCART_TEST_DIR'), 'none');
out = evalc('r = VelocartDriver(''open'', none);');
assert(r == -1 && strcmp(out, sprintf(['I cannot open %s!\n' ...
                                       'VelocartDriver: No such file or directory.\n'], none)), ...
       'a missing device by name: %s', out);

%% Numbered links: each robot on its own link, with its own frame and reads
a = peer_start('robot-a');
b = peer_start('robot-b');
assert(VelocartDriver(1, 'open', a.link) == 0 && VelocartDriver(2, 'open', b.link) == 0, 'links 1, 2');
out = evalc('r = VelocartDriver(3, ''open'', a.link);');
assert(r == -1 && strcmp(out, sprintf(['I cannot open %s!\nVelocartDriver: link 3: %s is open on ' ...
       'link 1; use that link, or call VelocartDriver(1, ''close'') first.\n'], a.link, a.link)), ...
       'a device is open on one link at a time: %s', out);
assert(isequal(VelocartDriver('links'), [1; 2]) && VelocartDriver('linkOf', b.link) == 2, 'links');
ea = VelocartDriver('setOdometry', [1 2 3]);      % link 1, the link without a number
eb = VelocartDriver(2, 'sendVelocity', [0.5 -0.5]);
assert(isequal(peer_received(a, 26), ea) && isequal(peer_received(b, 26), eb), 'each to its own');
assert(all(eb(13:24) == 0), 'link 2''s frame carries none of link 1''s odometry');
e = VelocartDriver([2 1], 'sendVelocity', [0.25 0; 0 0.75]);
assert(isequal(e(1, 9:12), uint8([0 0 64 0])) && isequal(e(2, 9:12), uint8([192 0 0 0])), ...
       'a row of velocities for each link: %s', mat2str(e(:, 9:12)));
e = VelocartDriver([2 1], 'sendVelocity', [0.25 0 1; 0 0.75 1]);
assert(isempty(e), 'three columns for two links are refused');
peer_send(a, status_frame_bytes([1 1 1], [0 0], [0 0]));
peer_send(b, status_frame_bytes([2 2 2], [0 0], [0 0]));
[s, t] = VelocartDriver([1 2], 'readLatest', 2);
if any(s(:, 1) == 0)
  [s2, t2] = VelocartDriver([1 2], 'readLatest', 2);   % a reply still on its way
  s(s(:, 1) == 0, :) = s2(s(:, 1) == 0, :);
end
assert(isequal(s(:, 1:2), [1 1; 1 2]) && all(t >= 0), 'one row each: %s', mat2str(s(:, 1:2)));
peer_hangup(a);
out = evalc('s = VelocartDriver([1 2], ''readLatest'', 0.2);');
assert(strcmp(out, sprintf('VelocartDriver: %s hung up; open it again once it is back.\n', a.link)), ...
       'the hang-up of link 1 is link 1''s: %s', out);
e = VelocartDriver(2, 'setFreeWheels');
assert(isequal(peer_received(b, 78)(53:78), e), 'link 2 goes on after link 1 hung up');
VelocartDriver(2, 'close');
assert(isempty(VelocartDriver('links')), 'closing link 2 leaves no link open');
peer_stop(b);

%% readAll: every frame since the last, oldest first, with its stamp
p = peer_start('streamer');
assert(VelocartDriver(4, 'open', p.link) == 0, 'link 4');
frames = arrayfun(@(k) status_frame_bytes([k 0 0], [0 0], [0 0]), 1:8, 'UniformOutput', false);
function [S, T] = read_all(k, count)
  % Every frame of a burst, however the pty hands the burst over.
  [S, T] = VelocartDriver(k, 'readAll', 2);
  while rows(S) < count
    [more, later] = VelocartDriver(k, 'readAll', 2);
    assert(~isempty(more), 'readAll: only %d of %d frames came', rows(S), count);
    S = [S; more];
    T = [T; later];
  end
end
% The second burst counts back from its read past the first one's stamps.
peer_send(p, [frames{1:2}]);
[S, T] = read_all(4, 2);
peer_send(p, [frames{3:8}]);
[S2, T2] = read_all(4, 6);
S = [S; S2];
T = [T; T2];
assert(isequal(S(:, 1:2), [ones(8, 1) (1:8)']) && all(diff(T) > 0), 'in order: %s, %s', ...
       mat2str(S(:, 2)'), mat2str(1000 * diff(T)', 3));
peer_send(p, [frames{6:8}]);
s = VelocartDriver(4, 'readLatest', 2);
while s(2) ~= 8
  s = VelocartDriver(4, 'readLatest', 2);
end
[S, T] = VelocartDriver(4, 'readAll');
assert(isequal(S(:, 2)', 6:8), 'readAll still has what readLatest passed over: %s', mat2str(S(:, 2)'));
[S, T] = VelocartDriver(4, 'readAll');
assert(isequal(size(S), [0 8]) && isequal(size(T), [0 1]), 'nothing new: 0x8 and 0x1');
% A backlog longer than one read keeps the wire's spacing: 40 frames that
% came back to back (1200 bytes) are stamped a frame's line time apart.
peer_send(p, [frames{repmat(1:8, 1, 5)}]);
pause(0.2);
[S, T] = VelocartDriver(4, 'readAll');
assert(rows(S) == 40 && max(abs(diff(T) - 300 / 115200)) < 1e-6, 'a backlog: gaps %s ms', ...
       mat2str(1000 * diff(T)', 3));
peer_send(p, [repmat(frames{1}, 1, 1029) frames{2}]);
s = VelocartDriver(4, 'readLatest', 2);
while s(1) == 1 && s(2) ~= 2
  s = VelocartDriver(4, 'readLatest', 2);     % drains the line; every frame enters the ring
end
assert(s(2) == 2, 'the burst of 1030 frames stopped short');
out = evalc('S = VelocartDriver(4, ''readAll'');');
assert(rows(S) == 1024 && strcmp(out, sprintf(['VelocartDriver: link 4: 6 status frames were lost ' ...
       'before this readAll: it keeps the last 1024; call it more often.\n'])), 'overflow: %s', out);
peer_send(p, frames{2});
VelocartDriver(4, 'readAll', 2);             % taken in: new to readLatest too
VelocartDriver(4, 'close');
VelocartDriver(4, 'open', p.link);
[s, t] = VelocartDriver(4, 'readLatest');
assert(isempty(VelocartDriver(4, 'readAll')) && isequal(s, zeros(1, 8)) && isnan(t), ...
       'open and close start afresh: %s', mat2str(s));
VelocartDriver(4, 'close');
peer_stop(p);

%% Background reading: read gives the newest frame the thread took in; off again, read is raw
q = peer_start('background');
assert(VelocartDriver(6, 'open', q.link) == 0 && VelocartDriver(6, 'background', true) == 1, 'on');
peer_send(q, frame);
s = VelocartDriver(6, 'readLatest', 2);
peer_send(q, frame_b(1:12));
pause(0.1);
on = VelocartDriver(6, 'read');
off = VelocartDriver(6, 'background', false);
peer_send(q, frame_b(13:end));
pause(0.1);
raw = VelocartDriver(6, 'read');
assert(isequal(s, expected) && isequal(on, expected) && off == 0 && raw(1) == 0, ...
       'background: readLatest %s, read %s, then raw %s', mat2str(s), mat2str(on), mat2str(raw));
out = evalc('VelocartDriver(6, ''log'', ''/dev/null'');');
assert(strcmp(out, sprintf(['VelocartDriver: link 6: cannot log to /dev/null: it is not a regular ' ...
       'file; nothing is logged.\n'])) && isempty(VelocartDriver(6, 'log')), 'a device as log: %s', out);
VelocartDriver(6, 'close');
peer_stop(q);

printf('test_commands: all checks passed\n');
