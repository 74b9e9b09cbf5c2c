function plot_path(poses, titleText, pngFile, limits)
% PLOT_PATH  Plot the x, y columns of POSES and save the figure as PNG.
%   plot_path(poses, titleText, pngFile, limits) draws the path, marks its
%   start and end, and writes pngFile; limits is [xmin xmax ymin ymax].
[figureHandle, pngDevice] = png_figure(640, 560);
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
