function plot_path(poses, titleText, pngFile, limits)
% PLOT_PATH  Plot the x, y columns of POSES and save the figure as PNG.
%   plot_path(poses, titleText, pngFile, limits) draws the path, marks its
%   start and end, and writes pngFile; limits is [xmin xmax ymin ymax].
%   It needs no display: Octave draws with gnuplot, which writes the PNG
%   itself (its pngcairo terminal); MATLAB prints PNG on its own.
isOctave = exist('OCTAVE_VERSION', 'builtin') ~= 0;
pngDevice = '-dpng';
if isOctave
    warning('off', 'Octave:gnuplot-graphics');
    warning('off', 'print:nogs');   % pngcairo needs no Ghostscript
    graphics_toolkit('gnuplot');
    pngDevice = '-dpngcairo';
end
figureHandle = figure('visible', 'off', 'Position', [100 100 640 560]);
plot(poses(:, 1), poses(:, 2), 'b-', 'LineWidth', 1.5);
hold on;
plot(poses(1, 1), poses(1, 2), 'go', 'MarkerSize', 8);
plot(poses(end, 1), poses(end, 2), 'rx', 'MarkerSize', 8);
axis equal;
grid on;
xlabel('x [m]');
ylabel('y [m]');
title(titleText, 'Interpreter', 'none');
legend('path', 'start', 'end', 'Location', 'northeast');
axis(limits);
print(figureHandle, pngFile, pngDevice);
close(figureHandle);
fprintf('path saved to %s\n', pngFile);
end
