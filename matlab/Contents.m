% VelocartDriver  Drive a wheeled mobile robot over a serial port.
%
% The module
%   VelocartDriver - open a port, send velocity, odometry and free-wheel
%                    commands, read the robot's status; several robots on
%                    numbered links (help VelocartDriver lists the commands;
%                    VelocartDriver('version') gives the release)
%
% The robot as an object
%   VelocartRobot  - a robot on a port, with drive, status, setPose, stop,
%                    freeWheels, the closed-loop moves travel and turn, and
%                    startRecording and stopRecording (help VelocartRobot;
%                    in Octave, demo VelocartRobot drives the simulated robot)
%
% Examples, in the folder examples beside VelocartRobot.m: set port, then
% run the script, e.g. port = '/tmp/robot'; run(fullfile(folder, 'square.m'))
%   figure_eight   - drive a figure eight with the module's commands; plot it
%   square         - drive a 0.5 m square with VelocartRobot; plot it
%   record_square  - the same square, recording every status; plot the path,
%                    the speed and the turn rate
%   live_plot      - a square driven in a loop of its own, its path and speed
%                    drawn ten times a second as it goes (background reading
%                    and a log file)
%
% The simulated robot, in the Octave package and the Linux archive
%   velocart-sim   - a robot at the far end of a pseudo-terminal, to try the
%                    driver without hardware: velocart-sim --link /tmp/robot
%                    (velocart-sim --help lists its options)
%
% In Octave, pkg test velocartdriver checks an installed package against
% the simulated robot.
