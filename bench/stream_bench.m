function stream_bench(port, log_file, result_file, prefix)
  % A robot streaming status frames on the paced wire, read every 5, 10, 20
  % and 50 ms with read and with readLatest (no wait). For each way and
  % interval it appends to RESULT_FILE (name value lines, names starting
  % with PREFIX):
  %   <way>_<ms>_fresh     per cent of the calls that got a newer good frame,
  %                        among the calls after which a good frame had
  %                        been handed over since the call before
  %   <way>_<ms>_age_med, _age_max  ms from the hand-over of the frame
  %                        decoded to the call, over the calls that got one
  %   <way>_<ms>_corrupt   broken frames taken for good ones
  % The frames' hand-over times and which were broken come from the
  % simulator's log; its clock and this session's are matched by calls of
  % readLatest calls in a tight loop, which see a frame just after its
  % hand-over.
  if VelocartDriver('open', port) ~= 0
    error('stream_bench: cannot open %s', port);
  end
  % Calls without a wait, one right after the other, for 0.3 s: the first
  % call after a hand-over sees it as soon as the line has passed it on,
  % with no wake-up in between (a waiting call would add one).
  origin = tic;
  calibration = zeros(0, 2);
  while toc(origin) < 0.3
    s = VelocartDriver('readLatest');
    if s(1) == 1
      calibration(end + 1, :) = [toc(origin) s(7)];
    end
  end
  pause(0.05);
  logged = numel(fileread(log_file));          % the log up to the calibration
  runs = {};
  for way = {'read', 'readLatest'}
    for interval = [5 10 20 50]
      calls = max(40, round(1500 / interval));
      runs{end + 1} = sample(way{1}, interval / 1000, calls, origin);
    end
  end
  VelocartDriver('close');
  pause(0.2);                                   % the log is complete

  text = fileread(log_file);
  [good, broken] = sim_log_frames(text);
  % Session time minus simulator time: the smallest gap between a frame's
  % hand-over and a waiting call returning with it. The clock field wraps
  % every 8 s, so each call's frame is the last with its clock in the log
  % as it stood after the calibration.
  before = sim_log_frames(text(1:logged));
  gaps = [];
  for k = 1:rows(calibration)
    at = find(round(before(:, 2) * 4096) == round(calibration(k, 2) * 4096), 1, 'last');
    gaps(end + 1) = calibration(k, 1) - before(at, 1);
  end
  offset = min(gaps);
  good(:, 1) = good(:, 1) + offset;
  broken(:, 1) = broken(:, 1) + offset;

  fid = fopen(result_file, 'a');
  for r = 1:numel(runs)
    report(fid, prefix, runs{r}, good, broken);
  end
  fclose(fid);
end

function run = sample(way, interval, calls, origin)
  run.way = way;
  run.interval = interval;
  run.t = zeros(1, calls);
  run.s = zeros(calls, 8);
  next = toc(origin);
  for k = 1:calls
    next = next + interval;
    pause(max(0, next - toc(origin)));
    run.s(k, :) = VelocartDriver(way);
    run.t(k) = toc(origin);
  end
end

% The latest of FRAMES handed over by time T whose clock field is CLOCK
% (the field repeats every 8 s); 0 if none.
function row = handed_by(frames, t, clock)
  row = find(round(frames(:, 2) * 4096) == round(clock * 4096) & frames(:, 1) <= t + 0.001, ...
             1, 'last');
  if isempty(row)
    row = 0;
  end
end

function report(fid, prefix, run, good, broken)
  name = sprintf('%s%s_%d', prefix, run.way, round(1000 * run.interval));
  fresh = 0; due = 0; ages = []; corrupt = 0;
  last = 0;
  for k = 2:numel(run.t)
    s = run.s(k, :);
    now = 0;
    if s(1) == 1
      now = handed_by(good, run.t(k), s(7));
      corrupt = corrupt + (handed_by(broken, run.t(k), s(7)) > 0 && ...
                           (now == 0 || broken(handed_by(broken, run.t(k), s(7)), 1) > ...
                                        good(now, 1)));
      if now > 0
        ages(end + 1) = run.t(k) - good(now, 1);
      end
    end
    % A good frame handed over since the call before (with 0.2 ms for the
    % pty to pass it on) makes a newer one due.
    if any(good(:, 1) > run.t(k - 1) & good(:, 1) <= run.t(k) - 0.0002)
      due = due + 1;
      fresh = fresh + (now > last);
    end
    if now > 0
      last = now;
    end
  end
  if isempty(ages)
    ages = NaN;                                 % no call got a frame
  end
  fprintf(fid, '%s_fresh %.1f\n%s_age_med %.2f\n%s_age_max %.2f\n%s_corrupt %d\n%s_due %d\n', ...
          name, 100 * fresh / max(due, 1), name, 1000 * median(ages), name, ...
          1000 * max(ages), name, corrupt, name, due);
end
