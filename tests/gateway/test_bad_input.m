% Wrong arguments through the real host: each is refused with one line that
% names the command, nothing reaches the far end, the frame is unchanged,
% and Octave keeps running.
peer = peer_start('robot');
r = VelocartDriver('open', peer.link);
assert(r == 0, 'open the pty');
reference = VelocartDriver('setOdometry', [0.5 -1 2]);
reference = [reference VelocartDriver('sendVelocity', [0.25 -0.75])];
sent = numel(peer_received(peer, 52));
assert(sent == 52, 'two reference frames arrived');

wrong = struct('label', {}, 'value', {});
wrong(end + 1) = struct('label', 'empty double', 'value', {[]});
wrong(end + 1) = struct('label', 'empty int8', 'value', {zeros(1, 0, 'int8')});
wrong(end + 1) = struct('label', 'complex', 'value', {[1+2i 3 4]});
wrong(end + 1) = struct('label', 'complex single', 'value', {single([1i 2 3])});
wrong(end + 1) = struct('label', 'sparse', 'value', {sparse([1 2 3])});
wrong(end + 1) = struct('label', 'sparse logical', 'value', {sparse([true true true])});
wrong(end + 1) = struct('label', 'cell', 'value', {{1, 2, 3}});
wrong(end + 1) = struct('label', 'nested cell', 'value', {{{1}, {2, {3}}}});
wrong(end + 1) = struct('label', 'struct', 'value', {struct('a', {1, 2, 3})});
wrong(end + 1) = struct('label', 'function handle', 'value', {@sin});

