classdef VelocartRobot < handle
% VelocartRobot  A wheeled robot on a serial port, as an object.
%
%   r = VelocartRobot(port)   open the robot on PORT: a number (COM<n>; on
%                             Linux /dev/ttyS<n-1>) or a device name ('COM12',
%                             '/dev/ttyUSB0')
%   r = VelocartRobot(port, 'Timeout', t, 'Link', k, 'Watchdog', w, 'Driver', @RobotB)
%       'Timeout'  seconds to wait for the robot's reply (default 0.1)
%       'Link'     the module's link to drive it on, 1 to 32 (default: the
%                  lowest link that no port and no other object holds)
%       'Watchdog' seconds, 0 (the default: off) or 0.05 to 60: when the
%                  program sends the robot no command for that long while
%                  it was last told to move, the module stops it (zero
%                  velocity, then free wheels) by itself, and the next call
%                  says so. It guards a program that hangs, or a drive(r, ...)
%                  at the prompt left running.
%       'Driver'   the VelocartDriver module to use (default @VelocartDriver);
%                  a renamed copy of the module has 32 links of its own.
%                  Any function called as the module is will do.
%     Errors with VelocartRobot:openFailed when the port cannot be opened
%     (the message says why: missing, busy, already open).
%   r.Link                    the link the object drives, for calls of your
%                             own: VelocartDriver(r.Link, 'watchdog')
%
%   s = drive(r, v, w)        drive at v m/s and w rad/s; the robot's reply
%   s = status(r)             the newest status
%   setPose(r, x, y, heading) overwrite the robot's odometry
%   stop(r)                   drive at 0, 0
%   freeWheels(r)             stop driving and let the wheels turn freely
%   s = travel(r, d, speed)   drive straight by d metres, closed-loop
%   s = turn(r, angle, rate)  turn in place by angle radians, closed-loop
%   startRecording(r)         keep every status the robot sends from now on
%   L = stopRecording(r)      end it: each status as columns L.time, L.x,
%                             L.y, L.heading, L.v, L.w, L.aux1, L.aux2
%   delete(r)                 stop, free the wheels and close the port; also
%                             on clear r, when r goes out of scope, and when
%                             an error unwinds past the function holding r
%
%   Each method has its own help, with an example: help VelocartRobot.travel.
%
%   The status s is a struct: valid (true when the robot answered), x, y,
%   heading, v, w, aux1, aux2 (as VelocartDriver('readLatest') lays them out),
%   and time: when the frame arrived, in seconds since the link was opened
%   (the module's stamp). A frame that waited in the system's buffer is
%   stamped when the driver read it.
%
%   Errors: VelocartRobot:openFailed, VelocartRobot:badArgument,
%   VelocartRobot:noStatus when drive, travel or turn get no valid status
%   within Timeout, VelocartRobot:notReached when travel or turn run out
%   of time before the goal (the robot is stopped first), and
%   VelocartRobot:notRecording from stopRecording without startRecording.
%
%   Several robots: each object drives its own link of the module, so
%   a = VelocartRobot(3); b = VelocartRobot(4); drives two at once. A new
%   object on the port an earlier object holds (a script run again) takes
%   that link over, and the earlier object then leaves it alone.
%
%   To find the ports of this machine use serialportlist (MATLAB, and
%   Octave's instrument-control package).
%
%   Example:
%       r = VelocartRobot('/dev/ttyUSB0', 'Watchdog', 0.5);
%       setPose(r, 0, 0, 0);
%       travel(r, 0.5, 0.2);
%       s = turn(r, pi/2, 1);
%       fprintf('at (%.3f, %.3f) heading %.3f\n', s.x, s.y, s.heading);
%       clear r                    % stops, frees the wheels, closes the port

% Each method's help is the comment block right below its function line,
% where both MATLAB and Octave look for it; a comment right above a method
% would take its place in Octave. The helpers are functions of this file
% rather than private methods, which Octave's methods() would list.

  properties (SetAccess = private)
    Port        % the port as given
    Timeout     % seconds to wait for a reply
    Link = 0    % the module's link the robot is on
    Watchdog    % seconds without a command before the module stops the robot; 0: off
  end

  properties (Access = private)
    Driver      % the module, a function handle
    IsOpen = false
    Token = 0   % this object's claim on its link
    Newest = [] % the newest status from the robot, for status()
    Moving = false  % a travel or turn short of its goal
    Log = []    % while recording: the frames so far, in pieces, and when the last came in
  end

  properties (Constant, Access = private)
    StopDistance = 0.0005      % m: close enough to the goal of travel
    StopAngle = 0.002          % rad: close enough to the goal of turn
    MinimumSpeed = 0.01        % m/s: the slowest approach (above one 1/256 step)
    MinimumRate = 0.02         % rad/s
    HeadingGain = 2            % 1/s: turn rate per radian off the start heading
  end

  methods
    function r = VelocartRobot(port, varargin)
    % VelocartRobot  Open the robot on a serial port (help VelocartRobot).
    %
    %   Example: r = VelocartRobot('/dev/ttyUSB0', 'Timeout', 0.2);
      if nargin == 0
        port = find_robot(@VelocartDriver);
      end
      if ~(ischar(port) || isstring(port) || is_real_scalar(port))
        error('VelocartRobot:badArgument', 'VelocartRobot: give a port number or a device name');
      end
      options = parse_options(varargin);
      if ~(ischar(port) || isstring(port))
        port = double(port);
      end
      r.Port = port;
      r.Timeout = options.Timeout;
      r.Watchdog = options.Watchdog;
      r.Driver = options.Driver;
      driver = r.Driver;
      name = func2str(driver);
      % A new object on the port an earlier one holds (a script run again)
      % takes its link over; the earlier one then leaves the link alone when
      % it is deleted. The module says which link holds the port: trying
      % other links would be wrong, as an open on a link whose line has
      % failed lets that line go and opens there.
      k = options.Link;
      if k == 0
        k = driver('linkOf', port);
      end
      if k == 0
        k = free_link(driver, name);
      end
      if k == 0
        error('VelocartRobot:openFailed', ['VelocartRobot: cannot open %s: all links of %s ' ...
              'are taken; clear a robot you no longer need (clear r) first'], ...
              port_text(port), name);
      end
      previous = owner(name, k);
      r.Token = owner(name, k, 'new');
      try
        said = evalc('status = driver(k, ''open'', port);');
      catch failure
        said = failure.message;
        status = -1;
      end
      if status ~= 0
        owner(name, k, previous);
        error('VelocartRobot:openFailed', 'VelocartRobot: cannot open %s: %s', ...
              port_text(port), reason_of(said, name, k));
      end
      r.Link = k;
      r.IsOpen = true;
      % Set on every open, so that a link keeps no setting of an earlier
      % object's.
      if driver(k, 'watchdog', r.Watchdog) ~= r.Watchdog
        delete(r);
        error('VelocartRobot:openFailed', ['VelocartRobot: cannot open %s: the watchdog ' ...
              'could not be set, and the robot is not driven without it'], port_text(port));
      end
      % Replies to an earlier session's last commands may still be on their
      % way; taken for answers to this session's, they would put every
      % answer one behind.
      pause(r.Timeout);
      driver(k, 'readLatest', 0);
    end

    function delete(r)
    % DELETE  Stop the robot, free its wheels and close the port.
    %
    %   delete(r) also happens on clear r, when r goes out of scope, and when
    %   an error unwinds past the function holding r, so a failing program
    %   never leaves the robot driving. An object whose port a newer object
    %   has taken over leaves the port alone.
    %
    %   Example: clear r
      if ~r.IsOpen
        return;
      end
      r.IsOpen = false;
      name = func2str(r.Driver);
      k = r.Link;
      if owner(name, k) ~= r.Token
        return;                              % taken over by a newer object
      end
      % Nothing may stop the port from being released. Each reply is
      % waited for, so that none is left on its way for the next session.
      driver = r.Driver;
      try
        driver(k, 'sendVelocity', [0 0]);
        driver(k, 'readLatest', r.Timeout);
        driver(k, 'setFreeWheels');
        driver(k, 'readLatest', r.Timeout);
      catch
      end
      try
        if r.Watchdog > 0
          driver(k, 'watchdog', 0);          % the link as it was found
        end
        driver(k, 'close');
      catch
      end
      owner(name, k, 0);
    end

    function s = drive(r, varargin)
    % DRIVE  Drive at a forward speed and a turn rate; the robot's reply.
    %
    %   s = drive(r, v, w) drives at v m/s forward and w rad/s turning
    %   (counter-clockwise positive), waits for the reply and returns it as a
    %   status. The robot keeps this velocity until the next command.
    %   Errors with VelocartRobot:noStatus, the robot stopped, when no reply
    %   comes within Timeout.
    %
    %   Example: s = drive(r, 0.2, 0); fprintf('x = %.3f\n', s.x);
      [v, w] = numbers('drive', {'v', 'w'}, varargin);
      driver = r.Driver;
      k = r.Link;
      try
        s = send_velocity(driver, k, [v w], r.Timeout, 'drive');
      catch failure
        driver(k, 'sendVelocity', [0 0]);     % no reply: it may be driving on
        rethrow(failure);
      end
      r.Newest = s;
      r.Log = keep(r.Log, driver, k);
    end

    function s = status(r)
    % STATUS  The newest status from the robot.
    %
    %   s = status(r) gives the newest status this object has: one the robot
    %   sent since the last command or call if there is one, else the last
    %   one it had, still valid, with the time it arrived (s.time). A robot
    %   that only answers commands sends nothing between them, so after a
    %   move status(r) gives the move's final reply. Only while the robot
    %   has sent nothing yet does it wait, up to Timeout; if nothing comes,
    %   s.valid is false.
    %
    %   Example: s = status(r); if s.valid, disp(s.heading); end
      driver = r.Driver;
      k = r.Link;
      wait = 0;
      if isempty(r.Newest)
        wait = r.Timeout;
      end
      s = reply(driver, k, wait);
      if s.valid
        r.Newest = s;
      elseif ~isempty(r.Newest)
        s = r.Newest;
      end
      r.Log = keep(r.Log, driver, k);
    end

    function setPose(r, varargin)
    % SETPOSE  Overwrite the robot's odometry.
    %
    %   setPose(r, x, y, heading) sets the pose the robot reports: x and y in
    %   metres, heading in radians.
    %
    %   Example: setPose(r, 0, 0, 0);
      [x, y, heading] = numbers('setPose', {'x', 'y', 'heading'}, varargin);
      driver = r.Driver;
      k = r.Link;
      driver(k, 'setOdometry', [x y heading]);
      r.Newest = newer(r.Newest, reply(driver, k, r.Timeout));
      r.Log = keep(r.Log, driver, k);
    end

    function stop(r)
    % STOP  Drive at 0, 0.
    %
    %   stop(r) holds the robot still with its wheels driven.
    %
    %   Example: stop(r);
      driver = r.Driver;
      k = r.Link;
      driver(k, 'sendVelocity', [0 0]);
      r.Newest = newer(r.Newest, reply(driver, k, r.Timeout));
      r.Log = keep(r.Log, driver, k);
    end

    function freeWheels(r)
    % FREEWHEELS  Stop driving and let the wheels turn freely.
    %
    %   freeWheels(r) lets the wheels go; the next drive, travel or turn
    %   drives them again.
    %
    %   Example: freeWheels(r);
      driver = r.Driver;
      k = r.Link;
      driver(k, 'setFreeWheels');
      r.Newest = newer(r.Newest, reply(driver, k, r.Timeout));
      r.Log = keep(r.Log, driver, k);
    end

    function s = travel(r, varargin)
    % TRAVEL  Drive straight by a distance, judged by the robot's odometry.
    %
    %   s = travel(r, d, speed) drives d metres (negative: backwards) at speed
    %   m/s (0.01 or more) along the heading it starts with, holding that
    %   heading and slowing down near the end; stops and returns the final
    %   status. A move gets three times d/speed and 2 s more: one that runs
    %   out of time stops the robot and errors with VelocartRobot:notReached,
    %   saying how far it got. Whatever else ends it early (Ctrl-C, an
    %   error) stops the robot as well.
    %
    %   Example: s = travel(r, 0.5, 0.2);
      [distance, speed] = numbers('travel', {'distance', 'speed'}, varargin);
      if speed < VelocartRobot.MinimumSpeed
        error('VelocartRobot:badArgument', 'VelocartRobot: travel: speed must be %g m/s or more', ...
              VelocartRobot.MinimumSpeed);
      end
      driver = r.Driver;
      k = r.Link;
      r.Moving = true;
      guard = onCleanup(@() stop_if(r.Moving, driver, k, r.Timeout));
      start = send_velocity(driver, k, [0 0], r.Timeout, 'travel');
      along = [cos(start.heading) sin(start.heading)];
      allowed = allowance(abs(distance) / speed);
      limit = start.time + allowed;
      here = start;
      while true
        remaining = distance - along * [here.x - start.x; here.y - start.y];
        if abs(remaining) <= VelocartRobot.StopDistance || sign(remaining) ~= sign(distance)
          break;
        end
        if here.time > limit
          s = send_velocity(driver, k, [0 0], r.Timeout, 'travel');
          r.Newest = s;
          r.Moving = false;
          error('VelocartRobot:notReached', ...
                'VelocartRobot: travel: out of time (%.1f s allowed) at %.3f m of %g m; it was stopped', ...
                allowed, along * [s.x - start.x; s.y - start.y], distance);
        end
        v = approach(remaining, speed, VelocartRobot.MinimumSpeed);
        w = VelocartRobot.HeadingGain * wrap(start.heading - here.heading);
        here = send_velocity(driver, k, [v w], r.Timeout, 'travel');
        r.Newest = here;
        r.Log = keep(r.Log, driver, k);
      end
      s = send_velocity(driver, k, [0 0], r.Timeout, 'travel');
      r.Newest = s;
      r.Moving = false;
    end

    function s = turn(r, varargin)
    % TURN  Turn in place by an angle, judged by the robot's heading.
    %
    %   s = turn(r, angle, rate) turns by angle radians (the sign gives the
    %   direction: positive is counter-clockwise) at rate rad/s, following
    %   the heading the robot reports across the jump at +-pi, slowing down
    %   near the end; stops and returns the final status. The rate is 0.02
    %   rad/s or more. A turn gets three times angle/rate and 2 s more: one
    %   that runs out of time stops the robot and errors with
    %   VelocartRobot:notReached, saying how far it got. Whatever else ends
    %   it early (Ctrl-C, an error) stops the robot as well.
    %
    %   Example: s = turn(r, pi/2, 1);
      [angle, rate] = numbers('turn', {'angle', 'rate'}, varargin);
      if rate < VelocartRobot.MinimumRate
        error('VelocartRobot:badArgument', 'VelocartRobot: turn: rate must be %g rad/s or more', ...
              VelocartRobot.MinimumRate);
      end
      driver = r.Driver;
      k = r.Link;
      r.Moving = true;
      guard = onCleanup(@() stop_if(r.Moving, driver, k, r.Timeout));
      last = send_velocity(driver, k, [0 0], r.Timeout, 'turn');
      turned = 0;
      allowed = allowance(abs(angle) / rate);
      limit = last.time + allowed;
      while true
        remaining = angle - turned;
        if abs(remaining) <= VelocartRobot.StopAngle || sign(remaining) ~= sign(angle)
          break;
        end
        if last.time > limit
          s = send_velocity(driver, k, [0 0], r.Timeout, 'turn');
          r.Newest = s;
          r.Moving = false;
          error('VelocartRobot:notReached', ...
                'VelocartRobot: turn: out of time (%.1f s allowed) at %.3f rad of %g rad; it was stopped', ...
                allowed, turned + wrap(s.heading - last.heading), angle);
        end
        w = approach(remaining, rate, VelocartRobot.MinimumRate);
        here = send_velocity(driver, k, [0 w], r.Timeout, 'turn');
        r.Newest = here;
        r.Log = keep(r.Log, driver, k);
        turned = turned + wrap(here.heading - last.heading);
        last = here;
      end
      s = send_velocity(driver, k, [0 0], r.Timeout, 'turn');
      r.Newest = s;
      r.Moving = false;
    end

    function startRecording(r)
    % STARTRECORDING  Keep every status from now on, for stopRecording.
    %
    %   startRecording(r) records every status frame the robot's link takes
    %   in from now on: the replies drive, status, travel, turn and the
    %   others wait for, and the frames a robot that streams sends between
    %   them. L = stopRecording(r) ends it and gives them. Calling it again
    %   starts afresh. The module holds the last 1024 frames between this
    %   object's calls, 2.7 s of a line full of status frames: a program
    %   that records a streaming robot calls a method at least that often,
    %   or the console says how many frames were lost.
    %
    %   Example: startRecording(r); travel(r, 0.5, 0.2); L = stopRecording(r);
      driver = r.Driver;
      k = r.Link;
      % The frames the link took in before this point are none of the
      % recording's, so the module's line that it dropped some of them
      % (the object does not collect them unless it records) is no news.
      said = evalc('driver(k, ''readAll'');');
      news = regexp(said, '[^\n]*\n', 'match');
      fprintf('%s', news{cellfun(@isempty, strfind(news, 'status frames were lost'))});
      r.Log = struct('chunks', {{}}, 'since', tic);
    end

    function L = stopRecording(r)
    % STOPRECORDING  End the recording; every status it kept.
    %
    %   L = stopRecording(r) ends the recording startRecording(r) began and
    %   gives every status frame the link took in since, each once, oldest
    %   first, as a struct of column vectors: time, x, y, heading, v, w,
    %   aux1, aux2. L.time holds the module's stamps, on the clock of a
    %   status's time (seconds since the link was opened), so a move's final
    %   status is found in it; a frame that waited in the system's buffer is
    %   stamped when the driver read it. Errors with
    %   VelocartRobot:notRecording when nothing is being recorded.
    %
    %   Example:
    %       startRecording(r);
    %       s = travel(r, 0.5, 0.2);
    %       L = stopRecording(r);
    %       plot(L.time - L.time(1), L.v);    % the speed through the move
      if isempty(r.Log)
        error('VelocartRobot:notRecording', ['VelocartRobot: stopRecording: nothing is being ' ...
              'recorded; call startRecording(r) first']);
      end
      log = drain(r.Log, r.Driver, r.Link);
      r.Log = [];
      rows = vertcat(zeros(0, 8), log.chunks{:});
      L = struct('time', rows(:, 1), 'x', rows(:, 2), 'y', rows(:, 3), 'heading', rows(:, 4), ...
                 'v', rows(:, 5), 'w', rows(:, 6), 'aux1', rows(:, 7), 'aux2', rows(:, 8));
    end
  end
end

% Which object holds each link of each module, by a token rather than by
% the object itself, which a list would keep alive: owner(name, k) tells it
% (0: nobody), owner(name, k, token) sets it, owner(name, k, 'new') sets and
% returns a new one, owner(name) gives the links of NAME that objects hold.
function token = owner(name, k, token)
  persistent held last
  if isempty(held)
    held = containers.Map();
    last = 0;
  end
  if nargin < 2
    names = keys(held);
    mine = strncmp(names, [name ' '], numel(name) + 1);
    token = cellfun(@(key) sscanf(key(numel(name) + 2:end), '%d'), names(mine));
    return;
  end
  key = sprintf('%s %d', name, k);
  if nargin < 3
    token = 0;
    if isKey(held, key)
      token = held(key);
    end
    return;
  end
  if ischar(token)
    last = last + 1;
    token = last;
  end
  if token ~= 0
    held(key) = token;
  elseif isKey(held, key)
    remove(held, key);
  end
end

% The lowest link of the module that has no port open and that no object
% holds (an object whose line has failed still holds its link); 0 if none.
function k = free_link(driver, name)
  taken = [driver('links'); reshape(owner(name), [], 1)];
  k = find(~ismember(1:32, taken), 1);
  if isempty(k)
    k = 0;
  end
end

% While recording, the frames the link took in since the last look, out of
% the module's ring before it wraps: every half second is often enough
% (1024 frames are 2.7 s of a full line), and keeps the log's pieces few.
function log = keep(log, driver, k)
  if ~isempty(log) && toc(log.since) >= 0.5
    log = drain(log, driver, k);
  end
end

% readAll gives each frame once, whichever command took it off the line.
function log = drain(log, driver, k)
  [S, T] = driver(k, 'readAll');
  log.chunks{end + 1} = [T S(:, 2:8)];
  log.since = tic;
end

% A maneuver gets three times its nominal time and two seconds more.
function seconds = allowance(nominal)
  seconds = 3 * nominal + 2;
end

% Sends a velocity and takes the robot's reply. Without a reply the robot
% may be driving on: the caller stops it (drive at once, travel and turn as
% they end).
function s = send_velocity(driver, k, velocity, timeout, what)
  driver(k, 'sendVelocity', velocity);
  s = reply(driver, k, timeout);
  if ~s.valid
    error('VelocartRobot:noStatus', ...
          'VelocartRobot: %s: no status from the robot within %g s; it was stopped', ...
          what, timeout);
  end
end

% A travel or turn that ends short of its goal (Ctrl-C, no reply, any error)
% must not leave the robot driving. delete would stop it only when the
% object goes, which for an object in a script's workspace is not soon.
function stop_if(moving, driver, k, timeout)
  if moving
    driver(k, 'sendVelocity', [0 0]);
    driver(k, 'readLatest', timeout);  % its reply, so the next command's is fresh
  end
end

% The status in the robot's reply, or the one held before when it sent none.
function s = newer(held, s)
  if ~s.valid
    s = held;
  end
end

% The newest status on link k, waiting up to timeout for one. Its time is
% the module's stamp, so that it lines up with a recording.
function s = reply(driver, k, timeout)
  [raw, stamp] = driver(k, 'readLatest', timeout);
  s = struct('valid', raw(1) == 1, 'x', raw(2), 'y', raw(3), 'heading', raw(4), ...
             'v', raw(5), 'w', raw(6), 'aux1', raw(7), 'aux2', raw(8), 'time', stamp);
end

function options = parse_options(args)
  options = struct('Timeout', 0.1, 'Link', 0, 'Watchdog', 0, 'Driver', @VelocartDriver);
  if mod(numel(args), 2) ~= 0
    error('VelocartRobot:badArgument', 'VelocartRobot: options come as name, value pairs');
  end
  for k = 1:2:numel(args)
    name = args{k};
    value = args{k + 1};
    if ~(ischar(name) || isstring(name))
      error('VelocartRobot:badArgument', 'VelocartRobot: option names are text');
    end
    switch lower(char(name))
      case 'timeout'
        if ~(is_real_scalar(value) && value > 0 && value <= 60)
          error('VelocartRobot:badArgument', 'VelocartRobot: Timeout is in seconds, up to 60');
        end
        options.Timeout = double(value);
      case 'link'
        if ~(is_real_scalar(value) && value == fix(value) && value >= 1 && value <= 32)
          error('VelocartRobot:badArgument', 'VelocartRobot: Link is a whole number from 1 to 32');
        end
        options.Link = double(value);
      case 'watchdog'
        if ~(is_real_scalar(value) && (value == 0 || (value >= 0.05 && value <= 60)))
          error('VelocartRobot:badArgument', ...
                'VelocartRobot: Watchdog is 0 (off) or seconds from 0.05 to 60');
        end
        options.Watchdog = double(value);
      case 'driver'
        if ~isa(value, 'function_handle')
          error('VelocartRobot:badArgument', ...
                'VelocartRobot: Driver is a function handle, e.g. @VelocartDriver');
        end
        options.Driver = value;
      otherwise
        error('VelocartRobot:badArgument', 'VelocartRobot: unknown option %s', char(name));
    end
  end
end

% The numbers a method was given, one for each of its names, as doubles.
% Integer classes would make every sum with them integer too: a velocity
% pair, a remaining distance and an approach speed would all round.
function varargout = numbers(what, names, given)
  if numel(given) ~= numel(names)
    error('VelocartRobot:badArgument', 'VelocartRobot: %s: give %s and %s', what, ...
          strjoin(names(1:end - 1), ', '), names{end});
  end
  for k = 1:numel(names)
    if ~is_real_scalar(given{k})
      error('VelocartRobot:badArgument', 'VelocartRobot: %s: %s must be a finite real number', ...
            what, names{k});
    end
    varargout{k} = double(given{k});
  end
end

function yes = is_real_scalar(value)
  yes = (isnumeric(value) || islogical(value)) && isscalar(value) && isreal(value) && ...
        isfinite(double(value));
end

function text = port_text(port)
  if isnumeric(port)
    text = sprintf('COM%d', fix(port));
  else
    text = char(port);
  end
end

% The module's reasons, without its "I cannot open" line and the name and
% link it begins its own lines with. Its hints to close a link suit a
% program that calls it; a link an object holds is let go by clearing it.
function text = reason_of(said, name, k)
  lines = strsplit(strtrim(said), "\n");
  lines = lines(~strncmp(lines, 'I cannot open', 13));
  lines = regexprep(lines, '^[^:\s]+: (link \d+: )?', '');
  for i = 1:numel(lines)
    device = regexp(lines{i}, '^(.*) is already open; (call .*)$', 'tokens', 'once');
    if ~isempty(device) && owner(name, k) ~= 0
      lines{i} = sprintf(['link %d holds %s for another VelocartRobot: clear that one ' ...
                          '(clear r) first, or give another ''Link'''], k, device{1});
    elseif ~isempty(device)
      lines{i} = sprintf('link %d holds %s; %s', k, device{:});
    end
    held = regexp(lines{i}, '^(.*) is open on link (\d+); use that link', 'tokens', 'once');
    if ~isempty(held) && owner(name, str2double(held{2})) ~= 0
      lines{i} = sprintf(['another VelocartRobot holds %s on link %s: leave out ''Link'' to ' ...
                          'take it over, or clear that one (clear r) first'], held{:});
    end
  end
  text = strjoin(lines, ' ');
  if isempty(text)
    text = 'the module refused it';
  end
end

% The speed for what remains of a move: full speed, then slowing in
% proportion to what is left (the gain is per second: a reply comes every
% 5 ms or so, far quicker than that), but never below the slowest approach.
function v = approach(remaining, fastest, slowest)
  gain = 4;
  v = sign(remaining) * max(slowest, min(fastest, gain * abs(remaining)));
end

function a = wrap(a)
  a = mod(a + pi, 2 * pi) - pi;
end

% Without a port: the one port of this machine where a robot answers the
% module's probe, by its identity, so that a USB adapter is found again
% wherever it is plugged back in. None or several: an error with the table.
function port = find_robot(driver)
  P = driver('ports', 'probe');
  found = find([P.robot] == 1);
  if numel(found) == 1
    port = P(found).id;
    return;
  end
  table = ports_table(P);
  if isempty(found)
    error('VelocartRobot:noRobot', ['VelocartRobot: no robot answered on any port of this ' ...
          'machine; give the port: VelocartRobot(port). The ports:\n%s'], table);
  end
  error('VelocartRobot:severalRobots', ['VelocartRobot: robots answered on %d ports; give ' ...
        'one: VelocartRobot(port). The ports:\n%s'], numel(found), table);
end

function text = ports_table(P)
  if isempty(P)
    text = '  (no serial port was found)';
    return;
  end
  answers = {'no', 'yes'};
  rows = cell(1, numel(P));
  for k = 1:numel(P)
    robot = 'not checked';
    if ~isnan(P(k).robot)
      robot = answers{P(k).robot + 1};
    end
    held = P(k).heldBy;
    if isempty(held)
      held = 'free';
    end
    rows{k} = sprintf('  %-14s %-9s %-28s %s; robot: %s; access: %s', P(k).name, P(k).kind, ...
                      P(k).id, held, robot, P(k).access);
  end
  text = strjoin(rows, "\n");
end
