function peer_hangup(peer)
  fprintf(peer.pipe, 'hangup\n');
  fflush(peer.pipe);
  pause(0.1);
end
