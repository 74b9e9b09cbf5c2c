function [figureHandle, pngDevice] = png_figure(width, height)
% PNG_FIGURE  An invisible figure of WIDTH x HEIGHT pixels, and the device
%   to print it to PNG with: print(figureHandle, pngFile, pngDevice).
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
figureHandle = figure('visible', 'off', 'Position', [100 100 width height]);
end
