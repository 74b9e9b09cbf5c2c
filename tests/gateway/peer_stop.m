function peer_stop(peer)
  fprintf(peer.pipe, 'quit\n');
  fflush(peer.pipe);
  pclose(peer.pipe);
end
