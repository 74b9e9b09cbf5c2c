% The robot stops when the program stops: Ctrl-C during a wait, unloading
% the module, the watchdog. run_stop_test.sh types this into an interactive
% Octave line by line, as a user at the prompt would, so that a Ctrl-C ends
% the line it interrupts and the session goes on; it starts the simulators
% (robot: answers every command; silent: answers none) and reads the
% console afterwards.
work = getenv('VELOCART_TEST_DIR');
failed = {};
stop = [3 0 0; 0 0 0];                  % a zero velocity, then free wheels
threads = @() numel(dir('/proc/self/task')) - 2;
robot = fullfile(work, 'robot');
silent = fullfile(work, 'silent');

% Ctrl-C while readLatest waits for a robot that never answers: control
% comes back at once, the robot is told to stop, and the session goes on.
VelocartDriver('open', silent);
VelocartDriver('sendVelocity', [0.3 0]);
t0 = tic; system(sprintf('(sleep 1; kill -INT %d) &', getpid())); s = VelocartDriver('readLatest', 30);
back = toc(t0) - 1;
failed = expect_that(failed, back < 0.5, 'Ctrl-C gave control back after %.3f s', back);
frames = sim_frames(work, 'silent', 3);
failed = expect_that(failed, isequal(frames(2:end, 2:4), stop), 'Ctrl-C: the robot got %s', mat2str(frames));
e = VelocartDriver('sendVelocity', [0.1 0]);
failed = expect_that(failed, numel(e) == 26 && sim_frames(work, 'silent', 4)(end, 3) == 25 / 256, 'after Ctrl-C, sendVelocity works');
% Another signal (Octave notes SIGUSR1 and carries on) does not shorten a wait.
t0 = tic; system(sprintf('(sleep 0.3; kill -USR1 %d) &', getpid())); s = VelocartDriver('readLatest', 1); waited = toc(t0);
failed = expect_that(failed, waited >= 1 && s(1) == 0, 'SIGUSR1 ended the wait after %.3f s', waited);
VelocartDriver('close');

% Closing the link or unloading the module while the robot drives tells it
% to stop before the port closes, whether by its name or with every
% function. (Octave's own "clear mex" unloads nothing: it clears a name
% "mex"; see the README.)
for how = {'VelocartDriver(''close'')', 'clear VelocartDriver', 'clear functions'}
  before = rows(sim_frames(work, 'robot', 0));
  VelocartDriver('open', robot);
  VelocartDriver('sendVelocity', [0.2 0.1]);
  eval(how{1});
  frames = sim_frames(work, 'robot', before + 3)(before + 1:end, :);
  failed = expect_that(failed, isequal(frames(2:end, 2:4), stop), '%s: the robot got %s', how{1}, mat2str(frames));
  failed = expect_that(failed, VelocartDriver('open', robot) == 0, '%s released the port', how{1});
  VelocartDriver('close');
end

% The watchdog: one thread while it is on and a port is open; a robot left
% without commands for its time is stopped within 30 ms, once, and the next
% call says so; commands every half of it keep the robot driving.
baseline = threads();
failed = expect_that(failed, VelocartDriver('watchdog') == 0, 'the watchdog is off at load');
out = evalc('w = VelocartDriver(''watchdog'', 0.01);');
failed = expect_that(failed, w == 0 && ~isempty(strfind(out, 'it stays at 0')), 'a watchdog of 0.01 s is refused: %s', out);
VelocartDriver('open', robot);
VelocartDriver('watchdog', 0.4);
failed = expect_that(failed, threads() == baseline + 1, 'one thread with the watchdog on: %d', threads() - baseline);
% Three rounds: three commands 0.2 s apart, then silence. The simulator's
% clock for each frame is when it read it, which a busy machine can delay
% by some milliseconds either way: the median of the three is judged.
before = rows(sim_frames(work, 'robot', 0));
for r = 1:3, for k = 1:3, VelocartDriver('sendVelocity', [0.2 0]); pause(0.2); end, pause(0.5); end
got = sim_frames(work, 'robot', before + 15)(before + 1:end, :);
v = 51 / 256;                           % 0.2 m/s in steps of 1/256
failed = expect_that(failed, isequal(got(:, 2:4), repmat([3 v 0; 3 v 0; 3 v 0; stop], 3, 1)), 'the watchdog: the robot got %s', mat2str(got));
late = median(got(4:5:end, 1) - got(3:5:end, 1)) - 0.4;
failed = expect_that(failed, late >= -0.005 && late <= 0.03, 'the watchdog stopped the robot %.4f s after its time', late);
out = evalc('VelocartDriver(''readLatest'');');
failed = expect_that(failed, strcmp(out, sprintf('VelocartDriver: no command for 0.4 s; the watchdog told the robot to stop (VelocartDriver(''watchdog'', seconds) or VelocartRobot''s ''Watchdog'' option sets the time; 0 turns it off).\n')), 'the next call says: %s', out);
failed = expect_that(failed, isempty(evalc('VelocartDriver(''readLatest'');')), 'and says it once');
VelocartDriver('close');
failed = expect_that(failed, threads() == baseline, 'no thread left after close: %d', threads() - baseline);
VelocartDriver('open', robot);
failed = expect_that(failed, threads() == baseline + 1 && VelocartDriver('watchdog') == 0.4, 'the setting stays, and open starts the thread again');
clear VelocartDriver
failed = expect_that(failed, threads() == baseline, 'no thread left after clear: %d', threads() - baseline);

% A line that dies while only the watchdog writes: its failed stop is told
% at the next call, once, and nothing else repeats it.
hangup = fullfile(work, 'hangup');
VelocartDriver('open', hangup); VelocartDriver('watchdog', 0.1);
VelocartDriver('sendVelocity', [0.2 0]); pause(0.05); VelocartDriver('sendVelocity', [0.2 0]); pause(0.3);
out = evalc('VelocartDriver(''sendVelocity'', [0.2 0]); VelocartDriver(''sendVelocity'', [0.2 0]);');
failed = expect_that(failed, strcmp(out, sprintf('VelocartDriver: no command for 0.1 s; the watchdog tried to stop the robot, but the frame could not be written to %s.\n', hangup)), 'a dead line under the watchdog: %s', out);
VelocartDriver('close'); VelocartDriver('watchdog', 0);

printf('Ctrl-C: control back %.3f s after it came; the watchdog stopped the robot %.1f ms after its time\n', back, 1000 * late);
if isempty(failed), printf('test_stopping: all checks passed\n'); end
exit(~isempty(failed));
