function standin_script(script_path)
% standin_script(SCRIPT) runs a call script of the stand-in host
% (tests/standin/standin_host.cpp describes the format) against the
% VelocartDriver on Octave's path, and prints the same transcript the
% stand-in host prints, so the two hosts can be compared line by line.
  text = fileread(script_path);
  lines = strsplit(text, "\n", "CollapseDelimiters", false);
  for n = 1:numel(lines)
    line = lines{n};
    if ~isempty(line) && line(end) == "\r"
      line(end) = [];
    end
    line = strtrim(line);
    if isempty(line) || line(1) == '#'
      continue;
    end
    label = sprintf('@%d', n);
    if line(1) == '@'
      space = find(line == ' ' | line == "\t", 1);
      if isempty(space)
        label = line;
        line = '';
      else
        label = line(1:space - 1);
        line = strtrim(line(space:end));
      end
    end
    printf('%s >> %s\n', label, line);
    if strncmp(line, '!sleep ', 7)
      pause(str2double(line(8:end)) / 1000);
      continue;
    end
    if strcmp(line, '!clear')
      clear VelocartDriver;
      continue;
    end
    [nout, args, ok] = parse_call(line);
    if isempty(line) || line(1) == '!' || ~ok
      printf('%s script error: cannot read this line\n', label);
      error('standin_script: line %d cannot be read', n);
    end
    run_call(label, nout, args);
  end
  printf('end of script\n');
end

function run_call(label, nout, args)
  failed = false;
  clear ans;
  % Named outputs, so that one the module leaves unassigned is the host's
  % error, as in MATLAB.
  outputs = strjoin(arrayfun(@(k) sprintf('out%d', k), 1:nout, 'UniformOutput', false), ',');
  started = tic;
  if nout == 0
    printed = evalc('try, VelocartDriver(args{:}); catch, failed = true; end');
  else
    printed = evalc(['try, [' outputs '] = VelocartDriver(args{:}); catch, failed = true; end']);
  end
  elapsed = 1000 * toc(started);
  print_printed(label, printed);
  if failed
    printf('%s host error\n', label);
  elseif nout == 0
    if exist('ans', 'var')
      printf('%s result %s\n', label, describe(ans));
    else
      printf('%s result none\n', label);
    end
  else
    for k = 1:nout
      name = 'result';
      if k > 1
        name = sprintf('result%d', k);
      end
      printf('%s %s %s\n', label, name, describe(eval(sprintf('out%d', k))));
    end
  end
  printf('%s took %.1f ms\n', label, elapsed);
end

function print_printed(label, printed)
  start = 1;
  while start <= numel(printed)
    stop = find(printed(start:end) == "\n", 1);
    if isempty(stop)
      stop = numel(printed);
    else
      stop = start + stop - 1;
    end
    printf('%s printed "%s"\n', label, escape(printed(start:stop)));
    start = stop + 1;
  end
end

function [nout, args, ok] = parse_call(line)
  nout = 0;
  args = {};
  ok = true;
  rest = line;
  equals = find(line == '=', 1);
  if ~isempty(equals)
    left = strtrim(line(1:equals - 1));
    if is_identifier(left)
      nout = 1;
      rest = strtrim(line(equals + 1:end));
    elseif numel(left) >= 2 && left(1) == '[' && left(end) == ']'
      names = strsplit(left(2:end - 1), ',', 'CollapseDelimiters', false);
      if all(cellfun(@(name) is_identifier(strtrim(name)), names))
        nout = numel(names);
        rest = strtrim(line(equals + 1:end));
      end
    end
  end
  if strcmp(rest, '()')
    return;
  end
  if any(rest == '|')
    pieces = strsplit(rest, '|', 'CollapseDelimiters', false);
  else
    space = find(rest == ' ' | rest == "\t", 1);
    if isempty(space)
      args = {rest};
      return;
    end
    args = {rest(1:space - 1)};
    pieces = {};
    if ~isempty(strtrim(rest(space:end)))
      pieces = {rest(space:end)};
    end
  end
  for k = 1:numel(pieces)
    [value, ok] = build_argument(pieces{k});
    if ~ok
      return;
    end
    args{end + 1} = value;
  end
