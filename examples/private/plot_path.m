function plot_path(poses, titleText, pngFile, limits)
% PLOT_PATH  Plot the x, y columns of POSES and save the figure as PNG.
%   plot_path(poses, titleText, pngFile, limits) draws the path, the
%   direction of travel and its start and end (draw_path), and writes
%   pngFile; limits is [xmin xmax ymin ymax].
[figureHandle, pngDevice] = png_figure(760, 560);
draw_path(poses(:, 1), poses(:, 2));
axis equal;
grid on;
xlabel('x [m]');
ylabel('y [m]');
title(titleText, 'Interpreter', 'none');
axis(limits);
print(figureHandle, pngFile, pngDevice);
close(figureHandle);
fprintf('path saved to %s\n', pngFile);
end
