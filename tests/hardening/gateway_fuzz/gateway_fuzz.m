function ok = gateway_fuzz(calls, seed, peer_program, work_dir)
  % Random calls into VelocartDriver through the real host: the commands
  % and near misses of them, with arguments of every class and shape, with
  % the port open on a pty peer and closed. A model of the driver predicts
  % each result (class, size and, for frames, every byte); the peer records
  % every byte it receives and must have received exactly the frames that
  % were echoed while the port was open, each well formed. The only errors
  % allowed are the host's own when a call asks for more results than the
  % command assigns.
  %
  % Opens only the test's pty, paths under WORK_DIR that do not exist, and
  % port numbers whose /dev/ttyS<N-1> does not exist.
  rand('twister', seed);
  randn('state', seed);
  fz = setup(work_dir, peer_program);
  cleanup = onCleanup(@() stop_peer(fz.peer));

  t0 = tic;
  for call = 1:calls
    if rand < 0.04
      fz = peer_talks(fz);
    end
    [args, nout, what] = random_call(fz);
    fz = run_call(fz, call, args, nout, what);
    if numel(fz.failures) >= 20
      break;
    end
  end
  fz = final_checks(fz);
  elapsed = toc(t0);

  fprintf('gateway fuzz: seed %d, %d calls in %.1f s (%s)\n', seed, fz.calls, elapsed, ...
          summary(fz.counts));
  fprintf('gateway fuzz: %d frames echoed while the port was open; ', ...
          numel(fz.expected_stream) / 26);
  fprintf('%d reads decoded a frame; %d host errors for results a command does not assign\n', ...
          fz.valid_reads, fz.host_errors);
  if isempty(fz.failures)
    ok = true;
    fprintf(['gateway fuzz: PASS: every result as documented, and the peer received ' ...
             'exactly the echoed frames, each well formed\n']);
  else
    ok = false;
    fprintf('gateway fuzz: FAIL, %d problems:\n', numel(fz.failures));
    fprintf('gateway fuzz:   %s\n', fz.failures{:});
  end
end

% ---------------------------------------------------------------------------
% Setup: the peer, the safe names, the model.

