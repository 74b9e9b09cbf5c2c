function peer = peer_start(name)
  % Starts a pty peer whose slave side is reached through a link called NAME
  % in the test's temp folder. Its record file collects every byte received.
  dir = getenv('VELOCART_TEST_DIR');
  peer.link = fullfile(dir, name);
  peer.record = fullfile(dir, [name '.bin']);
  cmd = sprintf('%s --link %s --record %s', getenv('VELOCART_PTY_PEER'), peer.link, peer.record);
  peer.pipe = popen(cmd, 'w');
  for i = 1:250
    if exist(peer.link, 'file')
      return;
    end
    pause(0.02);
  end
  error('pty peer did not come up at %s', peer.link);
end
