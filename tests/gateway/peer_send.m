function peer_send(peer, bytes)
  % Sends BYTES (a uint8 vector) from the far end towards the driver.
  fprintf(peer.pipe, 'send %s\n', sprintf('%02X', bytes));
  fflush(peer.pipe);
end
