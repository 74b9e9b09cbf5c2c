function plot_recording(L, titleText, pngFile)
% PLOT_RECORDING  Plot a recording: the path, and the speed and the turn
%   rate against time; save the figure as PNG.
%   plot_recording(L, titleText, pngFile) takes L as stopRecording gives
%   it; time runs from its first status.
[figureHandle, pngDevice] = png_figure(1000, 520);
t = L.time - L.time(1);
axes('Position', [0.56 0.57 0.41 0.33]);
plot(t, L.v, 'b-', 'LineWidth', 1.5);
grid on;
ylabel('speed [m/s]');
title(sprintf('%d statuses, at most %.1f ms apart', numel(t), 1000 * max(diff(t))));
axes('Position', [0.56 0.12 0.41 0.33]);
plot(t, L.w, 'r-', 'LineWidth', 1.5);
grid on;
xlabel('time [s]');
ylabel('turn rate [rad/s]');
% The path comes last: in Octave's gnuplot, axis equal would also squeeze
% the axes drawn after it.
axes('Position', [0.06 0.12 0.4 0.78]);
draw_path(L.x, L.y);
axis equal;
grid on;
xlabel('x [m]');
ylabel('y [m]');
title(titleText, 'Interpreter', 'none');
margin = 0.15 * max([max(L.x) - min(L.x), max(L.y) - min(L.y), 0.1]);
axis([min(L.x) - margin, max(L.x) + margin, min(L.y) - margin, max(L.y) + margin]);
print(figureHandle, pngFile, pngDevice);
close(figureHandle);
fprintf('recording saved to %s\n', pngFile);
end
