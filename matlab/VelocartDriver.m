% VelocartDriver  Drive a wheeled mobile robot over a serial port.
%
%   r = VelocartDriver('open', port)   open COM<port> (1 to 9999) at 115200 baud 8N1;
%                                      on Linux/macOS COM<n> is /dev/ttyS<n-1>
%   r = VelocartDriver('open', name)   open a device by name: 'COM12' on Windows,
%                                      '/dev/ttyUSB0' on Linux
%   r = VelocartDriver('open', id)     open a USB adapter by its identity,
%                                      'usb:0403:6001:FT1234', wherever it is
%       r is int8: 0 when the port is open, -1 when it cannot be opened (the
%       console says why: who holds it, or which group may open it, where
%       the system tells). Opening the port that is already open returns 0;
%       another port while one is open returns -1: close the first. Whatever
%       arrived before the open is discarded, and nothing of an earlier
%       connection on the link is kept (its frames, stamps, ring).
%   [r, reason] = VelocartDriver('open', port)   also why, as data:
%       reason.identifier  '' when open, else a stable identifier to test:
%                          VelocartDriver:notFound, :busy, :busyHere,
%                          :accessDenied, :notSerial, :settingsRejected,
%                          :refused, :alreadyOpen, :openOnLink, :badPort,
%                          :badArgument
%       reason.message     the line the console shows ('' when open)
%       reason.device      the device it is about; reason.link the link
%                          that holds it (or the link now open)
%   VelocartDriver('close')            release the port (no result); a robot
%                                      last told to move is told to stop
%                                      first (zero velocity, free wheels)
%
%   e = VelocartDriver('sendVelocity', [v1 v2])   velocity command
%   e = VelocartDriver('setOdometry', [x y th])   overwrite the robot's odometry
%   e = VelocartDriver('setFreeWheels')           stop driving, wheels free
%       e is the 1x26 uint8 frame that was sent. Velocities are limited to
%       +-30 with a resolution of 1/256; values go through single precision.
%       Any real numeric or logical array with enough elements is accepted.
%       Bad input (NaN and Inf included) sends nothing, prints one line and
%       returns a 1x0 uint8. While no port is open, nothing is sent (each
%       call pauses 10 ms). If the port stops taking frames, the console says
%       so once.
%
%   s = VelocartDriver('readLatest')          the newest status, 1x8 double
%   s = VelocartDriver('readLatest', timeout) the same, waiting up to timeout seconds
%   [s, t] = VelocartDriver('readLatest', ...) and the time the frame arrived
%       s(1)    1 if a status frame was completed since the last readLatest,
%               else 0 (then s(2:8) repeat the last frame received, zeros
%               before the first)
%       s(2:4)  odometry components 1 to 3 (x, y, heading)
%       s(5:6)  velocity components 1 and 2
%       s(7:8)  auxiliary values 1 and 2 (range -8 to 8)
%       t       seconds since the port was opened at which the frame in s
%               arrived (NaN before the first frame)
%       Takes every byte that has arrived, keeps a frame that is still
%       arriving for the next call, skips garbage and broken frames, and
%       decodes the newest good frame. With a timeout (0 to 60 s) and no new
%       frame yet, it waits for one and returns as soon as its last byte is
%       in: send a command, then readLatest(0.1) gets its reply without a
%       guessed pause. Use it for control loops and for robots that stream.
%
%   [S, T] = VelocartDriver('readAll')          every status since the last readAll
%   [S, T] = VelocartDriver('readAll', timeout) waiting for at least one
%       S is Kx8, one row per frame, oldest first, laid out as s above (S(:,1)
%       is 1); T is Kx1, the time each arrived. K is 0 when none came. The
%       driver keeps the last 1024 frames, whichever command took them in
%       (readLatest too): more than that since the last readAll, and the
%       oldest are gone (the console says how many).
%       Times: a frame is stamped at the read that found it, less the line
%       time of the bytes that were queued behind it then, so frames that
%       crossed the wire back to back keep their spacing, also across a
%       backlog taken in several reads. Stamps always increase. A frame that
%       waited in the operating system's buffer is stamped when the driver
%       read it: for true arrival times, call often or wait with a timeout.
%       Lost frames: the ring's overwrites are counted exactly; frames the
%       system dropped before the driver read them are reported where its
%       serial driver counts them (Linux serial drivers' overrun counts,
%       Windows' overrun flags); a pseudo-terminal keeps no count, and its
%       losses cannot be seen.
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
%       read and readLatest/readAll take bytes from the same line: a program
%       uses one or the other. A refused timeout reads nothing: readLatest
%       gives zeros, readAll nothing, and no frame is taken.
%
%   Several robots: links. Every command takes a link number (1 to 32) first:
%   VelocartDriver(2, 'open', '/dev/ttyUSB1') opens a second robot on link 2,
%   and VelocartDriver(2, 'sendVelocity', [v w]) drives it. Without a number
%   a command is on link 1. A device is open on one link at a time.
%   e = VelocartDriver(ks, 'sendVelocity', V)  V has one row [v w] per link of ks
%   S = VelocartDriver(ks, 'readLatest', timeout) one row per link, all waited
%       for against one deadline: a round of N robots takes about as long as
%       one, as the wires work in parallel
%   VelocartDriver('links')            print the open links and their ports
%   n = VelocartDriver('links')        the open link numbers, a column
%   k = VelocartDriver('linkOf', port) the link that has this port open, or 0
%
%   Finding the robot: ports and identities.
%   P = VelocartDriver('ports')        the serial ports of this machine, a 1xN
%                                      struct array (no output: a line each)
%       name     what open takes ('COM5', '/dev/ttyUSB0')
%       kind     'usb', 'builtin', 'bluetooth' or 'other'
%       vid, pid the USB vendor and product numbers (0 when not USB)
%       serial   the USB serial number ('' when none)
%       description  manufacturer and product, where known
%       id       a stable identity: 'usb:VVVV:PPPP:SERIAL' for a USB adapter
%                (the numbers as lsusb prints them), the name for others
%       heldBy   '', 'link K', or 'another program (NAME, pid N)' where the
%                system tells (Linux; on Windows only a probe finds out)
%       access   'ok', or why this user may not open it, with the fix
%       robot    1 when a robot answered, 0 when not, NaN when not checked
%       Nothing is opened. Left out: names with no device behind them,
%       pseudo-terminals and consoles.
%   P = VelocartDriver('ports', 'probe')  also checks each port nobody holds
%       and this user may open: it listens for a status frame, else sends
%       one zero-velocity frame and waits for the reply; at most 150 ms a
%       port, which is closed again.
%   'open' takes an identity whole or in part: 'usb:0403:6001' opens the only
%   such adapter and refuses several, naming them; a line names the device.
%   A link opened by identity follows its adapter: unplugged, calls fail as
%   on any lost link; plugged in again, under any name, the next call on the
%   link reopens it, and one line says so. A link opened by a name or a
%   number is never moved to another device.
%
%   Stopping safely:
%   - Ctrl-C while the module waits (readLatest, readAll with a timeout) ends
%     the wait within 20 ms: every open robot is told to stop (a zero
%     velocity, then free wheels), one line says so, and MATLAB or Octave
%     then stops the program as usual.
%   - A Ctrl-C between the module's calls (in your own code, a pause, a
%     drawnow) is not seen by the module: MATLAB and Octave handle it
%     themselves. The watchdog below is the safety net for those;
%     VelocartRobot turns it on by default.
%   - close, and unloading the module (clear VelocartDriver, clear all, and
%     clear mex in MATLAB; clear functions in Octave, whose clear mex
%     unloads nothing; or on exit): each robot last told to move is told to
%     stop, then its port is released.
%   w = VelocartDriver('watchdog', seconds)   0.05 to 60; 0 turns it off (the
%       default). While it is on and the port is open, a robot last told to
%       move that gets no frame command for that long is told to stop, once,
%       from a thread of the module's own; the next call says so, and how to
%       change the setting. Each link has its own;
%       w = VelocartDriver('watchdog') gives the setting.
%
%   v = VelocartDriver('version')       the release, as a char row ('1.2.0')
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
%   line, which begins with the name the module was called by. Asking for a
%   result a command does not give (y = VelocartDriver('close')) is the
%   host's usual error. A port that goes away (a USB adapter unplugged) is
%   let go at once: plug it back in and open it again.
%
%   Through a USB adapter a reply can be held up to the adapter's latency
%   timer (16 ms on FTDI). On Linux, open asks for the 1 ms low-latency mode;
%   on Windows set Device Manager > Ports > the port > Port Settings >
%   Advanced > Latency Timer to 1 ms.

% This file holds the help text only; the command itself is the MEX file
% beside it.
