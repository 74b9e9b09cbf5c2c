function frame = status_frame_bytes(odometry, velocity, aux)
  % A 30-byte status frame as the robot sends it: odometry as singles,
  % velocities in 8.8 and auxiliary values in 4.12 fixed point, component 2
  % before component 1, CRC-16/CMS over offsets 1..27 big-endian at 28.
  frame = zeros(1, 30, 'uint8');
  frame(1:2) = [hex2dec('AA') 26];
  frame(9:10) = typecast(int16(fix(velocity(2) * 256)), 'uint8');
  frame(11:12) = typecast(int16(fix(velocity(1) * 256)), 'uint8');
  frame(13:24) = typecast(single(odometry(:)'), 'uint8');
  frame(25:26) = typecast(int16(fix(aux(2) * 4096)), 'uint8');
  frame(27:28) = typecast(int16(fix(aux(1) * 4096)), 'uint8');
  crc = crc16_cms(frame(2:28));
  frame(29:30) = uint8([bitshift(crc, -8), bitand(crc, 255)]);
end
