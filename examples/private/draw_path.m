function draw_path(x, y)
% DRAW_PATH  Draw the path through the points x, y into the current axes.
%   draw_path(x, y) draws the path with arrows along it for the direction of
%   travel, marks its start with a ring and its end with a smaller cross,
%   so that both show where the path ends where it began, and puts the
%   legend right of the axes, off the path.
x = x(:);
y = y(:);
drawn = plot(x, y, 'b-', 'LineWidth', 1.5);
hold on;
steps = hypot(diff(x), diff(y));
along = [0; cumsum(steps)];
if along(end) > 0
    % Eight arrows, evenly spread along the path, each centred on it.
    at = along(end) * ((1:8)' - 0.5) / 8;
    k = arrayfun(@(a) find(along < a, 1, 'last'), at);
    ux = (x(k + 1) - x(k)) ./ steps(k);
    uy = (y(k + 1) - y(k)) ./ steps(k);
    arrowLength = 0.08 * max([max(x) - min(x), max(y) - min(y)]);
    px = x(k) + ux .* (at - along(k) - arrowLength / 2);
    py = y(k) + uy .* (at - along(k) - arrowLength / 2);
    quiver(px, py, ux * arrowLength, uy * arrowLength, 0, 'b', 'LineWidth', 1.5, ...
           'MaxHeadSize', 0.5);
end
start = plot(x(1), y(1), 'o', 'Color', [0 0.6 0], 'LineWidth', 2, 'MarkerSize', 14);
finish = plot(x(end), y(end), 'rx', 'LineWidth', 2, 'MarkerSize', 8);
legend([drawn start finish], {'path', 'start', 'end'}, 'Location', 'eastoutside');
end
