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
%   s = VelocartDriver('readLatest')          the newest status, 1x8 double
%   s = VelocartDriver('readLatest', timeout) the same, waiting up to timeout seconds
%       s(1)    1 if a status frame was completed since the last readLatest,
%               else 0 (then s(2:8) repeat the last frame received, zeros
%               before the first)
%       s(2:4)  odometry components 1 to 3 (x, y, heading)
%       s(5:6)  velocity components 1 and 2
%       s(7:8)  auxiliary values 1 and 2 (range -8 to 8)
%       Takes every byte that has arrived, keeps a frame that is still
%       arriving for the next call, skips garbage and broken frames, and
%       decodes the newest good frame. With a timeout (0 to 60 s) and no new
%       frame yet, it waits for one and returns as soon as its last byte is
%       in: send a command, then readLatest(0.1) gets its reply without a
%       guessed pause. Use it for control loops and for robots that stream.
%
%   s = VelocartDriver('read')          the status at the start of what arrived
%       One read of what has arrived since the last read; the frame at its
%       start is decoded (same layout; s(1) is 0 and s(2:8) zeros for an
%       invalid frame). If nothing new arrived (the robot went silent or the
%       cable was pulled), the previous frame is decoded again with its old
%       validity. If several frames queued up, the oldest is the one decoded:
%       read at least as often as the robot sends, and wait about 5 ms after a
%       command before reading its answer (longer through a USB adapter).
%
%       read and readLatest take bytes from the same line: a program uses one
%       or the other.
%
%   v = VelocartDriver('version')       the release, as a char row ('1.1.0')
%   VelocartDriver()                    print the banner (x = VelocartDriver() gives 0)
%       A name that is no command prints the list of commands and gives -1.
%
%   Example:
%       if VelocartDriver('open', 3) ~= 0, return; end
%       VelocartDriver('setOdometry', [0 0 0]);
%       VelocartDriver('readLatest', 0.1);                 % take its reply
%       for k = 1:100
%           VelocartDriver('sendVelocity', [0.2 0.5]);   % forward, turning
%           s = VelocartDriver('readLatest', 0.1);       % wait for the reply
%           if s(1), fprintf('x=%6.3f y=%6.3f th=%6.3f\n', s(2:4)); end
%       end
%       VelocartDriver('setFreeWheels');
%       VelocartDriver('close');
%
%   Errors: the module raises none of its own. Bad input, a port that cannot
%   be opened and a broken line are reported by the result and one console
%   line. Asking for a result a command does not give (y = VelocartDriver('close'))
%   is the host's usual error.
%
%   Through a USB adapter a reply can be held up to the adapter's latency
%   timer (16 ms on FTDI). On Linux, open asks for the 1 ms low-latency mode;
%   on Windows set Device Manager > Ports > the port > Port Settings >
%   Advanced > Latency Timer to 1 ms.
%
%   The port is also released when the module is cleared (clear VelocartDriver,
%   clear all) or MATLAB/Octave exits.

% This file holds the help text only; the command itself is the MEX file
% beside it.
