classdef VelocartRobot < handle
% VelocartRobot  A wheeled robot on a serial port, as an object.
%
%   r = VelocartRobot(port)   open the robot on PORT: a number (COM<n>; on
%                             Linux /dev/ttyS<n-1>), a device name ('COM12',
%                             '/dev/ttyUSB0') or a USB adapter's identity
%                             ('usb:0403:6001:FT1234', see VelocartDriver('ports'))
%   r = VelocartRobot()       the one port of this machine where a robot
%                             answers (VelocartRobot:noRobot, :severalRobots)
%   r = VelocartRobot(port, 'Timeout', t, 'Link', k, 'Watchdog', w, 'Background', b, ...
%                     'Driver', @RobotB)
%       'Timeout'  seconds to wait for the robot's reply (default 0.1)
%       'Link'     the module's link to drive it on, 1 to 32 (default: the
%                  lowest link that no port and no other object holds)
%       'Watchdog' seconds, 0.05 to 60, or 0 to turn it off (default 0.4):
%                  when the program sends the robot no command for that
%                  long while it was last told to move, the module stops it
%                  (zero velocity, then free wheels) by itself, and the next
%                  call says so. It stops the robot when the program stops
%                  however it stops: Ctrl-C in your own code or in a pause,
%                  an error, a program that hangs, a drive(r, ...) at the
%                  prompt left running. To drive for a while, use
%                  drive(r, v, w, seconds), which keeps the robot going.
%       'Background' true: the module's thread reads the robot's link as
%                  bytes arrive and stamps every frame on arrival, whatever
%                  the program is doing (default false); see
%                  VelocartDriver(k, 'background', true)
%       'Driver'   the VelocartDriver module to use (default @VelocartDriver);
%                  a renamed copy of the module has 32 links of its own.
%                  Any function called as the module is will do.
%     Errors with VelocartRobot:openFailed when the port cannot be opened
%     (the message says why: missing, busy, already open).
%   r.Link                    the link the object drives, for calls of your
%                             own: VelocartDriver(r.Link, 'watchdog')
%
%   s = drive(r, v, w)        drive at v m/s and w rad/s; the robot's reply
%   s = drive(r, v, w, t)     drive so for t seconds, then stop
%   s = status(r)             the newest status
%   setPose(r, x, y, heading) overwrite the robot's odometry
%   stop(r)                   drive at 0, 0
%   freeWheels(r)             stop driving and let the wheels turn freely
%   s = travel(r, d, speed)   drive straight by d metres, closed-loop
%   s = turn(r, angle, rate)  turn in place by angle radians, closed-loop
%   startRecording(r)         keep every status the robot sends from now on
%   startRecording(r, file)   and log them, with the commands sent, to a
%                             comma-separated file as they come
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
%   of time before the goal (the robot is stopped first),
%   VelocartRobot:notRecording from stopRecording without startRecording,
%   and VelocartRobot:recordingFailed when the file cannot be written.
%
%   Several robots: each object drives its own link of the module, so
%   a = VelocartRobot(3); b = VelocartRobot(4); drives two at once. A new
%   object on the port an earlier object holds (a script run again) takes
%   that link over, and the earlier object then leaves it alone.
%
%   To find the ports of this machine, with their identities, who holds
%   them and where a robot answers: VelocartDriver('ports', 'probe').
%
%   Example:
%       r = VelocartRobot('/dev/ttyUSB0');
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
    Background  % the module's thread reads the link (background reading)
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
      r.Background = options.Background;
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
      % The module's lines about this open go into the error, or nowhere;
      % anything else it had to say (a watchdog's stop) is passed on.
      try
        said = evalc('[status, reason] = driver(k, ''open'', port);');
      catch failure
        said = '';
        status = -1;
        reason = struct('identifier', '', 'message', failure.message, 'device', '', 'link', 0);
      end
      fprintf('%s', strjoin(other_lines(said, reason), ''));
      if status ~= 0
        owner(name, k, previous);
        error('VelocartRobot:openFailed', 'VelocartRobot: cannot open %s: %s', ...
              port_text(port), reason_text(reason, name, k));
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
      if driver(k, 'background', r.Background) ~= r.Background
        delete(r);
        error('VelocartRobot:openFailed', ['VelocartRobot: cannot open %s: background ' ...
              'reading could not start'], port_text(port));
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
        if ~isempty(r.Log) && ~isempty(r.Log.file)
          driver(k, 'log', '');
        end
        driver(k, 'watchdog', 0);            % the link as it was found
        driver(k, 'background', false);
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
    %   status. The robot keeps this velocity until the next command, or
    %   until the watchdog stops it (0.4 s without a command by default).
    %
    %   s = drive(r, v, w, seconds) drives so for that long, then stops the
    %   robot and returns its last reply. It keeps telling the robot the
    %   velocity while it waits, inside the module, so the watchdog does not
    %   stop it and a Ctrl-C stops the robot at once. Any other way out
    %   (an error) stops the robot as well.
    %
    %   Errors with VelocartRobot:noStatus, the robot stopped, when no reply
    %   comes within Timeout.
    %
    %   Example: s = drive(r, 0.2, 0); fprintf('x = %.3f\n', s.x);
    %            drive(r, 0.2, 0.5, 3);        % an arc for 3 s, then stop
      driver = r.Driver;
      k = r.Link;
      if numel(varargin) == 3
        % The velocity again and again, well inside the watchdog's time,
        % and the waits in between inside the module, where a Ctrl-C is
        % seen at once and stops every robot; then a stop.
        [v, w, seconds] = numbers('drive', {'v', 'w', 'seconds'}, varargin);
        if seconds < 0
          error('VelocartRobot:badArgument', 'VelocartRobot: drive: seconds must be 0 or more');
        end
        r.Moving = true;
        guard = onCleanup(@() stop_if(r.Moving, driver, k, r.Timeout));
        started = tic;
        while true
          r.Newest = send_velocity(driver, k, [v w], r.Timeout, 'drive');
          r.Log = keep(r.Log, driver, k);
          if toc(started) >= seconds
            break;
          end
          wait_in_module(driver, k, started, min(toc(started) + resend_time(r.Watchdog), seconds));
        end
        s = send_velocity(driver, k, [0 0], r.Timeout, 'drive');
        r.Newest = s;
        r.Moving = false;
        return;
      end
      [v, w] = numbers('drive', {'v', 'w'}, varargin);
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

    function startRecording(r, file)
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
    %   startRecording(r, file) also has the module log every status frame
    %   taken in and every command sent to FILE, a comma-separated line each
    %   with its time, as they come (see VelocartDriver(k, 'log', file)):
    %   nothing is lost however long the program pauses. Read it with
    %   csvread(file, 1, 0), readmatrix or pandas.
    %
    %   Example: startRecording(r); travel(r, 0.5, 0.2); L = stopRecording(r);
    %            startRecording(r, 'run1.csv'); ...; stopRecording(r);
      driver = r.Driver;
      k = r.Link;
      if nargin < 2
        file = '';
      elseif ~(ischar(file) || isstring(file)) || isempty(char(file))
        error('VelocartRobot:badArgument', 'VelocartRobot: startRecording: file is a file name');
      end
      file = char(file);
      if ~isempty(r.Log) && ~isempty(r.Log.file)
        driver(k, 'log', '');
      end
      r.Log = [];
      % The log starts first, so that it holds every frame the recording
      % will.
      if ~isempty(file)
        said = evalc('driver(k, ''log'', file);');
        if ~strcmp(driver(k, 'log'), file)
          error('VelocartRobot:recordingFailed', 'VelocartRobot: startRecording: %s', ...
                regexprep(strtrim(said), '^[^:\s]+: (link \d+: )?', ''));
        end
      end
      % The frames the link took in before this point are none of the
      % recording's, so the module's line that it dropped some of them
      % (the object does not collect them unless it records) is no news.
      said = evalc('driver(k, ''readAll'');');
      news = regexp(said, '[^\n]*\n', 'match');
      fprintf('%s', news{cellfun(@isempty, strfind(news, 'status frames were lost'))});
      r.Log = struct('chunks', {{}}, 'since', tic, 'file', file);
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
      if ~isempty(log.file)
        r.Driver(r.Link, 'log', '');
      end
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

% How often drive(r, v, w, seconds) tells the robot its velocity again: a
% tenth of a second, and four times within the watchdog's time.
function seconds = resend_time(watchdog)
  seconds = 0.1;
  if watchdog > 0
    seconds = min(seconds, watchdog / 4);
  end
end

% Waits until `deadline` seconds after `started` in the module's own
% waits, which end on a frame too: a robot that streams is read meanwhile.
function wait_in_module(driver, k, started, deadline)
  while toc(started) < deadline
    driver(k, 'readLatest', max(0, deadline - toc(started)));
  end
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
  options = struct('Timeout', 0.1, 'Link', 0, 'Watchdog', 0.4, 'Background', false, ...
                   'Driver', @VelocartDriver);
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
      case 'background'
        if ~(isscalar(value) && (islogical(value) || isnumeric(value)) && any(value == [0 1]))
          error('VelocartRobot:badArgument', 'VelocartRobot: Background is true or false');
        end
        options.Background = logical(value);
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

% Why the module did not open the port, from the reason it gave. Its hints
% to close a link suit a program that calls it; a link an object holds is
% let go by clearing the object.
function text = reason_text(reason, name, k)
  text = regexprep(reason.message, '\.$', '');
  switch reason.identifier
    case 'VelocartDriver:alreadyOpen'
      if owner(name, k) ~= 0
        text = sprintf(['link %d holds %s for another VelocartRobot: clear that one ' ...
                        '(clear r) first, or give another ''Link'''], k, reason.device);
      else
        text = sprintf('link %d holds %s; %s', k, reason.device, ...
                       regexprep(text, '^.* is already open; ', ''));
      end
    case 'VelocartDriver:openOnLink'
      if owner(name, reason.link) ~= 0
        text = sprintf(['another VelocartRobot holds %s on link %d: leave out ''Link'' to ' ...
                        'take it over, or clear that one (clear r) first'], reason.device, ...
                       reason.link);
      end
  end
  if isempty(text)
    text = 'the module refused it';
  end
end

% The lines the module printed during an open that are not about the open.
function lines = other_lines(said, reason)
  lines = regexp(said, '[^\n]*\n', 'match');
  mine = regexp(lines, '^(Port .* is opened successfully\.|I cannot open .*!)\n$', 'once');
  keep = cellfun(@isempty, mine);
  if ~isempty(reason.message)
    keep = keep & cellfun(@isempty, strfind(lines, reason.message));
  end
  lines = lines(keep);
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

% Octave reads the blocks below (MATLAB takes them for comments): the
% package's own tests, run by pkg test velocartdriver, and its demo, run by
% demo VelocartRobot. Both drive velocart-sim, the simulated robot, which
% pkg load velocartdriver puts on EXEC_PATH.

%!demo
%! % A simulated robot drives 0.3 m, turns round and drives back.
%! link = [tempname() '-robot'];
%! sim = system(['exec velocart-sim --link ' link ' > /dev/null 2>&1'], false, 'async');
%! unwind_protect
%!   pause(0.5);                        % the simulator starts
%!   r = VelocartRobot(link);
%!   setPose(r, 0, 0, 0);
%!   s = travel(r, 0.3, 0.2);
%!   fprintf('travelled to x %.3f m, y %.3f m\n', s.x, s.y);
%!   s = turn(r, pi, 1);
%!   fprintf('turned to heading %.1f deg\n', s.heading * 180 / pi);
%!   s = travel(r, 0.3, 0.2);
%!   fprintf('back at x %.3f m, y %.3f m\n', s.x, s.y);
%! unwind_protect_cleanup
%!   clear r                            % stops the robot and closes its port
%!   kill(sim, 15);                     % ends the simulator
%!   waitpid(sim);
%! end_unwind_protect

%!function [link, sim] = start_simulator()
%!  link = [tempname() '-robot'];
%!  sim = system(sprintf('exec velocart-sim --link %s > %s.out 2>&1', link, link), false, 'async');
%!  for k = 1:100
%!    if exist([link '.out'], 'file') && strncmp(fileread([link '.out']), 'ready', 5)
%!      return;
%!    end
%!    pause(0.05);
%!  end
%!  error('velocart-sim did not start: %s', fileread([link '.out']));
%!endfunction

%!function stop_simulator(link, sim)
%!  kill(sim, 15);
%!  waitpid(sim);
%!  delete([link '.out']);
%!endfunction

%!test
%! % The robot goes where it is told, judged by its own odometry.
%! [link, sim] = start_simulator();
%! unwind_protect
%!   r = VelocartRobot(link);
%!   setPose(r, 0, 0, 0);
%!   s = travel(r, 0.2, 0.2);
%!   assert([s.x s.y], [0.2 0], 0.002);
%!   s = turn(r, pi / 2, 1);
%!   assert(s.heading, pi / 2, 0.005);
%! unwind_protect_cleanup
%!   clear r
%!   stop_simulator(link, sim);
%! end_unwind_protect

%!test
%! % Clearing the object leaves the robot stopped, its wheels free: a new
%! % object's first reply shows no speed and aux2 (wheels driven) 0.
%! [link, sim] = start_simulator();
%! unwind_protect
%!   r = VelocartRobot(link);
%!   drive(r, 0.2, 0.5);
%!   clear r
%!   r = VelocartRobot(link);
%!   setPose(r, 0, 0, 0);
%!   s = status(r);
%!   assert([s.valid s.v s.w s.aux2], [true 0 0 0]);
%! unwind_protect_cleanup
%!   clear r
%!   stop_simulator(link, sim);
%! end_unwind_protect