function fz = setup(work_dir, peer_program)
  fz.work = work_dir;
  fz.link = fullfile(work_dir, 'robot');
  fz.record = fullfile(work_dir, 'robot.bin');
  fz.peer = popen(sprintf('%s --link %s --record %s', peer_program, fz.link, fz.record), 'w');
  for i = 1:250
    if exist(fz.link, 'file')
      break;
    end
    pause(0.02);
  end
  [target, err] = readlink(fz.link);
  if err ~= 0
    error('gateway_fuzz: the pty peer did not come up at %s', fz.link);
  end
  fz.pts = target;

  regular = fullfile(work_dir, 'not-a-terminal');
  fid = fopen(regular, 'w');
  fprintf(fid, 'x');
  fclose(fid);
  % Names "open" may be given. Only the first two reach a device (the
  % test's pty); the rest cannot be opened.
  fz.pty_names = {fz.link, fz.pts};
  fz.other_names = {fullfile(work_dir, 'no-such-port'), fullfile(work_dir, 'a', 'b', 'c'), ...
                    work_dir, regular, '', 'no-such-relative-port', repmat('/x', 1, 3000), ...
                    [fullfile(work_dir, 'no-such-port') char(0) '/dev/ttyS0'], ...
                    'COM3', '\\.\COM3'};
  % Port numbers whose device does not exist here, and numbers out of range.
  fz.safe_ports = [];
  for n = [2:12 99 100 1000 4096 9998 9999]
    if ~exist(sprintf('/dev/ttyS%d', n - 1), 'file')
      fz.safe_ports(end + 1) = n;
    end
  end

  fz.is_open = false;
  fz.moving = false;                       % last told, while open, to move
  fz.frame = zeros(1, 26, 'uint8');        % the driver's CommandFrame, as the model sees it
  fz.expected_stream = zeros(1, 0, 'uint8');
  fz.sent_vectors = zeros(0, 8);           % decodings of the valid frames the peer sent
  fz.valid_reads = 0;
  fz.host_errors = 0;
  fz.failures = {};
  fz.calls = 0;
  fz.counts = struct();
  fz.crc_table = crc_table();
end

function stop_peer(peer)
  try
    fprintf(peer, 'quit\n');
    fflush(peer);
    pclose(peer);
  catch
  end
end

% ---------------------------------------------------------------------------
% The far end: now and then it sends a status frame, a broken one or garbage.

function fz = peer_talks(fz)
  r = rand;
  frame = random_status_frame(fz);
  if r < 0.6
    bytes = frame;
    fz.sent_vectors(end + 1, :) = decode_reference(frame);
  elseif r < 0.8
    bytes = frame;
    bytes(29) = bitxor(bytes(29), uint8(2 ^ randi([0 7])));  % a wrong checksum
  else
    bytes = uint8(randi([0 255], 1, randi([1 40])));
    if bytes(1) == 170
      bytes(1) = 0;                           % garbage never starts like a frame
    end
  end
  fprintf(fz.peer, 'send %s\n', sprintf('%02X', bytes));
  fflush(fz.peer);
end

function frame = random_status_frame(fz)
  frame = zeros(1, 30, 'uint8');
  frame(1:8) = uint8([170 26 0 randi([0 255], 1, 5)]);
  frame(9:12) = typecast(int16(randi([-32768 32767], 1, 2)), 'uint8');
  frame(13:24) = typecast(single(randn(1, 3) .* 10 .^ randi([-3 6], 1, 3)), 'uint8');
  frame(25:28) = typecast(int16(randi([-32768 32767], 1, 2)), 'uint8');
  crc = crc16(fz.crc_table, frame(2:28));
  frame(29:30) = uint8([floor(crc / 256) mod(crc, 256)]);
end

function v = decode_reference(f)
  v = [1, double(typecast(f(13:16), 'single')), double(typecast(f(17:20), 'single')), ...
       double(typecast(f(21:24), 'single')), double(typecast(f(11:12), 'int16')) / 256, ...
       double(typecast(f(9:10), 'int16')) / 256, double(typecast(f(27:28), 'int16')) / 4096, ...
       double(typecast(f(25:26), 'int16')) / 4096];
end

% ---------------------------------------------------------------------------
% One random call: the arguments, how many results are asked for, and a
% label for the tally.

function [args, nout, what] = random_call(fz)
  r = rand;
  if r < 0.30
    what = 'sendVelocity';
    args = {'sendVelocity', numbers_or_junk(2)};
  elseif r < 0.40
    what = 'setOdometry';
    args = {'setOdometry', numbers_or_junk(3)};
  elseif r < 0.45
    what = 'setFreeWheels';
    args = {'setFreeWheels'};
  elseif r < 0.58
    what = 'read';
    args = {'read'};
  elseif r < 0.63
    what = 'readLatest';
    args = {'readLatest'};
    if rand < 0.7
      args{2} = numbers_or_junk(1);
    end
  elseif r < 0.71
    what = 'open';
    args = {'open', open_argument(fz)};
  elseif r < 0.73
    what = 'close';
    args = {'close'};
  elseif r < 0.85
    what = 'near miss';
    args = {near_miss_name()};
  elseif r < 0.93
    what = 'not text';
    args = {junk_value(0)};
  else
    what = 'no arguments';
    args = {};
  end
  % The second argument of commands that ignore it, and extra arguments.
  if numel(args) == 1 && rand < 0.3
    args{2} = junk_value(0);
  end
  while numel(args) >= 1 && numel(args) < 4 && rand < 0.1
    args{end + 1} = junk_value(0);
  end
  if strcmp(what, 'open') || is_open_command(args)
    args = make_open_safe(fz, args);
  end
  args = make_wait_short(args);
  r = rand;
  nout = (r >= 0.2) + (r >= 0.93);       % mostly 1, some 0, a few 2
end

function v = numbers_or_junk(needed)
  if rand < 0.55
    n = needed + (rand < 0.2) * randi(3);
    v = edge_numbers(n);
    switch randi(6)
      case 1, v = single(v);
      case 2, v = v.';
      case 3, v = int_cast(v);
      otherwise
    end
  else
    v = junk_value(0);
  end
end

function v = edge_numbers(n)
  pool = [0, -0, 1, -1, 0.5, -0.5, 30, -30, 30.0001, -30.0001, 29.999, 1/256, -1/256, ...
          -0.5/256, 0.0039062499, 0.0039062501, 1e308, -1e308, realmax, realmin, eps, ...
          NaN, NA, Inf, -Inf, 1e-310, 2^24 + 1, 7680, 1e6, pi];
  v = zeros(1, n);
  for k = 1:n
    if rand < 0.6
      v(k) = pool(randi(numel(pool)));
    else
      v(k) = randn * 10 ^ randi([-4 3]);
    end
  end
end

function v = int_cast(v)
  types = {'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'};
  v = cast(v, types{randi(numel(types))});
end

% Anything at all, of every class and shape, nested up to a few levels.
function v = junk_value(depth)
  switch randi(24)
    case 1, v = [];
    case 2, v = zeros(randi([0 2]), 0);
    case 3, v = edge_numbers(randi(6));
    case 4, v = reshape(edge_numbers(8), 2, 2, 2);
    case 5, v = single(edge_numbers(randi(4)));
    case 6, v = int_cast(edge_numbers(randi(4)));
    case 7
      t = {'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'};
      t = t{randi(numel(t))};
      v = [intmin(t) intmax(t)];
    case 8, v = rand(1, randi(5)) > 0.5;
    case 9, v = char(randi([0 255], 1, randi([0 12])));
    case 10, v = complex(edge_numbers(randi(3)), edge_numbers(1));
    case 11, v = complex(single(1), single(0));
    case 12, v = sparse(edge_numbers(randi(4)));
    case 13, v = sparse(rand(1, 3) > 0.5);
    case 14, v = sparse(complex([1 2], [0 1]));
    case 15
      if depth < 3
        v = {junk_value(depth + 1), {junk_value(depth + 1)}};
      else
        v = {};
      end
    case 16
      if depth < 3
        v = struct('a', {junk_value(depth + 1)}, 'b', 2);
      else
        v = struct();
      end
    case 17, v = struct('a', {1, 2, 3});
    case 18, v = @sin;
    case 19, v = @(x) x + 1;
    case 20, v = 1:randi([1 1e5]);
    case 21
      if rand < 0.1
        v = ones(1000, 1000);           % large: 8 MB through the host
      else
        v = rand(40, 40) * 1e6;
      end
    case 22, v = true;
    case 23, v = containers.Map();
    otherwise, v = {};
  end
end

function name = near_miss_name()
  names = {'Open', 'OPEN', 'opened', 'ope', 'open ', ' open', 'sendvelocity', ...
           'SendVelocity', 'sendVelocity2', 'setodometry', 'setOdometry ', 'setFreeWheel', ...
           'setFreeWheelsX', 'reads', 'Read', 'READ', 'closed', 'clos', '', 'close\n', ...
           ['read' char(0)], ['read' char(0) 'x'], ['close' char(0) 'y'], 'read''', ...
           ['ra'; 'ed'], 'banner', repmat('read', 1, 500), char([114 101 97 100 200]), ...
           'version', 'Version'};
  if rand < 0.2
    name = char(randi([1 255], 1, randi([1 15])));
  else
    name = names{randi(numel(names))};
  end
end

function v = open_argument(fz)
  r = rand;
  if r < 0.35
    v = fz.pty_names{randi(2)};
  elseif r < 0.45
    v = [fz.link char(0) 'tail'];         % a NUL inside: refused, never the pty
  elseif r < 0.65
    v = fz.other_names{randi(numel(fz.other_names))};
  elseif r < 0.8
    v = fz.safe_ports(randi(numel(fz.safe_ports))) + rand * 0.99;
  else
    v = junk_value(0);
  end
end

function yes = is_open_command(args)
  yes = numel(args) >= 1 && ischar(args{1}) && strcmp(host_text(args{1}), 'open');
end

% "open" must never reach a real device of this machine: a name is taken
% from the safe lists, and a number that would name an existing
% /dev/ttyS<N-1> is replaced.
function args = make_open_safe(fz, args)
  if numel(args) < 2
    return;
  end
  a = args{2};
  if ischar(a) && any(a(:) == 0)
    return;                              % refused before any device is tried
  elseif ischar(a)
    name = host_text(a);
    if ~any(strcmp(name, [fz.pty_names, cellfun(@host_text, fz.other_names, ...
                                                'UniformOutput', false)]))
      args{2} = fz.other_names{1};
    end
  elseif is_real_numeric(a) && numel(a) >= 1
    d = double(a(1));
    if isfinite(d) && fix(d) >= 1 && fix(d) <= 9999 && ...
       exist(sprintf('/dev/ttyS%d', fix(d) - 1), 'file')
      args{2} = fz.safe_ports(1);
    end
  end
end

% ---------------------------------------------------------------------------
% The model: what each call must give.

% The command text as the module judges it: the characters in column order.
% Text holding a NUL matches no command and names no device.
function s = host_text(x)
  s = x(:)';
end

% A timeout readLatest would wait is cut to 5 ms, so that the sweep stays
% fast; the refused ones stay as they are.
function args = make_wait_short(args)
  if ~(numel(args) >= 2 && ischar(args{1}) && strcmp(host_text(args{1}), 'readLatest'))
    return;
  end
  if timeout_accepted(args{2}) && double(args{2}(1)) > 0.01
    args{2} = 0.005;
  end
end

function yes = timeout_accepted(a)
  yes = is_real_numeric(a) && numel(a) >= 1 && double(a(1)) >= 0 && double(a(1)) <= 60;
end

function yes = is_real_numeric(a)
  yes = (isnumeric(a) || islogical(a)) && isreal(a) && ~issparse(a);
end

function fz = run_call(fz, call, args, nout, what)
  before = numel(fz.failures);
  was_open = fz.is_open;
  fz = judge_call(fz, call, args, nout, what);
  for k = before + 1:numel(fz.failures)
    fz.failures{k} = sprintf('%s; arguments %s, %d outputs, port %s', fz.failures{k}, ...
                             describe_args(args), nout, ifelse_text(was_open, 'open', 'closed'));
  end
end

function t = ifelse_text(condition, yes, no)
  if condition
    t = yes;
  else
    t = no;
  end
end

function fz = judge_call(fz, call, args, nout, what)
  fz.calls = call;
  if isfield(fz.counts, strrep(what, ' ', '_'))
    fz.counts.(strrep(what, ' ', '_')) += 1;
  else
    fz.counts.(strrep(what, ' ', '_')) = 1;
  end

  command = '';
  % Anything else first, then text: a link number and a command name.
  numbered = numel(args) >= 2 && ~ischar(args{1}) && ischar(args{2});
  is_text = (numel(args) >= 1 && ischar(args{1})) || numbered;
  if is_text
    command = host_text(args{1 + numbered});
  end
  known = {'open', 'close', 'sendVelocity', 'setOdometry', 'setFreeWheels', 'read', ...
           'readLatest', 'readAll', 'watchdog', 'links', 'linkOf', 'background', 'log', 'version'};
  on_link = numbered && any(strcmp(command, known));  % outside this model
  if ~any(strcmp(command, known))
    if is_text
      command = 'unknown';     % text that names no command is pointed out
    else
      command = 'banner';
    end
  end

  [results, err] = call_driver(args, nout);
  if on_link
    return;
  end
  label = sprintf('call %d', call);
  assigned = ~strcmp(command, 'close') && ~(strcmp(command, 'banner') && nout ~= 1) && ...
             ~(strcmp(command, 'unknown') && nout < 1);
  % The host's own complaint when more results are asked for than assigned.
  % readLatest and readAll give the stamps as a second result, open the reason.
  expect_error = (nout == 2 && ~any(strcmp(command, {'readLatest', 'readAll', 'open'}))) || ...
                 (nout == 1 && ~assigned);
  if expect_error
    if isempty(err)
      fz.failures{end + 1} = sprintf('%s, %d outputs: the host raised no error', label, nout);
    elseif isempty(regexp(err, '^(value on right hand side of assignment is undefined|element number [12] undefined in return list)', 'once'))
      fz.failures{end + 1} = sprintf('%s, %d outputs: unexpected error "%s"', label, nout, err);
    else
      fz.host_errors += 1;
    end
  elseif ~isempty(err)
    fz.failures{end + 1} = sprintf('%s: error "%s"', label, err);
    return;
  elseif nout == 0 && ~assigned && ~isempty(results)
    fz.failures{end + 1} = sprintf('%s: assigned a result, none expected', label);
  end
  result = [];
  have = ~expect_error && assigned;
  if have
    if isempty(results)
      fz.failures{end + 1} = sprintf('%s: no result', label);
      return;
    end
    result = results{1};
  end

  % The model runs whether or not the host complained afterwards: the
  % command itself was carried out.
  switch command
    case 'banner'
      if have && ~(isa(result, 'double') && isequal(size(result), [1 1]) && result == 0)
        fz.failures{end + 1} = sprintf('%s: banner result is not a 1x1 double 0', label);
      end
    case 'version'
      if have && ~(ischar(result) && rows(result) == 1 && ~isempty(result))
        fz.failures{end + 1} = sprintf('%s: version is not a char row', label);
      end
    case 'unknown'
      if have && ~(isa(result, 'double') && isequal(size(result), [1 1]) && result == -1)
        fz.failures{end + 1} = sprintf('%s: unknown command result is not a 1x1 double -1', ...
                                       label);
      end
    case 'close'
      fz = stop_sequence(fz);
      fz.is_open = false;
    case 'open'
      expected = open_expectation(fz, args);
      if expected == 0
        fz.moving = fz.moving && fz.is_open;  % a new connection starts at rest
        fz.is_open = true;
      end
      if have && ~(isa(result, 'int8') && isequal(size(result), [1 1]) && result == expected)
        fz.failures{end + 1} = sprintf('%s: open gave %s, expected int8 %d', label, ...
                                       describe(result), expected);
      elseif have && nout == 2 && ~(isstruct(results{2}) && ...
                                    isempty(results{2}.identifier) == (expected == 0))
        fz.failures{end + 1} = sprintf('%s: open gave the reason %s', label, describe(results{2}));
      end
    case {'sendVelocity', 'setOdometry', 'setFreeWheels'}
      [fz, expected] = frame_expectation(fz, command, args);
      if have && ~(isa(result, 'uint8') && isequal(result, expected) && ...
                   isequal(size(result), size(expected)))
        fz.failures{end + 1} = sprintf('%s: echo %s, expected %s', label, describe(result), ...
                                       describe(expected));
      end
    case 'read'
      if have
        fz = check_read(fz, label, result);
      end
    case 'readLatest'
      if have
        refused = numel(args) >= 2 && ~timeout_accepted(args{2});
        fz = check_read_latest(fz, label, result, refused);
      end
  end
end

% A fresh frame is one the peer sent; otherwise element 1 is 0 and the rest
% is zero or repeats a frame the peer sent.
function fz = check_read_latest(fz, label, s, refused)
  if ~(isa(s, 'double') && isequal(size(s), [1 8]))
    fz.failures{end + 1} = sprintf('%s: readLatest gave %s', label, describe(s));
  elseif ~(s(1) == 0 || (s(1) == 1 && ~refused))
    fz.failures{end + 1} = sprintf('%s: readLatest validity %g', label, s(1));
  elseif any(s(2:8) ~= 0) && (isempty(fz.sent_vectors) || ...
                              ~any(all(fz.sent_vectors(:, 2:8) == s(2:8), 2)))
    fz.failures{end + 1} = sprintf('%s: readLatest decoded a frame the peer never sent: %s', ...
                                   label, mat2str(s));
  elseif s(1) == 1
    fz.valid_reads += 1;
  end
end

function [results, err] = call_driver(args, nout)
  results = {};
  err = '';
  try
    switch nout
      case 0
        clear ans
        VelocartDriver(args{:});
        if exist('ans', 'var')
          results = {ans};
        end
      case 1
        r1 = VelocartDriver(args{:});
        results = {r1};
      otherwise
        [r1, r2] = VelocartDriver(args{:});
        results = {r1, r2};
    end
  catch e
    err = e.message;
  end
end

function expected = open_expectation(fz, args)
  expected = -1;
  if numel(args) < 2
    return;
  end
  a = args{2};
  if ischar(a)
    if any(strcmp(host_text(a), fz.pty_names))
      expected = 0;                      % opens it, or it is the port already open
    end
  end
  % Numbers never name a device here (see make_open_safe); everything else
  % is refused.
end

function [fz, expected] = frame_expectation(fz, command, args)
  needed = struct('sendVelocity', 2, 'setOdometry', 3, 'setFreeWheels', 0).(command);
  if needed > 0
    a = [];
    if numel(args) >= 2
      a = args{2};
    end
    if ~(is_real_numeric(a) && numel(a) >= needed && all(isfinite(double(a(1:needed)))))
      expected = zeros(1, 0, 'uint8');  % refused: nothing sent, frame unchanged
      return;
    end
  end
  f = fz.frame;
  f(1:6) = uint8([170 22 0 3 0 1]);
  switch command
    case 'sendVelocity'
      f(7:8) = uint8([3 0]);
      f(9:10) = typecast(fixed_velocity(a(2)), 'uint8');
      f(11:12) = typecast(fixed_velocity(a(1)), 'uint8');
    case 'setOdometry'
      f(7:8) = uint8([7 0]);
      for k = 1:3
        f(9 + 4 * k:12 + 4 * k) = single_bytes(a(k));
      end
    case 'setFreeWheels'
      f(7:8) = uint8([0 0]);
      f(9:12) = 0;
  end
  crc = crc16(fz.crc_table, f(2:24));
  f(25:26) = uint8([floor(crc / 256) mod(crc, 256)]);
  fz.frame = f;
  expected = f;
  if fz.is_open
    fz.expected_stream = [fz.expected_stream f];
    if ~strcmp(command, 'setOdometry')
      fz.moving = any(f(9:12));
    end
  end
end

% What the module sends an open link's robot last told to move, as it lets
% the port go: a zero velocity, then free wheels.
function fz = stop_sequence(fz)
  if ~(fz.is_open && fz.moving)
    return;
  end
  for code = [3 0]
    f = uint8([170 22 0 3 0 1 code zeros(1, 17)]);
    crc = crc16(fz.crc_table, f(2:24));
    fz.expected_stream = [fz.expected_stream f uint8([floor(crc / 256) mod(crc, 256)])];
  end
  fz.moving = false;
end

% Element -> double -> single (round to nearest), clamp to +-30, x256,
% truncate toward zero; NaN gives 0.
function q = fixed_velocity(x)
  v = single_of(x);
  if isnan(v)
    q = int16(0);
    return;
  end
  v = min(max(double(v), -30), 30);
  q = int16(fix(v * 256));
end

function v = single_of(x)
  v = typecast(single_bits(x), 'single');
end

function b = single_bytes(x)
  b = typecast(single_bits(x), 'uint8');
end

% The bits of the single the module makes of element x, a C conversion
% through double. For a NaN it keeps the sign and the top of the payload
% and sets the quiet bit (Octave's own single() treats NaNs its own way).
function bits = single_bits(x)
  if isa(x, 'single')
    bits = typecast(x, 'uint32');
    if isnan(x)
      bits = bitor(bits, uint32(4194304));
    end
    return;
  end
  d = double(x);
  if ~isnan(d)
    bits = typecast(single(d), 'uint32');
    return;
  end
  raw = typecast(d, 'uint64');
  sign = bitshift(raw, -63);
  payload = bitand(bitshift(raw, -29), uint64(4194303));
  bits = uint32(bitor(bitor(bitshift(sign, 31), uint64(2143289344)), payload));
end

function fz = check_read(fz, label, s)
  if ~(isa(s, 'double') && isequal(size(s), [1 8]))
    fz.failures{end + 1} = sprintf('%s: read gave %s, expected 1x8 double', label, describe(s));
  elseif s(1) == 0
    if any(s(2:8) ~= 0)
      fz.failures{end + 1} = sprintf('%s: invalid frame but elements 2..8 not zero', label);
    end
  elseif s(1) == 1
    if isempty(fz.sent_vectors) || ~any(all(fz.sent_vectors == s, 2))
      fz.failures{end + 1} = sprintf('%s: read decoded a frame the peer never sent: %s', ...
                                     label, mat2str(s));
    else
      fz.valid_reads += 1;
    end
  else
    fz.failures{end + 1} = sprintf('%s: validity %g', label, s(1));
  end
end

% ---------------------------------------------------------------------------
% After the random calls: the host still answers, a known frame and a
% known reply go through, the module unloads cleanly, and the peer received
% exactly what was echoed while the port was open.

function fz = final_checks(fz)
  try
    if ~fz.is_open
      if VelocartDriver('open', fz.link) ~= 0
        fz.failures{end + 1} = 'final: the pty could not be opened again';
      end
      fz.is_open = true;
    end
    e = VelocartDriver('setOdometry', [0 0 0]);
    [fz, expected] = frame_expectation(fz, 'setOdometry', {'setOdometry', [0 0 0]});
    if ~isequal(e, expected)
      fz.failures{end + 1} = sprintf('final: odometry frame came out as %s', mat2str(e));
    end
    e = VelocartDriver('sendVelocity', [1 -0.5]);
    [fz, expected] = frame_expectation(fz, 'sendVelocity', {'sendVelocity', [1 -0.5]});
    known = uint8([170 22 0 3 0 1 3 0 128 255 0 1 zeros(1, 12) 99 17]);
    if ~isequal(e, expected) || ~isequal(e, known)
      fz.failures{end + 1} = sprintf('final: known frame came out as %s', mat2str(e));
    end

    reply = random_status_frame(fz);
    fprintf(fz.peer, 'send %s\n', sprintf('%02X', reply));
    fflush(fz.peer);
    got = false;
    for i = 1:100
      s = VelocartDriver('read');
      if isequal(s, decode_reference(reply))
        got = true;
        break;
      end
      pause(0.01);
    end
    if ~got
      fz.failures{end + 1} = 'final: a status frame sent now was not read';
    end
    % Unloading the module releases the port, first telling the robot,
    % driving since the last frame, to stop: zero velocity, free wheels.
    clear('-f', 'VelocartDriver');
    fz = stop_sequence(fz);
    if VelocartDriver('open', fz.link) ~= 0
      fz.failures{end + 1} = 'final: the port was not free after the module was cleared';
    end
    VelocartDriver('close');
  catch e
    fz.failures{end + 1} = sprintf('final: error "%s"', e.message);
  end
  fz = check_record(fz);
end

function fz = check_record(fz)
  want = fz.expected_stream;
  got = zeros(1, 0, 'uint8');
  for i = 1:500
    fid = fopen(fz.record, 'r');
    if fid >= 0
      got = fread(fid, Inf, 'uint8=>uint8')';
      fclose(fid);
    end
    if numel(got) >= numel(want)
      break;
    end
    pause(0.01);
  end
  if mod(numel(got), 26) ~= 0
    fz.failures{end + 1} = sprintf('peer: %d bytes received, not whole frames', numel(got));
  end
  for k = 1:floor(numel(got) / 26)
    f = got(26 * k - 25:26 * k);
    crc = crc16(fz.crc_table, f(2:24));
    if f(1) ~= 170 || f(2) ~= 22 || double(f(25)) * 256 + double(f(26)) ~= crc
      fz.failures{end + 1} = sprintf('peer: frame %d is not well formed: %s', k, mat2str(f));
      break;
    end
  end
  if ~isequal(got, want)
    fz.failures{end + 1} = sprintf('peer: received %d bytes, %d were echoed while open', ...
                                   numel(got), numel(want));
  end
end

% ---------------------------------------------------------------------------
% Helpers.

function t = crc_table()
  t = zeros(1, 256);
  for i = 0:255
    reg = i * 256;
    for bit = 1:8
      if reg >= 32768
        reg = bitxor(mod(reg * 2, 65536), 32773);
      else
        reg = reg * 2;
      end
    end
    t(i + 1) = reg;
  end
end

function crc = crc16(table, bytes)
  crc = 65535;
  for b = double(bytes)
    crc = bitxor(mod(crc * 256, 65536), table(bitxor(floor(crc / 256), b) + 1));
  end
end

function s = describe_args(args)
  parts = cellfun(@describe, args, 'UniformOutput', false);
  s = ['(' strjoin(parts, ', ') ')'];
end

function s = describe(x)
  dims = sprintf('%dx', size(x));
  s = sprintf('%s %s', dims(1:end - 1), class(x));
  if ischar(x) && numel(x) <= 40
    s = sprintf('''%s''', regexprep(x(:)', '[^\x20-\x7e]', '?'));
  elseif (isnumeric(x) || islogical(x)) && ~issparse(x) && numel(x) <= 6
    s = sprintf('%s %s', s, mat2str(double(x(:)')));
  end
end

function s = summary(counts)
  names = fieldnames(counts);
  parts = cell(1, numel(names));
  for k = 1:numel(names)
    parts{k} = sprintf('%s %d', strrep(names{k}, '_', ' '), counts.(names{k}));
  end
  s = strjoin(parts, ', ');
end
