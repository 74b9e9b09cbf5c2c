% End-to-end: the built VelocartDriver MEX drives velocart-sim over a pty.
% run_sim_e2e.sh starts one simulator per scenario, each with its link and
% stats file in the folder named by VELOCART_E2E_DIR, and ends them after.
%
% Stated tolerance: the odometry a reply carries matches the commanded
% motion, integrated over the times the simulator obeyed each command (the
% clock its replies carry), within 2 mm and 0.005 rad; that clock keeps
% pace with this session's within 50 ms over the drive.
1;

function check(condition, varargin)
  if ~condition
    error('sim_e2e:failed', varargin{:});
  end
end

function stats = read_stats(dir, name)
  % The simulator rewrites its stats file as its counters change.
  pause(0.1);
  lines = strsplit(strtrim(fileread(fullfile(dir, [name '.stats']))), "\n");
  stats = struct();
  for i = 1:numel(lines)
    parts = strsplit(lines{i}, ' ');
    stats.(parts{1}) = str2double(parts{2});
  end
end

function s = await_frame(previous)
  % Reads until the vector differs from `previous`, for at most 2 s. Every
  % status frame carries the simulator's clock, so no two are alike, and a
  % reply late on a busy machine is waited for rather than missed.
  pause(0.005);
  s = VelocartDriver('read');
  t = tic;
  while isequal(s, previous) && toc(t) < 2
    pause(0.002);
    s = VelocartDriver('read');
  end
end

function s = send_and_await(v, previous)
  VelocartDriver('sendVelocity', v);
  s = await_frame(previous);
end

% Validity of the replies to COUNT velocity commands, each awaited in turn.
function valid = validity_of_replies(count)
  valid = zeros(1, count);
  s = VelocartDriver('read');
  for k = 1:count
    s = send_and_await([k / 8 0], s);
    valid(k) = s(1);
  end
end

function s = send_and_wait(v, wait)
  % For when nothing new is expected: a fixed wait, then one read.
  VelocartDriver('sendVelocity', v);
  pause(wait);
  s = VelocartDriver('read');
end

function open_link(dir, name)
  status = VelocartDriver('open', fullfile(dir, [name '.link']));
  check(isa(status, 'int8') && status == 0, 'open %s gave %d', name, status);
end

function pose = unicycle(pose, v, w, dt)
  % The motion the simulator models: exact arcs.
  if abs(w) < 1e-9
    pose(1:2) += v * dt * [cos(pose(3)) sin(pose(3))];
  else
    a = pose(3); b = a + w * dt;
    pose(1:2) += (v / w) * [sin(b) - sin(a), cos(a) - cos(b)];
    pose(3) = b;
  end
end

function d = angle_diff(a, b)
  d = mod(a - b + pi, 2 * pi) - pi;
end

dir = getenv('VELOCART_E2E_DIR');
check(~isempty(dir), 'VELOCART_E2E_DIR is not set');
quiet_wait = 0.05;    % when nothing should arrive: ten times a reply's 4.9 ms

