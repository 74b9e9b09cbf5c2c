function mexFile = build_velocartdriver(outputDir)
%BUILD_VELOCARTDRIVER  Build the VelocartDriver MEX file for the host running it.
%   BUILD_VELOCARTDRIVER builds VelocartDriver.<mexext> into the folder
%   that holds this script.
%   BUILD_VELOCARTDRIVER(OUTPUTDIR) builds it into OUTPUTDIR (created if
%   needed) and copies the help file VelocartDriver.m and VelocartRobot.m
%   there, so that the folder is all the path needs.
%   MEXFILE = BUILD_VELOCARTDRIVER(...) returns the full path of the file.
%
%   In MATLAB it calls mex with the R2017b API and 32-bit array dimensions
%   (-R2017b -compatibleArrayDims, MX_COMPAT_32, VELOCART_HOST_MATLAB); in
%   GNU Octave it calls mkoctfile --mex (VELOCART_HOST_OCTAVE). Either way
%   it compiles src/gateway/*.cpp, src/protocol/*.cpp, src/serial/serial_link.cpp,
%   src/serial/port_list.cpp and the serial backend of this platform
%   (serial_link_win32.cpp and port_list_win32.cpp on Windows, else
%   serial_link_posix.cpp and port_list_posix.cpp), with src/ on the include
%   path, as C++17.
%
%   The new module can be called at once: a module of that name already
%   loaded is cleared first (its robots are told to stop and its ports
%   closed), and the path is read again, so that the help file
%   VelocartDriver.m, found on the path before, no longer stands for it.
%
%   Needs a C++17 compiler that the host knows: 'mex -setup C++' in MATLAB;
%   in Octave, the compiler mkoctfile was configured with (g++ 7 or newer).
%
%   Example:
%       build_velocartdriver();
%       addpath(fileparts(which('build_velocartdriver')));
%       VelocartDriver()      % prints the banner

here = fileparts(mfilename('fullpath'));
root = fileparts(here);
if nargin < 1 || isempty(outputDir)
    outputDir = here;
end
if ~exist(outputDir, 'dir')
    mkdir(outputDir);
end

src = fullfile(root, 'src');
sources = {};
for folder = {'gateway', 'protocol'}
    files = dir(fullfile(src, folder{1}, '*.cpp'));
    for k = 1:numel(files)
        sources{end + 1} = fullfile(src, folder{1}, files(k).name); %#ok<AGROW>
    end
end
if ispc
    platform = 'win32';
else
    platform = 'posix';
end
for name = {'serial_link', 'port_list'}
    sources{end + 1} = fullfile(src, 'serial', [name{1} '.cpp']); %#ok<AGROW>
    sources{end + 1} = fullfile(src, 'serial', [name{1} '_' platform '.cpp']); %#ok<AGROW>
end
mexFile = fullfile(outputDir, ['VelocartDriver.' mexext()]);
version = strtrim(fileread(fullfile(root, 'VERSION')));

% A loaded module keeps its file in use (on Windows it cannot be written),
% and the host would go on calling it.
clear('VelocartDriver');
if exist('OCTAVE_VERSION', 'builtin') ~= 0
    buildWithOctave(src, sources, mexFile, version);
else
    buildWithMatlab(src, sources, outputDir, version);
end
if ~exist(mexFile, 'file')
    error('build_velocartdriver:missing', 'build_velocartdriver: %s was not created', mexFile);
end
% Help for a MEX file comes from the .m file of its name beside it, and the
% class calls the module: both go wherever the module does.
[~, outputInfo] = fileattrib(outputDir);
[~, hereInfo] = fileattrib(here);
if ~strcmp(outputInfo.Name, hereInfo.Name)
    for name = {'VelocartDriver.m', 'VelocartRobot.m'}
        copyfile(fullfile(here, name{1}), outputDir);
    end
end
% Until the path is read again, a VelocartDriver.m the host found there
% before stays what the name calls, a script ("invalid call to script").
rehash;
fprintf('build_velocartdriver: built %s\n', mexFile);
end

function buildWithOctave(src, sources, mexFile, version)
% mkoctfile takes its compiler flags from CXXFLAGS; add the standard to
% Octave's own flags for this one build and put the variable back after.
saved = getenv('CXXFLAGS');
setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' -std=c++17']);
try
    [output, status] = mkoctfile('--mex', '-DVELOCART_HOST_OCTAVE', ...
                                 ['-DVELOCART_VERSION=' version], ['-I' src], ...
                                 '-o', mexFile, sources{:});
catch failure
    setenv('CXXFLAGS', saved);
    rethrow(failure);
end
setenv('CXXFLAGS', saved);
if status ~= 0
    error('build_velocartdriver:mkoctfile', 'build_velocartdriver: mkoctfile failed:\n%s', output);
end
end

function buildWithMatlab(src, sources, outputDir, version)
args = {'-R2017b', '-compatibleArrayDims', '-DMX_COMPAT_32', '-DVELOCART_HOST_MATLAB', ...
        ['-DVELOCART_VERSION=' version], ...
        ['-I' src], '-outdir', outputDir, '-output', 'VelocartDriver'};
compiler = mex.getCompilerConfigurations('C++', 'Selected');
if ispc && ~isempty(compiler) && ~isempty(strfind(lower(compiler.ShortName), 'msvc'))
    args{end + 1} = 'COMPFLAGS=$COMPFLAGS /std:c++17';
else
    args{end + 1} = 'CXXFLAGS=$CXXFLAGS -std=c++17';
end
if ispc
    % wsprintfA formats the COM device path; SetupAPI and the registry list
    % the ports.
    args = [args, {'-luser32', '-lsetupapi', '-ladvapi32'}];
end
mex(args{:}, sources{:});
end
