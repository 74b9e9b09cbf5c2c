function crc = crc16_cms(bytes)
  % Bitwise CRC-16/CMS (poly 0x8005, init 0xFFFF, no reflection).
  crc = 65535;
  for b = double(bytes(:)')
    crc = bitxor(crc, b * 256);
    for k = 1:8
      if bitand(crc, 32768)
        crc = bitxor(bitand(crc * 2, 65535), 32773);
      else
        crc = bitand(crc * 2, 65535);
      end
    end
  end
end
