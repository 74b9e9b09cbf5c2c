% RECORD_SQUARE  Drive a 0.5 m square with VelocartRobot while recording
% every status, then plot the path, and the speed and the turn rate against
% time. (Not record.m: that would hide Octave's own record.)
%
%   port = '/tmp/robot';   % a device path (velocart-sim prints its link), or a port number
%   run('examples/record_square.m') % MATLAB and Octave
%
% The script makes a VelocartRobot on PORT, sets the pose to zero, starts a
% recording and drives the square of square.m: four times 0.5 m at 0.2 m/s
% and a quarter turn left at 1 rad/s. The recording holds every status the
% robot sent during the moves, each stamped by the module when it arrived.
% The script prints how many there were and the longest gap between two,
% and saves the plot to record_square.png beside this script (run works in
% the script's folder), or in the folder pngFolder names, if set
% (pngFolder = pwd; before run: the folder you are in). Clearing
% the robot at the end stops it, frees its wheels and closes the port. A move
% cut short (Ctrl-C, an error) stops the robot; being a script, it leaves
% robot in the workspace: L = stopRecording(robot) then gives what was
% recorded so far, and clear robot frees the wheels and the port.

if ~exist('port', 'var')
    error('record_square:port', ['record_square: set port first, e.g. port = 3; or ' ...
                                 'port = ''/dev/ttyUSB0'';']);
end
if ~exist('pngFolder', 'var')
    pngFolder = pwd;
end
if isempty(which('VelocartDriver')) || isempty(which('VelocartRobot'))
    % run works in this script's folder, where Octave looks for a folder put
    % on the path by a relative name from there.
    error('record_square:path', ['record_square: VelocartDriver or VelocartRobot is not on ' ...
                                 'the path; put their folder there by an absolute name']);
end

robot = VelocartRobot(port);
setPose(robot, 0, 0, 0);
startRecording(robot);
for side = 1:4
    travel(robot, 0.5, 0.2);
    turn(robot, pi / 2, 1);
end
L = stopRecording(robot);
clear robot
fprintf('%d statuses in %.1f s, at most %.1f ms apart\n', numel(L.time), ...
        L.time(end) - L.time(1), 1000 * max(diff(L.time)));

plot_recording(L, 'A 0.5 m square, every status recorded', ...
               fullfile(pngFolder, 'record_square.png'));
