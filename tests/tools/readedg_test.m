function readedg_test()
% Checks tools/readedg.m against files written here value by value; exits non-zero on failure.
  width = 5; height = 3;  % not square, so a swapped width and height shows
  path = [tempname() '.edg'];
  cleanup = onCleanup(@() delete(path));
  value = @(p, y, x) p * 1000 + y * 10 + x + 0.25;

  for count = [3 39]
    writeresult(path, count, width, height, value, 0);
    [planes, names] = readedg(path, width, height);
    check(isa(planes, 'single'), 'planes are single');
    check(isequal(size(planes), [height width count]), 'size is height x width x planes');
    for probe = [0 0 0; 1 2 4; 2 1 3; count-1 2 0]'
      p = probe(1); y = probe(2); x = probe(3);
      check(planes(y + 1, x + 1, p + 1) == value(p, y, x), sprintf('plane %d at (%d, %d)', p, x, y));
    end
    check(numel(names) == count, 'one name per plane');
    check(strcmp(names{1}, 'energy') && strcmp(names{3}, 'refined_energy'), 'plane names');
    if count == 39
      check(strcmp(names{4}, 'hist_bin_0') && strcmp(names{39}, 'hist_bin_35'), 'bin names');
    end
  end

  writeresult(path, 3, width, height, value, 1);
  try
    readedg(path, width, height);
    check(false, 'a wrong size is refused');
  catch err
    check(~isempty(strfind(err.message, '184 bytes')) && ~isempty(strfind(err.message, '180 bytes')), ...
          ['the message names both sizes: ' err.message]);
  end
  printf('readedg: all checks passed\n');
end

function writeresult(path, count, width, height, value, extra)
  fid = fopen(path, 'w', 'ieee-le');
  for p = 0:count-1
    for y = 0:height-1
      for x = 0:width-1
        fwrite(fid, value(p, y, x), 'single');
      end
    end
  end
  fwrite(fid, zeros(1, extra), 'single');
  fclose(fid);
end

function check(ok, what)
  if ~ok
    printf('FAILED: %s\n', what);
    exit(1);
  end
end
