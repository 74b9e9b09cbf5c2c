function ports_bench(rounds, result_file)
  % Times the port table and the probe on this machine's own ports:
  % 'ports' (nothing opened) as the median of ROUNDS calls, and one
  % 'ports', 'probe' divided by the ports it checked (the free ones this
  % user may open; each gets a zero-velocity frame if it stays silent).
  % Appends "ports_median" (microseconds), "ports_rounds", "ports_count",
  % "probe_per_port" (microseconds) and "probe_checked" to RESULT_FILE.
  t = zeros(1, rounds);
  for k = 1:rounds
    started = tic;
    P = VelocartDriver('ports');
    t(k) = toc(started);
  end
  started = tic;
  probed = VelocartDriver('ports', 'probe');
  probe_time = toc(started);
  checked = sum(~isnan([probed.robot]));
  fid = fopen(result_file, 'a');
  fprintf(fid, 'ports_median %.3f\nports_rounds %d\nports_count %d\n', 1e6 * median(t), ...
          rounds, numel(P));
  fprintf(fid, 'probe_per_port %.3f\nprobe_checked %d\n', 1e6 * probe_time / max(checked, 1), ...
          checked);
  fclose(fid);
end
