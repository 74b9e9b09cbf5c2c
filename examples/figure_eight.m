% FIGURE_EIGHT  Drive the robot along a figure eight and plot its odometry.
%
%   port = '/tmp/robot';   % a device path (velocart-sim prints its link), or a port number
%   run('examples/figure_eight.m')   % MATLAB and Octave
%
% The script opens PORT, sets the odometry to zero and drives a figure eight
% of two 0.2 m circles: once round to the left, then once round to the right,
% judged by the heading the robot reports. Each round sends the velocity and
% waits for the robot's reply with readLatest(timeout), which returns as soon
% as the reply's last byte is in: the loop runs at the pace of the wire, with
% no pause to guess. It prints a pose about once a second, then the rate the
% loop reached and how many replies were valid, frees the wheels, closes the
% port and saves the path to figure_eight.png beside this script (run
% works in the script's folder), or in the folder pngFolder names, if set
% (pngFolder = pwd; before run: the folder you are in); each example
% writes a file of its own name there. It stops early after a second
% without a valid reply, and raises an error if the driver reports no valid
% status at all. It is named for its path: a demo.m on the path, script or
% function, would hide the host's own DEMO command (and pkg install warns
% about it).

if ~exist('port', 'var')
    error('figure_eight:port', ['figure_eight: set port first, e.g. port = 3; or ' ...
                                'port = ''/dev/ttyUSB0'';']);
end
if ~exist('pngFolder', 'var')
    pngFolder = pwd;
end
if isempty(which('VelocartDriver'))
    % run works in this script's folder, where Octave looks for a folder put
    % on the path by a relative name from there.
    error('figure_eight:path', ['figure_eight: VelocartDriver is not on the path; put its ' ...
                                'folder there by an absolute name']);
end

speed = 0.25;         % m/s
turnRate = 1.25;      % rad/s: circles of 0.2 m radius
replyTimeout = 0.1;   % s to wait for each reply
timeLimit = 30;       % s, in case the heading never comes round
silenceLimit = 1;     % s without a valid reply: nothing left to drive by

if VelocartDriver('open', port) ~= 0
    error('figure_eight:open', 'figure_eight: cannot open %s', num2str(port));
end

poses = zeros(0, 3);
valid = 0;
rounds = 0;
try
    VelocartDriver('setOdometry', [0 0 0]);
    s = VelocartDriver('readLatest', replyTimeout);    % its reply: the start pose
    if s(1) == 1
        poses(end + 1, :) = s(2:4);
    end
    turned = 0;           % heading change so far, unwrapped
    lastHeading = s(4);
    direction = 1;        % +1: the left circle, -1: the right circle
    nextRow = 0;
    lastReply = 0;        % when the last valid reply came, from the start
    silent = false;

    fprintf('%8s %8s %8s %9s %8s %9s\n', 't [s]', 'x [m]', 'y [m]', 'th [deg]', 'v [m/s]', ...
            'w [rad/s]');
    start = tic;
    while toc(start) < timeLimit
        VelocartDriver('sendVelocity', [speed direction * turnRate]);
        s = VelocartDriver('readLatest', replyTimeout);
        rounds = rounds + 1;
        if s(1) == 1
            valid = valid + 1;
            lastReply = toc(start);
            poses(end + 1, :) = s(2:4);
            turned = turned + mod(s(4) - lastHeading + pi, 2 * pi) - pi;
            lastHeading = s(4);
            if toc(start) >= nextRow
                fprintf('%8.2f %8.3f %8.3f %9.1f %8.3f %9.3f\n', toc(start), s(2), s(3), ...
                        s(4) * 180 / pi, s(5), s(6));
                nextRow = nextRow + 1;
            end
        elseif toc(start) - lastReply > silenceLimit
            % The robot went silent or the line is down (a line that hung up
            % answers at once, so this loop would spin until timeLimit).
            silent = true;
            break;
        end
        if direction == 1 && turned >= 2 * pi
            direction = -1;
        elseif direction == -1 && turned <= 0
            break;
        end
    end
    elapsed = toc(start);
    if silent
        fprintf('no valid reply for %g s: stopped\n', silenceLimit);
    end

    VelocartDriver('setFreeWheels');
    s = VelocartDriver('readLatest', replyTimeout);
    if s(1) == 1
        poses(end + 1, :) = s(2:4);
        fprintf('%8.2f %8.3f %8.3f %9.1f %8.3f %9.3f   free wheels\n', toc(start), s(2), ...
                s(3), s(4) * 180 / pi, s(5), s(6));
    end
catch failure
    VelocartDriver('setFreeWheels');
    VelocartDriver('close');
    rethrow(failure);
end
VelocartDriver('close');

fprintf('%d rounds in %.2f s: the loop ran at %.0f Hz; %d of %d replies valid\n', rounds, ...
        elapsed, rounds / elapsed, valid, rounds);
if valid == 0
    error('figure_eight:noStatus', 'figure_eight: the driver reported no valid status');
end
plot_path(poses, sprintf('Figure eight: the loop ran at %.0f Hz, %d of %d replies valid', ...
                         rounds / elapsed, valid, rounds), ...
          fullfile(pngFolder, 'figure_eight.png'), [-0.5 0.5 -0.5 0.5]);
