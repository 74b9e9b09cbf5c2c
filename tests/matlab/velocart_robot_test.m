% VelocartRobot against simulated robots (run_robot_test.sh starts them).
dir = getenv('VELOCART_ROBOT_DIR');
main = fullfile(dir, 'main');
second = fullfile(dir, 'second');
silent = fullfile(dir, 'silent');
third = fullfile(dir, 'third');
wrap = @(a) mod(a + pi, 2 * pi) - pi;

%% A recorded travel holds every frame of a streaming robot, in order, on the clock of the statuses
% run_robot_test.sh runs this case alone (part = 'recording') while the robot streams for it.
if exist('part', 'var') && strcmp(part, 'recording')
  % Once read by the object's calls, once by the module's thread with a log file.
  file = fullfile(dir, 'recorded.csv');
  for background = [false true]
    r = VelocartRobot(fullfile(dir, 'streaming'), 'Background', background);
    if background
      startRecording(r, file);
    else
      startRecording(r);
    end
    s = travel(r, 0.1, 0.25);
    L = stopRecording(r);
    clear r
    assert(max(diff(L.time)) <= 0.01 && all(diff(L.time) > 0), '%d samples, gaps up to %.1f ms', ...
           numel(L.time), 1000 * max(diff(L.time)));
    assert(any(L.time == s.time), 'the travel''s final status is in the recording');
    printf('velocart_robot_test: a recorded travel: %d samples, at most %.1f ms apart\n', ...
           numel(L.time), 1000 * max(diff(L.time)));
  end
  logged = csvread(file, 1, 0);
  assert(all(ismember(round(1e6 * L.time), round(1e6 * logged(logged(:, 2) == 0, 1)))) && ...
         any(logged(:, 2) == 1 & logged(:, 7) == 0.25), 'the file holds the recording and the commands');
  return;
end

% Frames a simulator received, as rows of bytes.
function frames = received(log_file)
  text = fileread(log_file);
  lines = regexp(text, '[0-9.]+ rx ([0-9A-F ]+)', 'tokens');
  frames = zeros(numel(lines), 26);
  for k = 1:numel(lines)
    frames(k, :) = hex2dec(strsplit(strtrim(lines{k}{1}), ' '))';
  end
end

% The module has no link open.
function assert_port_free(why)
  assert(isempty(VelocartDriver('links')), '%s: the module still holds a link', why);
end

%% Closed-loop moves end where they should, across the jump at +-pi too
r = VelocartRobot(main);
moves = {
  % start pose      move                            what it must reach
  {[0 0 0.3],       @(r) travel(r, 0.5, 0.2),   0.5}
  {[1 2 -2],        @(r) travel(r, -0.3, 0.2), -0.3}
  {[0 0 0],         @(r) travel(r, int32(1), int32(1)), 1}
  {[0 0 2.9],       @(r) turn(r, pi / 2, 1),    2.9 + pi / 2}
  {[],              @(r) turn(r, -3 * pi / 4, 1), 2.9 + pi / 2 - 3 * pi / 4}
  {[0 0 0],         @(r) turn(r, int32(2), int32(1)), 2}
};
for k = 1:numel(moves)
  [pose, move, goal] = moves{k}{:};
  if ~isempty(pose)
    setPose(r, pose(1), pose(2), pose(3));
    start = pose;
  end
  s = move(r);
  assert(s.valid && s.v == 0 && s.w == 0, 'move %d ends stopped', k);
  if strncmp(func2str(move), '@(r) travel', 11)
    along = [cos(start(3)) sin(start(3))] * [s.x - start(1); s.y - start(2)];
    assert(abs(along - goal) < 0.005, 'travel %d ends %.4f m from its goal', k, along - goal);
    assert(abs(wrap(s.heading - start(3))) < 0.5 * pi / 180, 'travel %d keeps its heading', k);
  else
    assert(abs(wrap(s.heading - goal)) < 0.01, 'turn %d ends %.4f rad off', k, ...
           wrap(s.heading - goal));
  end
  printf('move %d ends at x %.4f, y %.4f, heading %.4f\n', k, s.x, s.y, s.heading);
end
assert(isequal(status(r), s), 'status after a move gives its final reply');

