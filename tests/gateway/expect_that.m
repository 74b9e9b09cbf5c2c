function failed = expect_that(failed, ok, varargin)
  % Notes a failed check and goes on: at the prompt an error would end
  % only its own line.
  if ~ok
    failed{end + 1} = sprintf(varargin{:});
    printf('FAIL: %s\n', failed{end});
  end
end