% Two parts run_sim_e2e.sh runs alone, each with a robot that streams at
% the line's rate, which would load the others.
if exist('part', 'var') && strcmp(part, 'logged')
  % Background reading and a log, while the program sleeps: every frame the
  % simulator handed over since the open, once and in order, in the log as in
  % readAll, with the commands sent among them.
  open_link(dir, 'logged');
  csv = fullfile(dir, 'logged.csv');
  VelocartDriver('log', csv);
  VelocartDriver('sendVelocity', [0.25 0]);
  pause(2);
  VelocartDriver('sendVelocity', [0 0]);
  pause(0.05);
  [S, T] = VelocartDriver('readAll');
  VelocartDriver('log', '');
  VelocartDriver('close');
  logged = csvread(csv, 1, 0);
  taken = logged(logged(:, 2) == 0, :);
  sent = logged(logged(:, 2) == 1, [3 7 8]);
  % The simulator's frames from the first logged one on, as many as were logged.
  good = sim_log_frames(fileread(fullfile(dir, 'logged.log')));
  good = round(good(:, 2)' * 4096);
  first = find(good == round(taken(1, 9) * 4096), 1);
  check(~isempty(first) && numel(good) >= first + rows(taken) - 1 && ...
        isequal(good(first:first + rows(taken) - 1)', round(taken(:, 9) * 4096)), ...
        'logged: the %d frames logged are not those the simulator handed over', rows(taken));
  % readAll came just before the log ended: its frames begin the log.
  n = rows(S);
  check(n > 700 && isequal(S(:, 7), taken(1:n, 9)) && all(abs(T - taken(1:n, 1)) < 1e-6) && ...
        all(diff(T) > 0), 'logged: readAll (%d frames) and the log differ', n);
  check(isequal(sent, [3 0.25 0; 3 0 0]), 'logged: the commands %s', mat2str(sent));
  printf('logged: %d frames in 2 s, each once, in order; the commands among them\n', rows(taken));
  return;
end

%% A log on a disk that fills (under a file-size limit): one line at the
%% next call, logging stops, driving goes on.
if exist('part', 'var') && strcmp(part, 'full')
  open_link(dir, 'full');
  VelocartDriver('log', fullfile(dir, 'full.csv'));
  pause(2);
  out = evalc('e = VelocartDriver(''sendVelocity'', [0.1 0]);');
  again = evalc('VelocartDriver(''sendVelocity'', [0 0]); s = VelocartDriver(''readLatest'', 1);');
  check(~isempty(regexp(out, '^VelocartDriver: the log to .*full.csv could not be written \(.+\); logging stopped, driving goes on\.\n$', 'once')), ...
        'a full disk: %s', out);
  check(numel(e) == 26 && isempty(again) && s(1) == 1 && isempty(VelocartDriver('log')), ...
        'after a full disk: %s', again);
  VelocartDriver('close');
  disp('sim_e2e: a full disk ends the log once, and driving goes on');
  return;
end

%% Drive: odometry follows the commanded motion; every frame arrives intact.
open_link(dir, 'clean');
frames = 0;
s = VelocartDriver('read');
VelocartDriver('setOdometry', [0 0 0]); frames += 1;
s = await_frame(s);
check(isequal(s(1:4), [1 0 0 0]), 'after setOdometry: %s', mat2str(s));
check(s(8) == 0, 'the robot starts in free-wheel mode, aux2 %g', s(8));

% forward m/s, turn rad/s, seconds; multiples of 1/256 survive 8.8 exactly
profile = [0.5 0 1.0; 0.25 1.0 1.2; 0.5 -0.5 1.0];
ends = cumsum(profile(:, 3));
expected = [0 0 0];
worst = [0 0];
last_v = [0 0];
clock = NaN;      % the simulator's clock when it obeyed the last command
sim_time = 0;     % simulator seconds since the first drive command
cycles = 0;
t0 = tic;
while true
  t = toc(t0);
  seg = find(t < ends, 1);
  if isempty(seg)
    break;
  end
  v = profile(seg, 1:2);
  VelocartDriver('sendVelocity', v); frames += 1;
  if cycles == 0
    t_first = toc(t0);
  end
  t_last = toc(t0);
  s = await_frame(s);
  cycles += 1;
  check(s(1) == 1, 'cycle %d: no valid status: %s', cycles, mat2str(s));
  check(isequal(s(5:6), v), 'cycle %d: velocities %s, commanded %s', cycles, ...
        mat2str(s(5:6)), mat2str(v));
  check(s(8) == 1, 'cycle %d: wheels not driven', cycles);
  % The reply's clock (aux1, modulo 8 s) says when the command took effect.
  if ~isnan(clock)
    dt = mod(s(7) - clock, 8);
    expected = unicycle(expected, last_v(1), last_v(2), dt);
    sim_time += dt;
  end
  clock = s(7); last_v = v;
  err = [norm(s(2:3) - expected(1:2)), abs(angle_diff(s(4), expected(3)))];
  worst = max(worst, err);
  check(err(1) <= 0.002 && err(2) <= 0.005, ...
        'cycle %d: pose %s, expected %s', cycles, mat2str(s(2:4), 5), mat2str(expected, 5));
  pause(0.005);
end
printf('drive: %d cycles in %.2f s, end pose [%.3f %.3f %.3f], worst error %.2g m %.2g rad\n', ...
       cycles, toc(t0), s(2), s(3), s(4), worst(1), worst(2));
check(cycles >= 60, 'only %d control cycles ran', cycles);
check(norm(s(2:3)) > 0.5, 'the robot hardly moved: %s', mat2str(s(2:4)));
% The model runs in real time: its clock kept pace with this session's.
check(abs(sim_time - (t_last - t_first)) < 0.1, 'simulator %.3f s, Octave %.3f s', ...
      sim_time, t_last - t_first);

% Free wheels: velocities drop to zero, the pose stops changing.
VelocartDriver('setFreeWheels'); frames += 1;
parked = await_frame(s);
check(parked(1) == 1 && isequal(parked(5:6), [0 0]) && parked(8) == 0, ...
      'after setFreeWheels: %s', mat2str(parked));
pause(0.2);
VelocartDriver('setFreeWheels'); frames += 1;
s = await_frame(parked);
check(isequal(s(2:4), parked(2:4)), 'the robot moved in free-wheel mode');

% Odometry is overwritten exactly (the values are singles).
VelocartDriver('setOdometry', [1 2 0.5]); frames += 1;
s = await_frame(s);
check(isequal(s(1:4), [1 1 2 0.5]), 'after setOdometry [1 2 0.5]: %s', mat2str(s));
VelocartDriver('close');

st = read_stats(dir, 'clean');
check(st.frames_good == frames && st.frames_bad == 0 && st.bytes_discarded == 0, ...
      'sent %d frames; simulator saw good %d bad %d discarded bytes %d', frames, ...
      st.frames_good, st.frames_bad, st.bytes_discarded);
check(st.bytes_received == 26 * frames, 'bytes received %d', st.bytes_received);
check(st.status_sent == frames, 'status frames sent %d', st.status_sent);
printf('drive: %d command frames sent, %d arrived intact, %d bad\n', frames, ...
       st.frames_good, st.frames_bad);

% Pacing, from the simulator's log: each reply is one 30-byte write, made no
% sooner than a 115200-baud line carries the command and the reply.
log_lines = strsplit(strtrim(fileread(fullfile(dir, 'clean.log'))), "\n");
% Its first line gives the start, which its times count from, on CLOCK_MONOTONIC.
check(~isempty(regexp(log_lines{1}, '^0\.000000 start \d+\.\d{9}$', 'once')), ...
      'the log begins with "%s", not the start', log_lines{1});
rx = []; tx = [];
for i = 1:numel(log_lines)
  fields = strsplit(log_lines{i}, ' ');
  switch fields{2}
    case 'rx'
      rx(end + 1) = str2double(fields{1});
    case 'tx'
      check(numel(fields) == 2 + 30, 'a reply went out in a write of %d bytes', numel(fields) - 2);
      tx(end + 1) = str2double(fields{1});
  end
end
check(numel(rx) == frames && numel(tx) == frames, 'log: %d rx, %d tx lines', numel(rx), numel(tx));
delay = tx - rx;
check(min(delay) >= 56 * 10 / 115200 - 1e-6, 'a reply left %.2f ms after its command', ...
      1e3 * min(delay));
printf('pacing: replies left %.2f to %.2f ms after their commands (median %.2f)\n', ...
       1e3 * min(delay), 1e3 * max(delay), 1e3 * median(delay));

%% A corrupted checksum on every 3rd reply reads as validity 0.
open_link(dir, 'crc');
valid = validity_of_replies(6);
VelocartDriver('close');
check(isequal(valid, [1 1 0 1 1 0]), 'crc: validity %s', mat2str(valid));
st = read_stats(dir, 'crc');
% Six commands, and the stop sequence close sends to a robot left driving.
check(st.faults_crc == 2 && st.frames_good == 6 + 2, 'crc: stats %s', disp(st));
printf('crc fault: validity %s\n', mat2str(valid));

%% Garbage in front of every 2nd reply reads as validity 0.
open_link(dir, 'garbage');
valid = validity_of_replies(4);
VelocartDriver('close');
check(isequal(valid, [1 0 1 0]), 'garbage: validity %s', mat2str(valid));
printf('garbage fault: validity %s\n', mat2str(valid));

%% Replies split in two writes 60 ms apart: each part read on its own is
%% invalid; read once both are in, the frame is whole again.
open_link(dir, 'split');
VelocartDriver('sendVelocity', [0.25 0]);
pause(0.2);
before = VelocartDriver('read');               % both parts in: one whole frame
first = send_and_await([0.5 0], before);       % the first part over the older tail
second = VelocartDriver('read');               % nothing new yet: same verdict
pause(0.1);
tail = VelocartDriver('read');                 % the second part at offset 0
VelocartDriver('sendVelocity', [0.75 0]);
pause(0.2);
whole = VelocartDriver('read');
check(before(1) == 1 && before(5) == 0.25, 'split: whole frame %s', mat2str(before));
check(first(1) == 0 && second(1) == 0 && tail(1) == 0, ...
      'split: validity %d %d %d for the parts', first(1), second(1), tail(1));
check(whole(1) == 1 && whole(5) == 0.75, 'split: both parts read together: %s', mat2str(whole));
printf('split fault: parts read %d %d %d, whole frame %d\n', first(1), second(1), tail(1), whole(1));
% Closed before the reply's second part is due: that part is dropped, and
% the first, if it came, is discarded unread; the next open finds nothing.
% close told the robot to stop (it was driving): the replies to those two
% frames follow on the line, 60 ms a part, and are dropped as well.
VelocartDriver('sendVelocity', [1 0]);
VelocartDriver('close');
pause(0.3);
open_link(dir, 'split');
pause(quiet_wait);
reopened = VelocartDriver('read');
VelocartDriver('close');
st = read_stats(dir, 'split');
check(isequal(reopened, whole), 'split: after reopening, read %s, not the last frame %s', ...
      mat2str(reopened), mat2str(whole));
check(st.status_dropped == 3, 'split: stats %s', disp(st));
printf('split fault: a reply left after close is dropped (%d), reopen reads nothing new\n', ...
       st.status_dropped);

%% A simulator gone silent: the last frame decodes again, still valid.
open_link(dir, 'silent');
last = VelocartDriver('read');
for k = 1:3
  last = send_and_await([k / 4 0], last);
end
check(last(1) == 1 && last(5) == 0.75, 'silent: third reply %s', mat2str(last));
for k = 1:3
  s = send_and_wait([1 1], quiet_wait);
  check(isequal(s, last), 'silent: read %d gave %s, not the last frame %s', k, ...
        mat2str(s), mat2str(last));
end
VelocartDriver('close');
st = read_stats(dir, 'silent');
check(st.frames_good == 6 + 2 && st.status_sent == 3 && st.status_withheld == 3 + 2, ...
      'silent: stats %s', disp(st));
printf('silent fault: reads repeat the last frame with validity %d\n', s(1));

%% Silent after a corrupted frame: the old frame stays invalid.
open_link(dir, 'silentbad');
valid = zeros(1, 5);
s = VelocartDriver('read');
for k = 1:3
  s = send_and_await([k / 4 0], s);
  valid(k) = s(1);
end
for k = 4:5
  s = send_and_wait([k / 4 0], quiet_wait);
  valid(k) = s(1);
end
VelocartDriver('close');
check(isequal(valid, [1 1 0 0 0]), 'silent after a bad frame: validity %s', mat2str(valid));
printf('silent after a bad frame: validity %s\n', mat2str(valid));

%% A simulator that hangs up: reads keep the old frame; writes fail quietly.
open_link(dir, 'hangup');
last = VelocartDriver('read');
for k = 1:3
  last = send_and_await([k / 4 0.5], last);
end
check(last(1) == 1, 'hangup: third reply invalid');
after = send_and_wait([1 0], quiet_wait);   % the simulator hangs up here
check(isequal(after, last), 'hangup: read gave %s, not %s', mat2str(after), mat2str(last));
% The line is down: the driver says so once, and still returns the echo.
said = evalc('echo = VelocartDriver(''sendVelocity'', [0.5 0]);');
check(~isempty(strfind(said, 'could not be written')), 'hangup: the write did not fail: "%s"', said);
check(isa(echo, 'uint8') && numel(echo) == 26, 'hangup: echo %s', class(echo));
again = VelocartDriver('read');
check(isequal(again, last), 'hangup: later read gave %s', mat2str(again));
VelocartDriver('close');
status = VelocartDriver('open', fullfile(dir, 'hangup.link'));
check(status == -1, 'hangup: the link should be gone, open gave %d', status);
st = read_stats(dir, 'hangup');
check(st.hung_up == 1 && st.status_sent == 3, 'hangup: stats %s', disp(st));
printf('hang-up: reads repeat the last frame with validity %d; reopen gives %d\n', again(1), status);

%% Streaming at 100 Hz: frames arrive without being asked for.
open_link(dir, 'stream');
pause(0.1);
a = VelocartDriver('read');
VelocartDriver('sendVelocity', [0.5 0]);
pause(0.05);
VelocartDriver('read');                      % frames from around the command
pause(0.05);
b = VelocartDriver('read');
VelocartDriver('close');
check(a(1) == 1 && a(5) == 0 && a(8) == 0, 'stream: first frame %s', mat2str(a));
check(b(1) == 1 && b(5) == 0.5 && b(8) == 1, 'stream: frame after driving %s', mat2str(b));
check(b(7) > a(7) || b(7) < 1, 'stream: the clock did not advance (%g, %g)', a(7), b(7));
printf('stream: frames valid, clock %.3f s then %.3f s\n', a(7), b(7));

%% On the wire, in 1 ms chunks, garbage in front of every 3rd reply: a reply
%% read once it has had time to cross is whole, and the faults still apply.
open_link(dir, 'wire');
valid = zeros(1, 6);
for k = 1:6
  VelocartDriver('sendVelocity', [k / 8 0]);
  pause(0.03);
  s = VelocartDriver('read');
  valid(k) = s(1);
end
VelocartDriver('close');
check(isequal(valid, [1 1 0 1 1 0]), 'wire: validity %s', mat2str(valid));
% From the log: each reply goes out in pieces, and no piece goes before its
% last byte could have crossed, counted from when the command was taken.
byte_time = 10 / 115200;
rx = NaN; sent = 0; pieces = 0; replies = 0;
log_lines = strsplit(strtrim(fileread(fullfile(dir, 'wire.log'))), "\n");
for i = 1:numel(log_lines)
  fields = strsplit(log_lines{i}, ' ');
  switch fields{2}
    case 'rx'
      check(isnan(rx) || any(sent == [30 37]), 'wire: a reply of %d bytes', sent);
      rx = str2double(fields{1}); sent = 0; replies += 1;
    case 'tx'
      sent += numel(fields) - 2; pieces += 1;
      early = rx + sent * byte_time - str2double(fields{1});
      check(early <= 1e-6, 'wire: byte %d of a reply went %.3f ms early', sent, 1e3 * early);
  end
end
check(replies == 6 && pieces > replies, 'wire: %d replies in %d writes', replies, pieces);
printf('wire: validity %s, %d replies in %d writes, none early\n', mat2str(valid), replies, pieces);
% Two commands written back to back queue on the line: the second is taken
% no sooner than its own 26 bytes after the first.
open_link(dir, 'wire');
VelocartDriver('sendVelocity', [0.5 0]);
VelocartDriver('sendVelocity', [0.25 0]);
pause(0.03);
VelocartDriver('close');
pause(0.1);
log_lines = strsplit(strtrim(fileread(fullfile(dir, 'wire.log'))), "\n");
rx = [];
for i = 1:numel(log_lines)
  fields = strsplit(log_lines{i}, ' ');
  if strcmp(fields{2}, 'rx')
    rx(end + 1) = str2double(fields{1});
  end
end
% Six commands and the two of the stop each close sent a driving robot,
% around these two.
check(numel(rx) == 12, 'wire: %d commands taken, not 12', numel(rx));
gap = rx(10) - rx(9);
check(gap >= 26 * byte_time - 1e-6, 'wire: back-to-back commands taken %.3f ms apart', 1e3 * gap);
printf('wire: back-to-back commands taken %.2f ms apart\n', 1e3 * gap);

%% readLatest on the paced wire: a 100 Hz stream in 1 ms chunks, every 4th
%% checksum broken and garbage in front of every 3rd frame. Each call,
%% 12 ms after the last, gets a newer good frame (waiting for one when the
%% newest was broken), and no broken frame is ever taken.
open_link(dir, 'paced');
clocks = zeros(1, 0);
for k = 1:80
  s = VelocartDriver('readLatest', 0.05);
  if s(1) == 1
    clocks(end + 1) = s(7);
  end
  pause(0.012);
end
VelocartDriver('close');
% The clocks of the frames sent with a broken checksum, from the log.
[~, broken] = sim_log_frames(fileread(fullfile(dir, 'paced.log')));
broken = broken(:, 2);
steps = mod(diff(clocks), 8);
check(numel(clocks) == 80, 'paced: %d of 80 calls got a good frame', numel(clocks));
check(all(steps > 0 & steps < 0.05), 'paced: a frame older or repeated: %s', mat2str(steps));
check(numel(broken) >= 10 && ~any(ismember(round(clocks * 4096), round(broken * 4096))), ...
      'paced: a broken frame was taken (%d broken sent)', numel(broken));
printf('paced: 80 calls, 80 newer good frames, none of %d broken ones taken\n', numel(broken));

disp('sim_e2e: all scenarios passed');
