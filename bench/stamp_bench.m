function stamp_bench(port, log_file, result_file, name, way, amount)
  % The stamps set against the simulator's log of when it handed each byte
  % over ("tx" lines), on one clock:
  %   way 'reply':  AMOUNT rounds of sendVelocity, then [s, t] =
  %                 readLatest(0.1); each reply against the hand-over of
  %                 its last byte
  %   way 'stream': [S, T] = readAll(0.05) in a loop for AMOUNT seconds
  %                 against a streaming simulator; every frame taken against
  %                 the log's frames, good and broken
  %   way 'sparse', 'sparse_background': [S, T] = readAll, then pause(0.5),
  %                 for AMOUNT seconds: a program that reads twice a second;
  %                 the second with the module's thread reading the link
  % The stamps count from the link's open, the log from the simulator's
  % start, whose first line gives that start on CLOCK_MONOTONIC; ClockMex
  % reads that clock here. The open time on it has upper bounds: ClockMex
  % read right after open returns (the driver takes the open time at the
  % very end of open), and ClockMex read right after each call that returned
  % a stamp, less that stamp (a stamp is never later than the read it was
  % taken at). The smallest is late by no more than the part of one call
  % after that read: less than a whole call that waits for nothing,
  % measured between two ClockMex readings. Being late only makes every
  % error look larger. ClockMex is loaded before the open, so that the
  % reading right after it is late by no more than the open's return.
  % Appends to RESULT_FILE, times in microseconds:
  %   NAME_err_med, _p95, _p99, _min, _max  stamp minus hand-over of the
  %                                   last byte
  %   NAME_frames                     frames those figures cover
  %   NAME_open_bound                 a whole call that waits for nothing
  %                                   (median): the open time is known to
  %                                   within it
  %   NAME_open_reading_late          how much later the reading right after
  %                                   open was than the open time taken
  % and for 'reply' NAME_rounds; for 'stream' (frames told apart by their
  % clock field, element 7) NAME_expected (good frames handed over from the
  % open, or the first one taken, to the last one taken), _missed, _extra
  % (taken more than once, or never handed over whole and good),
  % _broken_sent, _broken_taken, _in_order (1 if exactly the expected frames
  % in their order) and _increasing (1 if the stamps strictly increase).
  if ~strcmp(way, 'reply') && amount > 7
    error('stamp_bench: a stream of %g s; the clock field tells frames apart for 8 s', amount);
  end
  % ClockMex is loaded first, so that the reading right after the open
  % comes right after it; background reading starts after that reading.
  ClockMex();
  VelocartDriver('background', false);
  if VelocartDriver('open', port) ~= 0
    error('stamp_bench: cannot open %s', port);
  end
  reading = ClockMex();
  VelocartDriver('background', strcmp(way, 'sparse_background'));
  switch way
    case 'reply'
      [clocks, stamps, origins] = replies(amount);
    case 'stream'
      [clocks, stamps, origins] = stream(amount, 0.05, 0);
    otherwise
      [clocks, stamps, origins] = stream(amount, 0, 0.5);
  end
  finished = ClockMex();
  opened = min([reading; origins]);
  whole = zeros(1, 100);
  for k = 1:numel(whole)
    before = ClockMex();
    VelocartDriver(way_command(way));
    whole(k) = ClockMex() - before;
  end
  VelocartDriver('close');
  pause(0.2);                                   % the log is complete

  [good, broken, start] = sim_log_frames(fileread(log_file));
  good(:, 1) += start;
  broken(:, 1) += start;
  % The frames handed over while the link was open: fewer than 8 s of them,
  % so their clock fields are distinct.
  good = good(good(:, 1) > opened - 0.01 & good(:, 1) <= finished, :);
  broken = broken(broken(:, 1) > opened - 0.01 & broken(:, 1) <= finished, :);
  [taken, at] = ismember(key(clocks), key(good(:, 2)));
  errors = opened + stamps(taken) - good(at(taken), 1);
  if isempty(errors)
    errors = NaN;
  end
  sorted = sort(errors);
  fid = fopen(result_file, 'a');
  fprintf(fid, '%s_err_med %.1f\n%s_err_p95 %.1f\n%s_err_p99 %.1f\n%s_err_min %.1f\n', ...
          name, 1e6 * median(errors), name, 1e6 * sorted(ceil(0.95 * numel(sorted))), ...
          name, 1e6 * sorted(ceil(0.99 * numel(sorted))), name, 1e6 * sorted(1));
  fprintf(fid, '%s_err_max %.1f\n', name, 1e6 * sorted(end));
  fprintf(fid, '%s_frames %d\n%s_open_bound %.1f\n%s_open_reading_late %.1f\n', name, ...
          sum(taken), name, 1e6 * median(whole), name, 1e6 * (reading - opened));
  if strcmp(way, 'reply')
    fprintf(fid, '%s_rounds %d\n', name, amount);
  else
    % Due: every good frame from the first one taken, or any handed over
    % after the open before it, to the last one taken. A frame handed over
    % just before the open may still be read after it; one whose last byte
    % was handed over within a frame's line time and a millisecond's chunk
    % after it began before it, and the open discarded its start.
    frame_time = 30 * 10 / 115200;
    first = min([at(taken); find(good(:, 1) > opened + frame_time + 0.001, 1)]);
    due = good(first:max([0; at(taken)]), :);
    fprintf(fid, '%s_expected %d\n%s_missed %d\n%s_extra %d\n', name, rows(due), name, ...
            sum(~ismember(key(due(:, 2)), key(clocks))), name, ...
            numel(clocks) - numel(intersect(key(clocks), key(due(:, 2)))));
    fprintf(fid, '%s_broken_sent %d\n%s_broken_taken %d\n%s_in_order %d\n%s_increasing %d\n', ...
            name, rows(broken), name, sum(ismember(key(clocks), key(broken(:, 2)))), name, ...
            isequal(key(clocks), key(due(:, 2))), name, all(diff(stamps) > 0));
  end
  fclose(fid);
end

function k = key(clocks)
  k = round(clocks(:) * 4096);
end

function command = way_command(way)
  command = 'readAll';
  if strcmp(way, 'reply')
    command = 'readLatest';
  end
end

% Request and response: the clock field and stamp of each reply, and
% ORIGINS, ClockMex after each reply less its stamp.
function [clocks, stamps, origins] = replies(rounds)
  clocks = zeros(0, 1);
  stamps = zeros(0, 1);
  origins = zeros(0, 1);
  for k = 1:rounds
    VelocartDriver('sendVelocity', [0.25 * (1 + mod(k, 4)) 0]);
    [s, t] = VelocartDriver('readLatest', 0.1);
    returned = ClockMex();
    if s(1) == 1
      clocks(end + 1, 1) = s(7);
      stamps(end + 1, 1) = t;
      origins(end + 1, 1) = returned - t;
    end
  end
end

% Every frame readAll (waiting up to WAIT) gives for SECONDS, with a pause
% of PAUSE after each call, in the order given, and ORIGINS, ClockMex after
% each call less its newest stamp.
function [clocks, stamps, origins] = stream(seconds, wait, pause_between)
  clocks = zeros(0, 1);
  stamps = zeros(0, 1);
  origins = zeros(0, 1);
  started = tic;
  while toc(started) < seconds
    pause(pause_between);
    [S, T] = VelocartDriver('readAll', wait);
    returned = ClockMex();
    clocks = [clocks; S(:, 7)];
    stamps = [stamps; T];
    if ~isempty(T)
      origins(end + 1, 1) = returned - T(end);
    end
  end
end
