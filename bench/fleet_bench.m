function fleet_bench(ports, rounds, result_file, name)
  % Several robots from one session: link k drives the simulated robot on
  % PORTS{k}. Each round commands every robot a velocity of its own and
  % takes every reply, two ways:
  %   together: VelocartDriver(ks, 'sendVelocity', V), then
  %             VelocartDriver(ks, 'readLatest', 0.1): one call each
  %   each:     the same as a loop over the links in m-code, all the sends
  %             first, then all the reads
  % A reply that carries its own robot's velocity of this round answers this
  % round's command on the right link. Appends NAME_<way>_median and _p90
  % (microseconds a round), _matched (replies carrying their robot's
  % velocity) and _replies (replies due), and NAME_rounds, to RESULT_FILE.
  ks = 1:numel(ports);
  for k = ks
    if VelocartDriver(k, 'open', ports{k}) ~= 0
      error('fleet_bench: cannot open %s', ports{k});
    end
    VelocartDriver(k, 'setOdometry', [0 0 0]);
  end
  VelocartDriver(ks, 'readLatest', 0.1);           % their replies
  fid = fopen(result_file, 'a');
  fprintf(fid, '%s_rounds %d\n', name, rounds);
  for way = {'together', 'each'}
    [t, matched] = rounds_of(way{1}, ks, rounds);
    sorted = sort(t);
    key = [name '_' way{1}];
    fprintf(fid, '%s_median %.3f\n%s_p90 %.3f\n%s_matched %d\n%s_replies %d\n', key, ...
            1e6 * median(t), key, 1e6 * sorted(ceil(0.9 * rounds)), key, matched, key, ...
            rounds * numel(ks));
  end
  fclose(fid);
  for k = ks
    VelocartDriver(k, 'setFreeWheels');
  end
  VelocartDriver(ks, 'readLatest', 0.1);
  for k = ks
    VelocartDriver(k, 'close');
  end
end

function [t, matched] = rounds_of(way, ks, rounds)
  t = zeros(1, rounds);
  matched = 0;
  S = zeros(numel(ks), 8);
  for r = 1:rounds
    % Each robot's pair differs from the others' (the turn rate) and from
    % its own last round (the speed); eighths travel in the frames exactly.
    V = [0.25 + mod(r + ks', 4) / 8, ks' / 8];
    started = tic;
    if strcmp(way, 'together')
      VelocartDriver(ks, 'sendVelocity', V);
      S = VelocartDriver(ks, 'readLatest', 0.1);
    else
      for k = ks
        VelocartDriver(k, 'sendVelocity', V(k, :));
      end
      for k = ks
        S(k, :) = VelocartDriver(k, 'readLatest', 0.1);
      end
    end
    t(r) = toc(started);
    matched = matched + sum(S(:, 1) == 1 & S(:, 5) == V(:, 1) & S(:, 6) == V(:, 2));
  end
end
