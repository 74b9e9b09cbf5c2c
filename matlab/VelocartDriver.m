% VelocartDriver  Drive a wheeled mobile robot over a serial port.
%
%   r = VelocartDriver('open', port)   open COM<port> (1 to 9999) at 115200 baud 8N1;
%                                      on Linux/macOS COM<n> is /dev/ttyS<n-1>
%   r = VelocartDriver('open', name)   open a device by name: 'COM12' on Windows,
%                                      '/dev/ttyUSB0' on Linux
%       r is int8: 0 when the port is open, -1 when it cannot be opened (the
%       console says why). Opening the port that is already open returns 0;
%       another port while one is open returns -1: close the first.
%   VelocartDriver('close')            release the port (no result)
%
%   e = VelocartDriver('sendVelocity', [v1 v2])   velocity command
%   e = VelocartDriver('setOdometry', [x y th])   overwrite the robot's odometry
%   e = VelocartDriver('setFreeWheels')           stop driving, wheels free
%       e is the 1x26 uint8 frame that was sent. Velocities are limited to
%       +-30 with a resolution of 1/256; values go through single precision.
%       Any real numeric or logical array with enough elements is accepted.
%       Bad input sends nothing, prints one line and returns a 1x0 uint8.
%       While no port is open, nothing is sent (each call pauses 10 ms).
%       If the port stops taking frames, the console says so once.
%
%   s = VelocartDriver('read')          the robot's latest status, 1x8 double:
%       s(1)    1 if a valid status frame was read, else 0 (then s(2:8) = 0)
%       s(2:4)  odometry components 1 to 3 (x, y, heading)
%       s(5:6)  velocity components 1 and 2
%       s(7:8)  auxiliary values 1 and 2 (range -8 to 8)
%       A read takes what has arrived since the last read and decodes the
%       frame at its start. If nothing new arrived (the robot went silent or
%       the cable was pulled), the previous frame is decoded again with its old
%       validity. If several frames queued up, the oldest is the one decoded:
%       read at least as often as the robot sends, and wait about 5 ms after a
%       command before reading its answer.
%
%   v = VelocartDriver('version')       the release, as a char row ('1.1.0')
%   VelocartDriver()                    print the banner (x = VelocartDriver() gives 0)
%       A name that is no command prints the list of commands and gives -1.
%
%   Example:
%       if VelocartDriver('open', 3) ~= 0, return; end
%       VelocartDriver('setOdometry', [0 0 0]);
%       for k = 1:100
%           VelocartDriver('sendVelocity', [0.2 0.5]);   % forward, turning
%           pause(0.02);
%           s = VelocartDriver('read');
%           if s(1), fprintf('x=%6.3f y=%6.3f th=%6.3f\n', s(2:4)); end
%       end
%       VelocartDriver('setFreeWheels');
%       VelocartDriver('close');
%
%   The port is also released when the module is cleared (clear VelocartDriver,
%   clear all) or MATLAB/Octave exits.

% This file holds the help text only; the command itself is the MEX file
% beside it.
