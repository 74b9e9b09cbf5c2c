function soak_bench(port, csv, result_file, seconds)
  % A program that logs a robot streaming at the line's rate and otherwise
  % sits in pauses of 10 s (the last one shorter) for SECONDS; run-bench.sh
  % then sets the log against the simulator's. Appends to RESULT_FILE:
  %   soak_seconds      how long it ran
  %   soak_cpu          the share of one core the module's thread used
  %                     (percent; the scheduler's count of its run time)
  %   soak_calls        the calls made meanwhile (open, log, log off, close)
  if VelocartDriver('open', port) ~= 0
    error('soak_bench: cannot open %s', port);
  end
  VelocartDriver('log', csv);
  before = worker_seconds();
  started = tic;
  while toc(started) < seconds
    pause(min(10, seconds - toc(started)));
  end
  used = worker_seconds() - before;
  ran = toc(started);
  VelocartDriver('log', '');
  VelocartDriver('close');
  fid = fopen(result_file, 'a');
  fprintf(fid, 'soak_seconds %.1f\nsoak_cpu %.3f\nsoak_calls 4\n', ran, 100 * used / ran);
  fclose(fid);
end

% The time, in seconds, this process's thread named velocart-worker has run:
% the scheduler's own count (schedstat), in nanoseconds. utime and stime
% count clock ticks, which a thread that wakes every millisecond can meet
% or miss by chance.
function seconds = worker_seconds()
  seconds = NaN;
  for task = dir('/proc/self/task')'
    comm = fullfile('/proc/self/task', task.name, 'comm');
    if ~any(task.name == '.') && exist(comm, 'file') && strcmp(strtrim(fileread(comm)), 'velocart-worker')
      run = sscanf(fileread(fullfile('/proc/self/task', task.name, 'schedstat')), '%f', 1);
      seconds = run * 1e-9;
    end
  end
end
