function [good, broken, start] = sim_log_frames(text)
  % The status frames in the text of a velocart-sim log (--log), in the order
  % they were handed over: one row [hand-over of the last byte, clock field
  % (element 7)] per whole frame, the good ones and those whose checksum was
  % broken apart. Times are seconds since the simulator's start; START is
  % that start on CLOCK_MONOTONIC, from the log's first line (NaN without).
  start = NaN;
  first = regexp(text, '^[0-9.]+ start ([0-9.]+)$', 'tokens', 'once', 'lineanchors');
  if ~isempty(first)
    start = str2double(first{1});
  end
  lines = strsplit(strtrim(text), "\n");
  bytes = zeros(1, 0);
  times = zeros(1, 0);
  for i = 1:numel(lines)
    fields = strsplit(lines{i}, ' ');
    if numel(fields) > 2 && strcmp(fields{2}, 'tx')
      chunk = hex2dec(fields(3:end))';
      bytes = [bytes chunk];
      times = [times repmat(str2double(fields{1}), 1, numel(chunk))];
    end
  end
  good = zeros(0, 2);
  broken = zeros(0, 2);
  % A frame's header can also turn up inside another frame's bytes: after a
  % whole frame the scan goes on behind it.
  starts = find(bytes(1:end - 29) == 170 & bytes(2:end - 28) == 26 & bytes(3:end - 27) == 0);
  next = 1;
  for at = starts
    if at < next
      continue;
    end
    next = at + 30;
    frame = uint8(bytes(at:at + 29));
    row = [times(at + 29), double(typecast(frame(27:28), 'int16')) / 4096];
    if crc16_cms(frame(2:28)) == double(frame(29)) * 256 + double(frame(30))
      good(end + 1, :) = row;
    else
      broken(end + 1, :) = row;
    end
  end
end