%% drive(r, v, w, seconds) keeps the robot going that long, past the watchdog's 0.4 s, then stops it
setPose(r, 0, 0, 0);
before = rows(received(fullfile(dir, 'main.log')));
s = drive(r, 0.2, 0, 1);
got = received(fullfile(dir, 'main.log'))(before + 1:end, :);
assert(abs(s.x - 0.2) < 0.01 && s.v == 0, 'drive for 1 s at 0.2 m/s ends stopped at x %.4f', s.x);
assert(all(got(1:end - 1, 11) == 51) && all(got(:, 7) == 3) && all(got(end, 9:12) == 0), ...
       'drive for 1 s: the robot got %s', mat2str(got(:, [7 9:12])));

%% Clearing a driving robot frees its wheels and the port
s = drive(r, int8(1), 0.5);
assert(s.v == 1 && s.w == 0.5, 'drive with integer classes: %s', mat2str([s.v s.w]));
clear r
codes = received(fullfile(dir, 'main.log'))(:, 7);
assert(codes(end) == 0, 'the last frame the robot got is a free-wheel frame (code %d)', codes(end));
assert_port_free('after clear');

%% An error in a function that holds a robot leaves the port free
function hold_and_fail(port)
  r = VelocartRobot(port);
  drive(r, 0.1, 0);
  error('test:planned', 'a planned failure');
end
try
  hold_and_fail(main);
  error('hold_and_fail must fail');
catch failure
  assert(strcmp(failure.identifier, 'test:planned'), 'the planned error: %s', failure.message);
end
assert_port_free('after an error');

%% Two robots drive a square each, a side of one, then a side of the other: through two copies
% of the module, and through two links of one, each object on the lowest free link
pairs = {{main, @VelocartDriver, second, @RobotB}, {second, @VelocartDriver, third, @VelocartDriver}};
starts = [0 0 0; 1 1 -1];
for p = 1:2
  [port_a, driver_a, port_b, driver_b] = pairs{p}{:};
  robots = {VelocartRobot(port_a, 'Driver', driver_a), VelocartRobot(port_b, 'Driver', driver_b)};
  assert(p == 1 || isequal(cellfun(@(r) r.Link, robots), [1 2]), 'each takes the lowest free link');
  for k = 1:2
    setPose(robots{k}, starts(k, 1), starts(k, 2), starts(k, 3));
  end
  for side = 1:8
    k = 2 - mod(side, 2);
    travel(robots{k}, 0.1, 0.25);
    turn(robots{k}, pi / 2, 2);
  end
  for k = 1:2
    s = status(robots{k});
    assert(norm([s.x s.y] - starts(k, 1:2)) < 0.005 && abs(wrap(s.heading - starts(k, 3))) < 0.01, ...
           'pair %d, robot %d ends at %s', p, k, mat2str([s.x s.y s.heading], 4));
  end
  clear robots
end

%% A new object on the port an earlier one holds takes its link over
a = VelocartRobot(main);
b = VelocartRobot(main);
assert(b.Link == a.Link, 'the port''s link %d, not %d', a.Link, b.Link);
clear a
assert(drive(b, 0.1, 0).valid, 'the earlier object left the link alone');
failure = [];
try
  VelocartRobot(second, 'Link', b.Link);
catch failure
end
assert(strcmp(failure.identifier, 'VelocartRobot:openFailed') && ...
       ~isempty(strfind(failure.message, '(clear r)')), 'a held link: %s', failure.message);
clear b

%% The Watchdog option reaches the module on the link the Link option picks, until the object goes
r = VelocartRobot(second, 'Link', 5, 'Watchdog', 0.5);
assert(VelocartDriver('linkOf', second) == 5 && VelocartDriver(5, 'watchdog') == 0.5, 'watchdog');
clear r
assert(VelocartDriver(5, 'watchdog') == 0, 'the object turns its watchdog off as it goes');

