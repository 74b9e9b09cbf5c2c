% Run by test_two_copies.sh: VelocartDriver and RobotB are copies of the
% same module, each driving its own simulated robot.
robot_a = getenv('VELOCART_ROBOT_A');
robot_b = getenv('VELOCART_ROBOT_B');
assert(VelocartDriver('open', robot_a) == 0, 'VelocartDriver opens robot A');
assert(RobotB('open', robot_b) == 0, 'RobotB opens robot B while robot A is open');
% Robot A's port, held by the other copy: the lines name this copy and the holder.
out = evalc('r = RobotB(2, ''open'', robot_a);');
assert(r == -1 && strcmp(out, sprintf(['I cannot open %s!\nRobotB: link 2: Device or resource ' ...
       'busy; another copy of the module in this session holds the port: close it there ' ...
       'first.\n'], robot_a)), 'robot A''s port from RobotB: %s', out);

VelocartDriver('setOdometry', [1 2 0.5]);
RobotB('setOdometry', [-3 4 -1]);
% Each reply is awaited, not guessed at: a loaded machine may be slow.
a = VelocartDriver('readLatest', 2);
b = RobotB('readLatest', 2);
assert(isequal(a(1:4), [1 1 2 0.5]), 'VelocartDriver reads robot A: %s', mat2str(a));
assert(isequal(b(1:4), [1 -3 4 -1]), 'RobotB reads robot B: %s', mat2str(b));

% Closing one copy leaves the other's port open.
VelocartDriver('close');
RobotB('sendVelocity', [0.5 0.25]);
b = RobotB('readLatest', 2);
assert(b(1) == 1 && isequal(b(5:6), [0.5 0.25]), 'RobotB still drives robot B: %s', mat2str(b));
RobotB('setFreeWheels');
pause(0.1);
RobotB('close');
a = VelocartDriver('read');
printf('robot A: %s\nrobot B: %s\n', mat2str(a), mat2str(RobotB('read')));