end

function yes = is_identifier(text)
  yes = ~isempty(regexp(text, '^[A-Za-z_][A-Za-z0-9_]*$', 'once'));
end

function [value, ok] = build_argument(piece)
  numeric = {'double', 'single', 'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', ...
             'int64', 'uint64', 'logical'};
  text = strtrim(piece);
  value = [];
  ok = true;
  colon = find(text == ':', 1);
  if ~isempty(colon)
    prefix = text(1:colon - 1);
    rest = strtrim(text(colon + 1:end));
    if any(strcmp(prefix, numeric))
      [numbers, ok] = parse_numbers(rest);
      if strcmp(prefix, 'logical')
        value = logical(numbers);
      else
        value = cast(numbers, prefix);
      end
      return;
    elseif strcmp(prefix, 'char') || strcmp(prefix, 'string')
      value = rest;     % Octave makes char text of a string literal
      return;
    elseif strcmp(prefix, 'complex')
      [numbers, ok] = parse_numbers(rest);
      value = complex(numbers, ones(size(numbers)));
      return;
    elseif strcmp(prefix, 'sparse')
      [numbers, ok] = parse_numbers(rest);
      value = sparse(numbers);
      return;
    elseif strcmp(prefix, 'cell') || strcmp(prefix, 'struct')
      count = 0;
      if ~isempty(rest)
        count = str2double(rest);
      end
      if count == 0
        shape = [0 0];
      else
        shape = [1 count];
      end
      if strcmp(prefix, 'cell')
        value = cell(shape);
      else
        value = repmat(struct(), shape);
      end
      return;
    end
  end
  [numbers, all_numbers] = parse_numbers(text);
  if ~isempty(text) && all_numbers
    value = numbers;
  else
    value = text;
  end
end

function [numbers, ok] = parse_numbers(text)
  words = regexp(text, '\S+', 'match');
  numbers = zeros(1, numel(words));
  ok = true;
  for k = 1:numel(words)
    [numbers(k), good] = parse_number(words{k});
    ok = ok && good;
  end
  if isempty(words)
    numbers = zeros(0, 0);
  end
end

function [value, ok] = parse_number(word)
  ok = true;
  switch word
    case {'NaN', 'nan'}
      value = NaN;
    case {'Inf', 'inf', '+Inf'}
      value = Inf;
    case {'-Inf', '-inf'}
      value = -Inf;
    otherwise
      ok = ~isempty(regexp(word, '^[+-]?(\d+\.?\d*|\.\d+)([eE][+-]?\d+)?$', 'once'));
      value = 0;
      if ok
        value = str2double(word);
      end
  end
end

function text = describe(value)
  text = sprintf('%s %dx%d', class(value), rows(value), columns(value));
  if isempty(value) || iscell(value) || isstruct(value)
    return;
  end
  if ischar(value)
    text = [text ': "' escape(value(:)') '"'];
    return;
  end
  text = [text ':'];
  elements = value(:);
  for k = 1:numel(elements)
    element = elements(k);
    if isa(element, 'uint8')
      item = sprintf('%02X', element);
    elseif isinteger(element) || islogical(element)
      item = sprintf('%d', element);
    else
      item = shortest(double(element));
    end
    text = [text ' ' item];
  end
end

% The shortest decimal that reads back as the same double.
function text = shortest(value)
  if isnan(value)
    text = 'NaN';
  elseif isinf(value)
    text = 'Inf';
    if value < 0
      text = '-Inf';
    end
  else
    for precision = 1:17
      text = sprintf('%.*g', precision, value);
      if str2double(text) == value
        break;
      end
    end
  end
end

function out = escape(text)
  out = '';
  for c = text
    if c == "\n"
      out = [out '\n'];
    elseif c == "\t"
      out = [out '\t'];
    elseif c == '"' || c == '\'
      out = [out '\' c];
    elseif double(c) < 32 || double(c) >= 127
      out = [out sprintf('\\x%02X', double(c))];
    else
      out = [out c];
    end
  end
end
