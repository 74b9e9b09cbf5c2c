function frame = mcode_velocity_frame(v)
  % The velocity frame as a user would build it without the driver: plain
  % m-code, the 26 bytes and a table-driven CRC-16/CMS (poly 0x8005, init
  % 0xFFFF) over bytes 2..24. Odometry fields are left at zero.
  persistent table
  if isempty(table)
    table = zeros(1, 256);
    for i = 0:255
      reg = i * 256;
      for bit = 1:8
        if reg >= 32768
          reg = bitxor(mod(reg * 2, 65536), 32773);
        else
          reg = reg * 2;
        end
      end
      table(i + 1) = reg;
    end
  end
  w = single(v);
  w(isnan(w)) = 0;
  w = min(max(w, single(-30)), single(30));
  fixed = int16(fix(w * single(256)));
  frame = zeros(1, 26, 'uint8');
  frame(1:8) = [170 22 0 3 0 1 3 0];
  frame(9:10) = typecast(fixed(2), 'uint8');
  frame(11:12) = typecast(fixed(1), 'uint8');
  crc = 65535;
  for b = double(frame(2:24))
    crc = bitxor(mod(crc * 256, 65536), table(bitxor(floor(crc / 256), b) + 1));
  end
  frame(25) = floor(crc / 256);
  frame(26) = mod(crc, 256);
end
