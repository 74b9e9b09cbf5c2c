function frames = sim_frames(folder, name, count)
  % The command frames the simulator NAME took in, from its log in FOLDER:
  % one row [seconds code v w] each. Waits (up to 2 s) for COUNT of them: on
  % a busy machine the simulator may not have read the last ones yet.
  t = tic;
  do
    rows = regexp(fileread(fullfile(folder, [name '.log'])), '([0-9.]+) rx ([0-9A-F ]+)', ...
                  'tokens');
    pause(0.01);
  until numel(rows) >= count || toc(t) > 2
  frames = zeros(numel(rows), 4);
  for k = 1:numel(rows)
    b = uint8(hex2dec(strsplit(strtrim(rows{k}{2}), ' ')))';
    frames(k, :) = [str2double(rows{k}{1}) double(b(7)) ...
                    double(typecast(b(11:12), 'int16')) / 256 double(typecast(b(9:10), 'int16')) / 256];
  end
end
