function soak_bench(port, csv, result_file, seconds)
  % A program that logs a robot streaming at the line's rate and otherwise
  % sits in pauses of 10 s (the last one shorter) for SECONDS; run-bench.sh
  % then sets the log against the simulator's. Appends to RESULT_FILE:
  %   soak_seconds      how long it ran
  %   soak_cpu          the share of one core the module's thread used
  %                     (percent; its utime + stime in /proc over the run)
  %   soak_calls        the calls made meanwhile (open, log, log off, close)
  if VelocartDriver('open', port) ~= 0
    error('soak_bench: cannot open %s', port);
  end
  VelocartDriver('log', csv);
  before = worker_ticks();
  started = tic;
  while toc(started) < seconds
    pause(min(10, seconds - toc(started)));
  end
  used = worker_ticks() - before;
  ran = toc(started);
  VelocartDriver('log', '');
  VelocartDriver('close');
  [~, ticks] = system('getconf CLK_TCK');
  ticks = str2double(ticks);
  fid = fopen(result_file, 'a');
  fprintf(fid, 'soak_seconds %.1f\nsoak_cpu %.3f\nsoak_calls 4\n', ran, 100 * used / ticks / ran);
  fclose(fid);
end

% utime + stime, in clock ticks, of this process's thread named
% velocart-worker.
function ticks = worker_ticks()
  ticks = NaN;
  for task = dir('/proc/self/task')'
    comm = fullfile('/proc/self/task', task.name, 'comm');
    if ~any(task.name == '.') && exist(comm, 'file') && strcmp(strtrim(fileread(comm)), 'velocart-worker')
      fields = strsplit(fileread(fullfile('/proc/self/task', task.name, 'stat')), ' ');
      % After "(comm)" the fields run from state; utime and stime are 14 and 15.
      named = find(cellfun(@(f) ~isempty(f) && f(end) == ')', fields), 1, 'last');
      ticks = str2double(fields{named + 12}) + str2double(fields{named + 13});
    end
  end
end
