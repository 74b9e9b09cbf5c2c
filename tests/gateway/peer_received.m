function bytes = peer_received(peer, expected, wait_s)
  % The bytes the far end has received so far, waiting up to WAIT_S seconds
  % (default 2) for at least EXPECTED of them.
  if nargin < 3
    wait_s = 2;
  end
  t = tic;
  while true
    bytes = read_record(peer.record);
    if numel(bytes) >= expected || toc(t) > wait_s
      return;
    end
    pause(0.01);
  end
end

function bytes = read_record(path)
  bytes = uint8([]);
  fid = fopen(path, 'r');
  if fid < 0
    return;
  end
  bytes = uint8(fread(fid, Inf, 'uint8=>uint8')');
  fclose(fid);
end
