function host_bench(driver_port, floor_port, mcode_port, result_file, rounds, calls)
  % Times the driver as Octave code calls it, against its physical floor:
  % FloorMex, built like the driver, does the host's part of the same call
  % (the command text, a result of the same class and size) plus the one
  % system call the call cannot avoid (the drain check and a 26-byte write
  % for a frame command, one non-blocking read for read and readLatest).
  % EmptyMex, which does nothing, shows what any call costs the host, and
  % the same velocity frame built in m-code and written with
  % instrument-control's serialport shows what a user would write instead.
  %
  % The driver, FloorMex and the serialport object each write to their own
  % pty peer, which drains the line. The measurements take turns, round
  % after round, so that a busy moment on the machine hits all of them
  % alike; each figure is the median over the rounds of the mean time per
  % call. Results go to RESULT_FILE as "name value" lines, in microseconds.
  if nargin < 5, rounds = 7; end
  if nargin < 6, calls = 20000; end
  pkg load instrument-control

  r = VelocartDriver('open', driver_port);
  if r ~= 0
    error('host_bench: cannot open %s', driver_port);
  end
  FloorMex('open', floor_port);
  sp = serialport(mcode_port, 115200);
  mcode_calls = max(200, round(calls / 20));
  velocities = [0.2 0.5; -1.25 3; 40 -0.001; 0 0];

  names = {'loop', 'empty_send', 'floor_send', 'send', 'empty_read', 'floor_read', 'read', ...
           'read_latest', 'mcode_send', 'send_background'};
  t = zeros(rounds, numel(names));
  warm_up(velocities, sp);
  for k = 1:rounds
    t(k, 1) = time_loop(calls);
    t(k, 2) = time_empty_send(calls);
    t(k, 3) = time_floor_send(calls);
    t(k, 4) = time_send(calls);
    t(k, 5) = time_empty_read(calls);
    t(k, 6) = time_floor_read(calls);
    t(k, 7) = time_read(calls);
    t(k, 8) = time_read_latest(calls);
    t(k, 9) = time_mcode_send(mcode_calls, sp);
    % The same sends while the module's thread reads the link.
    VelocartDriver('background', true);
    t(k, 10) = time_send(calls);
    VelocartDriver('background', false);
  end
  VelocartDriver('close');
  clear sp

  fid = fopen(result_file, 'w');
  for j = 1:numel(names)
    fprintf(fid, '%s %.6f\n', names{j}, 1e6 * median(t(:, j)));
  end
  fprintf(fid, 'rounds %d\ncalls %d\nmcode_calls %d\n', rounds, calls, mcode_calls);
  fclose(fid);
end

function warm_up(velocities, sp)
  % The two ways must build the same bytes, or the comparison means nothing.
  for i = 1:rows(velocities)
    v = velocities(i, :);
    if ~isequal(mcode_velocity_frame(v), VelocartDriver('sendVelocity', v))
      error('host_bench: m-code frame differs from the driver''s for [%g %g]', v);
    end
  end
  for i = 1:200
    v = velocities(mod(i, 4) + 1, :);
    EmptyMex('sendVelocity', v);
    FloorMex('sendVelocity', v);
    s = FloorMex('read');
    VelocartDriver('sendVelocity', v);
    s = VelocartDriver('read');
    s = VelocartDriver('readLatest');
  end
  for i = 1:20
    write(sp, mcode_velocity_frame(velocities(mod(i, 4) + 1, :)));
  end
end

% Each timing loop has the same shape, the call as a user writes it; only
% the function called differs.
function s = time_loop(n)
  a = 0.2; b = 0.5;
  tic;
  for i = 1:n
    x = [a b];
  end
  s = toc / n;
end

function s = time_empty_send(n)
  a = 0.2; b = 0.5;
  tic;
  for i = 1:n
    EmptyMex('sendVelocity', [a b]);
  end
  s = toc / n;
end

function s = time_floor_send(n)
  a = 0.2; b = 0.5;
  tic;
  for i = 1:n
    FloorMex('sendVelocity', [a b]);
  end
  s = toc / n;
end

function s = time_send(n)
  a = 0.2; b = 0.5;
  tic;
  for i = 1:n
    VelocartDriver('sendVelocity', [a b]);
  end
  s = toc / n;
end

function s = time_empty_read(n)
  tic;
  for i = 1:n
    EmptyMex('read');
  end
  s = toc / n;
end

function s = time_floor_read(n)
  tic;
  for i = 1:n
    st = FloorMex('read');
  end
  s = toc / n;
end

function s = time_read(n)
  tic;
  for i = 1:n
    st = VelocartDriver('read');
  end
  s = toc / n;
end

function s = time_read_latest(n)
  tic;
  for i = 1:n
    st = VelocartDriver('readLatest');
  end
  s = toc / n;
end

function s = time_mcode_send(n, sp)
  a = 0.2; b = 0.5;
  tic;
  for i = 1:n
    write(sp, mcode_velocity_frame([a b]));
  end
  s = toc / n;
end