%% Refusals and a robot that falls silent
refusals = {
  'VelocartRobot:openFailed',  @() VelocartRobot(fullfile(dir, 'no-such-port'))
  'VelocartRobot:badArgument', @() VelocartRobot({main})
  'VelocartRobot:badArgument', @() VelocartRobot(main, 'Timeout', 0)
  'VelocartRobot:badArgument', @() VelocartRobot(main, 'Speed', 1)
  'VelocartRobot:badArgument', @() VelocartRobot(main, 'Link', 33)
  'VelocartRobot:badArgument', @() VelocartRobot(main, 'Watchdog', 0.01)
};
for k = 1:rows(refusals)
  try
    refusals{k, 2}();
    error('refusal %d raised nothing', k);
  catch failure
    assert(strcmp(failure.identifier, refusals{k, 1}), 'refusal %d: %s', k, failure.message);
  end
end
% Without a port the robot is looked for: the simulators are on ptys, no
% port of this machine's. An identity reaches the module's open as given.
looks = {{'VelocartRobot:noRobot', {}, 'VelocartRobot: no robot answered on any port'}, ...
         {'VelocartRobot:openFailed', {'usb:0403:6001:FTNONE'}, ...
          'no port answers to usb:0403:6001:FTNONE'}};
for k = 1:numel(looks)
  [identifier, args, text] = looks{k}{:};
  try
    VelocartRobot(args{:});
    error('%s: nothing raised', identifier);
  catch failure
    assert(strcmp(failure.identifier, identifier) && ~isempty(strfind(failure.message, text)), ...
           '%s', failure.message);
  end
end
r = VelocartRobot(silent);
try
  travel(r, 1, 0.2);
  error('travel with a silent robot must fail');
catch failure
  assert(strcmp(failure.identifier, 'VelocartRobot:noStatus') && ...
         strncmp(failure.message, 'VelocartRobot: travel:', 22), 'silent: %s', failure.message);
end
pause(0.1);                                  % the robot logs what it reads
last = received(fullfile(dir, 'silent.log'))(end, :);
assert(last(7) == 3 && all(last(9:12) == 0), 'the silent robot was told to stop');
for bad = {@() drive(r, 'a', 0), @() travel(r, 1, -1), @() turn(r, NaN, 1), @() setPose(r, 1, 2), ...
           @() travel(r, 1, 0.005), @() turn(r, 1, 0.01)}
  try
    bad{1}();
    error('a bad argument was taken');
  catch failure
    assert(strcmp(failure.identifier, 'VelocartRobot:badArgument') && ...
           strncmp(failure.message, 'VelocartRobot: ', 15), '%s', failure.message);
  end
end
clear r bad                                  % bad holds r too

%% A move that runs out of time stops the robot and says how far it got
function varargout = slipping(varargin)   % wheels that make a tenth of the speed
  at = find(strcmp(varargin, 'sendVelocity'));
  if ~isempty(at)
    varargin{at + 1} = varargin{at + 1} / 10;
  end
  [varargout{1:nargout}] = VelocartDriver(varargin{:});
end
r = VelocartRobot(main, 'Driver', @slipping);
setPose(r, 0, 0, 0);
try
  travel(r, 0.02, 0.2);
  error('travel on slipping wheels must run out of time');
catch failure
  assert(strcmp(failure.identifier, 'VelocartRobot:notReached') && ...
         ~isempty(strfind(failure.message, sprintf(' %.3f m of 0.02 m', status(r).x))), ...
         'out of time: %s', failure.message);
end
last = received(fullfile(dir, 'main.log'))(end, :);
assert(last(7) == 3 && all(last(9:12) == 0), 'the slipping robot was told to stop');
clear r

%% The help lists every method, each has its own with an example, and methods() shows no helper
text = evalc('help VelocartRobot');
public = {'drive', 'status', 'setPose', 'stop', 'freeWheels', 'travel', 'turn', 'startRecording', ...
          'stopRecording', 'delete'};
for name = public
  assert(~isempty(regexp(text, ['\<' name{1} '\(r'], 'once')), 'help shows %s', name{1});
  if ~strcmp(name{1}, 'delete')   % Octave 7 gives the help of the function delete instead
    own = evalc(['help VelocartRobot.' name{1}]);
    assert(~isempty(strfind(own, 'Example:')), 'help VelocartRobot.%s: %s', name{1}, own);
  end
end
listed = setdiff(methods('VelocartRobot'), [{'VelocartRobot'} public]);
assert(isempty(listed), 'methods() lists %s', strjoin(listed, ', '));
printf('velocart_robot_test: all checks passed\n');