frame_commands = {'sendVelocity', 'setOdometry'};
for k = 1:numel(wrong)
  for c = frame_commands
    cmd = c{1};
    out = evalc('e = VelocartDriver(cmd, wrong(k).value);');
    assert(isa(e, 'uint8') && isequal(size(e), [1 0]), '%s with %s gives 1x0 uint8', cmd, wrong(k).label);
    assert(numel(strsplit(strtrim(out), "\n")) == 1 && ~isempty(strfind(out, ['''' cmd ''''])), ...
           '%s with %s prints one line naming the command: %s', cmd, wrong(k).label, out);
  end
  out = evalc('r = VelocartDriver(''open'', wrong(k).value);');
  assert(isa(r, 'int8') && r == -1, 'open with %s gives int8 -1', wrong(k).label);
  assert(~isempty(strfind(out, '''open''')) || ~isempty(strfind(out, 'I cannot open')), ...
         'open with %s says why: %s', wrong(k).label, out);
end

% Missing or too short arguments, text where numbers are needed, and text
% with a NUL inside, which must not match up to the NUL.
out = evalc('r = VelocartDriver(''open'', [peer.link char(0) ''x'']);');
assert(r == -1 && ~isempty(strfind(out, '''open''')), 'a device name with a NUL is refused: %s', out);
out = evalc('x = VelocartDriver([''read'' char(0) ''x'']);');
said = 'VelocartDriver: unknown command ''(text holding a NUL)''';
assert(strncmp(out, said, numel(said)) && ...
       isequal(x, -1), 'a command with a NUL is no command: %s', out);
cases = {{'sendVelocity'}, {'sendVelocity', 1}, {'sendVelocity', 'ab'}, ...
         {'setOdometry'}, {'setOdometry', [1 2]}, {'setOdometry', 'abc'}, ...
         {'setOdometry', int8([1; 2])}};
for k = 1:numel(cases)
  args = cases{k};
  out = evalc('e = VelocartDriver(args{:});');
  assert(isa(e, 'uint8') && isequal(size(e), [1 0]), 'refused: %s', disp(args));
  assert(~isempty(strfind(out, ['''' args{1} ''''])), 'refusal names %s: %s', args{1}, out);
end
out = evalc('r = VelocartDriver(''open'');');
assert(r == -1 && ~isempty(strfind(out, '''open''')), 'open without a port: %s', out);
out = evalc('r = VelocartDriver(''open'', '''');');
assert(r == -1 && ~isempty(strfind(out, '''open''')), 'open with empty text: %s', out);

% A link number that is none: one line, the command's refusal, nothing sent.
refusal = @(c) sprintf(['VelocartDriver: ''%s'' needs a link number from 1 to 32 in the first ' ...
                        'place%s, e.g. VelocartDriver(2, ''%s'', ...).\n'], c, ...
                       repmat(' (or a vector of distinct ones)', 1, any(strcmp(c, {'sendVelocity', 'readLatest'}))), c);
for k = {0, 33, 2.5, NaN, [1 2], 'x' + 0 > 0, {1}, int8(-1)}
  out = evalc('r = VelocartDriver(k{1}, ''open'', peer.link);');
  assert(isequal(r, int8(-1)) && strcmp(out, refusal('open')), 'open on link %s: %s', disp(k{1}), out);
  out = evalc('e = VelocartDriver(k{1}, ''setOdometry'', [1 2 3]);');
  assert(isequal(size(e), [1 0]) && strcmp(out, refusal('setOdometry')), 'frame on a bad link: %s', out);
  if ~isequal(k{1}, [1 2])                  % two links: readLatest reads both
    out = evalc('[s, t] = VelocartDriver(k{1}, ''readLatest'');');
    assert(isequal(s, zeros(1, 8)) && isnan(t) && strcmp(out, refusal('readLatest')), ...
           'readLatest on a bad link: %s', out);
  end
end
out = evalc('e = VelocartDriver([1 1], ''sendVelocity'', [1 1; 1 1]);');
assert(isequal(size(e), [1 0]) && strcmp(out, refusal('sendVelocity')), 'a link twice: %s', out);

% None of the refusals sent a byte or touched the frame: a free-wheel frame
% still carries the odometry of the last good command.
assert(numel(peer_received(peer, 0, 0.2)) == sent, 'refused calls sent nothing');
e = VelocartDriver('setFreeWheels');
assert(isequal(e(13:24), reference(13:24)), 'odometry fields are as the last good command left them');

% Random junk: many classes and shapes, none may crash. Some of it means
% port 1, a real device of this machine: the pty must be the open port, so
% that "open" only compares devices and never opens another one.
assert(VelocartDriver('open', peer.link) == 0, 'the pty is the open port');
rand('seed', 7);
junk = {NaN, Inf, -Inf, 1e308, -1e308, realmax, realmin, eps, int64(9e18), uint64(18e18), ...
        int8([-128 127 0]), true, false(1, 5), single(NaN(1, 3)), zeros(0, 3), ones(3, 0), ...
        rand(40, 40) * 1e6, 'x', repmat('z', 1, 5000), {}, struct(), {@cos, {1}}, ...
        int16(ones(2, 2, 2)), 1:1e5, -0};
for k = 1:numel(junk)
  for c = {'open', 'sendVelocity', 'setOdometry', 'setFreeWheels', 'read', 'Read', 'x'}
    if strcmp(c{1}, 'open') && ischar(junk{k})
      continue;  % a name: tried against the open link above
    end
    out = evalc('res = VelocartDriver(c{1}, junk{k});');
  end
end

% Whatever junk was accepted went out as well-formed frames.
after_junk = peer_received(peer, 0, 0.2);
frames = reshape(after_junk, 26, [])';
for k = 1:rows(frames)
  f = frames(k, :);
  assert(f(1) == 170 && f(2) == 22 && double(f(25)) * 256 + double(f(26)) == crc16_cms(f(2:24)), ...
         'frame %d on the wire is well formed', k);
end
assert(mod(numel(after_junk), 26) == 0, 'only whole frames on the wire');
VelocartDriver('close');
peer_stop(peer);
printf('test_bad_input: all checks passed\n');
