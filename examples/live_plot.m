% LIVE_PLOT  Drive a 0.5 m square and draw the path and the speed as it goes.
%
%   port = '/tmp/robot';     % a device path (velocart-sim prints its link), or a port number
%   run('examples/live_plot.m') % MATLAB and Octave
%
% The script makes a VelocartRobot on PORT with background reading (the
% module's thread takes in and stamps every status as it arrives) and a log
% file, live_plot.csv, and drives a square in a loop of its own: 0.5 m
% straight at 0.2 m/s, then a quarter turn left at 1 rad/s, four times,
% judged by the odometry the robot reports. Every tenth of a second it
% draws the path so far and the speed against time, from the statuses the
% thread took in. With a display the figure is on the screen; without one
% the last frame goes to live_plot.png. Both files land beside this script
% (run works in the script's folder), or in the folder pngFolder names, if
% set. Ctrl-C or an error stops the robot: the module's watchdog (on by
% default) stops it within 0.4 s of the last command.

if ~exist('port', 'var')
    error('live_plot:port', 'live_plot: set port first, e.g. port = 3; or port = ''/dev/ttyUSB0'';');
end
if ~exist('pngFolder', 'var')
    pngFolder = pwd;
end
if isempty(which('VelocartDriver')) || isempty(which('VelocartRobot'))
    error('live_plot:path', ['live_plot: VelocartDriver or VelocartRobot is not on the path; ' ...
                             'put their folder there by an absolute name']);
end

isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
if isOctave
    shown = have_window_system();
else
    shown = usejava('awt');
end
if shown
    figureHandle = figure('Position', [100 100 900 420]);
else
    [figureHandle, pngDevice] = png_figure(900, 420);
end
pathAxes = subplot(1, 2, 1, 'Parent', figureHandle);
pathLine = plot(pathAxes, NaN, NaN, 'b-', 'LineWidth', 1.5);
hold(pathAxes, 'on');
robotMark = plot(pathAxes, 0, 0, 'ro', 'MarkerSize', 8, 'LineWidth', 2);
axis(pathAxes, 'equal');
axis(pathAxes, [-0.2 0.7 -0.2 0.7]);
grid(pathAxes, 'on');
xlabel(pathAxes, 'x [m]');
ylabel(pathAxes, 'y [m]');
speedAxes = subplot(1, 2, 2, 'Parent', figureHandle);
speedLine = plot(speedAxes, NaN, NaN, 'b-', 'LineWidth', 1.5);
hold(speedAxes, 'on');
turnLine = plot(speedAxes, NaN, NaN, 'r-', 'LineWidth', 1.5);
grid(speedAxes, 'on');
xlabel(speedAxes, 't [s]');
ylabel(speedAxes, 'v [m/s], w [rad/s]');
ylim(speedAxes, [-0.1 1.3]);       % room for the legend above the lines
legend(speedAxes, {'v', 'w'}, 'Location', 'north', 'Orientation', 'horizontal');

robot = VelocartRobot(port, 'Background', true);
startRecording(robot, fullfile(pngFolder, 'live_plot.csv'));
setPose(robot, 0, 0, 0);
statuses = zeros(0, 4);            % time, x, y, v, from the thread
rates = zeros(0, 1);               % w
started = tic;
drawn = 0;
lastDrawn = -Inf;
for side = 1:4
    for move = 1:2
        here = status(robot);
        from = [here.x here.y here.heading];
        done = false;
        while ~done
            % Straight on at the heading it started with, or turning on the spot.
            if move == 1
                gone = [cos(from(3)) sin(from(3))] * [here.x - from(1); here.y - from(2)];
                done = gone >= 0.5;
                v = min(0.2, max(0.03, 3 * (0.5 - gone)));
                w = 2 * (mod(from(3) - here.heading + pi, 2 * pi) - pi);
            else
                turned = mod(here.heading - from(3) + pi, 2 * pi) - pi;
                done = turned >= pi / 2 - 0.002;
                v = 0;
                w = min(1, max(0.1, 3 * (pi / 2 - turned)));
            end
            if ~done
                here = drive(robot, v, w);
                statuses(end + 1, :) = [here.time here.x here.y here.v];
                rates(end + 1, 1) = here.w;
            end
            if toc(started) - lastDrawn >= 0.1 || done
                lastDrawn = toc(started);
                t = statuses(:, 1) - statuses(1, 1);
                set(pathLine, 'XData', statuses(:, 2), 'YData', statuses(:, 3));
                set(robotMark, 'XData', here.x, 'YData', here.y);
                set(speedLine, 'XData', t, 'YData', statuses(:, 4));
                set(turnLine, 'XData', t, 'YData', rates);
                drawnow;
                drawn = drawn + 1;
            end
        end
    end
end
stop(robot);
L = stopRecording(robot);
clear robot
seconds = toc(started);
fprintf('%d frames taken in, %d drawings in %.1f s: %.0f a second\n', numel(L.time), drawn, ...
        seconds, drawn / seconds);
title(pathAxes, sprintf('Driven live: %d drawings, %.0f a second', drawn, drawn / seconds));
title(speedAxes, sprintf('Speed and turn rate, %d replies', size(statuses, 1)));
if ~shown
    print(figureHandle, fullfile(pngFolder, 'live_plot.png'), pngDevice);
    fprintf('last frame saved to %s\n', fullfile(pngFolder, 'live_plot.png'));
end
