% SQUARE  Drive a 0.5 m square with VelocartRobot and plot the corners reached.
%
%   port = '/tmp/robot';   % a device path (velocart-sim prints its link), or a port number
%   run('examples/square.m') % MATLAB and Octave
%
% The script makes a VelocartRobot on PORT, sets the pose to zero, and four
% times travels 0.5 m at 0.2 m/s and turns left by a quarter turn at 1 rad/s,
% each move judged by the odometry the robot reports. It prints where each
% move ended and saves the path through those points to square.png beside
% this script (run works in the script's folder), or in the folder pngFolder
% names, if set (pngFolder = pwd; before run: the folder you are in).
% Clearing the robot at the end stops it, frees its wheels and closes the
% port. A move cut short (Ctrl-C, an error) stops the robot; being a
% script, it leaves robot in the workspace: clear robot then frees the
% wheels and the port.

if ~exist('port', 'var')
    error('square:port', 'square: set port first, e.g. port = 3; or port = ''/dev/ttyUSB0'';');
end
if ~exist('pngFolder', 'var')
    pngFolder = pwd;
end
if isempty(which('VelocartDriver')) || isempty(which('VelocartRobot'))
    % run works in this script's folder, where Octave looks for a folder put
    % on the path by a relative name from there.
    error('square:path', ['square: VelocartDriver or VelocartRobot is not on the path; put ' ...
                          'their folder there by an absolute name']);
end

robot = VelocartRobot(port);
setPose(robot, 0, 0, 0);
corners = zeros(9, 3);
for side = 1:4
    s = travel(robot, 0.5, 0.2);
    corners(2 * side, :) = [s.x s.y s.heading];
    fprintf('side %d:  x %6.3f  y %6.3f  heading %7.2f deg\n', side, s.x, s.y, s.heading * 180 / pi);
    s = turn(robot, pi / 2, 1);
    corners(2 * side + 1, :) = [s.x s.y s.heading];
    fprintf('turn %d:  heading %7.2f deg\n', side, s.heading * 180 / pi);
end
clear robot

plot_path(corners, sprintf('A 0.5 m square: it ended %.0f mm from its start', ...
                           1000 * hypot(corners(end, 1), corners(end, 2))), ...
          fullfile(pngFolder, 'square.png'), [-0.2 0.7 -0.2 0.7]);
