function loop_bench(port, rounds, way, result_file, name)
  % Times a request/response control loop against the simulated robot on a
  % paced wire: each round sends a velocity and takes the reply to it.
  %   way 'latest': sendVelocity, then readLatest(0.1), which returns with
  %                 the reply's last byte
  %   way 'pause':  sendVelocity, pause(0.01), read, as the README taught
  %   way 'background': as 'latest', with the module's thread reading the
  %                 link (background reading)
  % Each round's velocity differs from the last, so a reply that carries it
  % is the reply to this round's command. Appends "NAME_median", "NAME_p90"
  % (microseconds) and "NAME_matched" (replies carrying the commanded
  % velocity) to RESULT_FILE.
  if VelocartDriver('open', port) ~= 0
    error('loop_bench: cannot open %s', port);
  end
  VelocartDriver('background', strcmp(way, 'background'));
  VelocartDriver('setOdometry', [0 0 0]);
  VelocartDriver('readLatest', 0.1);              % its reply
  t = zeros(1, rounds);
  matched = 0;
  for k = 1:rounds
    v = 0.25 * (1 + mod(k, 4));
    started = tic;
    VelocartDriver('sendVelocity', [v 0]);
    if ~strcmp(way, 'pause')
      s = VelocartDriver('readLatest', 0.1);
    else
      pause(0.01);
      s = VelocartDriver('read');
    end
    t(k) = toc(started);
    matched = matched + (s(1) == 1 && s(5) == v);
  end
  VelocartDriver('setFreeWheels');
  VelocartDriver('readLatest', 0.1);
  VelocartDriver('close');
  sorted = sort(t);
  fid = fopen(result_file, 'a');
  fprintf(fid, '%s_median %.3f\n%s_p90 %.3f\n%s_matched %d\n%s_rounds %d\n', name, ...
          1e6 * median(t), name, 1e6 * sorted(ceil(0.9 * rounds)), name, matched, name, rounds);
  fclose(fid);
end
