function [planes, names] = readedg(path, width, height)
% READEDG  Read a Brevant result file (.edg) in Octave or MATLAB.
%   [planes, names] = readedg(path, width, height)
%
%   The file has no header: it is 3 or 39 planes of width x height little-endian
%   single-precision values, row-major, row 0 first. Width and height are those of the
%   analysed image.
%
%   planes is a single array of size height x width x nplanes, so planes(:, :, p) is
%   plane p - 1 of the file shown as an image (rows = image rows). names is a cell array
%   of the planes' names: 'energy', 'orientation' (radians, 0..2*pi), 'refined_energy'
%   and, with histograms, 'hist_bin_0' .. 'hist_bin_35' (bin k stands for k x 10 degrees).
%
%   Example:
%     [p, n] = readedg('photo.edg', 384, 256);
%     imagesc(p(:, :, strcmp(n, 'energy'))); axis image;

  if nargin ~= 3
    error('readedg: usage: [planes, names] = readedg(path, width, height)');
  end
  width = double(width);
  height = double(height);
  if width <= 0 || height <= 0 || width ~= fix(width) || height ~= fix(height)
    error('readedg: width and height must be positive integers, got %g x %g', width, height);
  end
  info = dir(path);
  if numel(info) ~= 1 || info.isdir
    error('readedg: cannot find the result file %s', path);
  end
  planeBytes = width * height * 4;
  if info.bytes == 3 * planeBytes
    count = 3;
  elseif info.bytes == 39 * planeBytes
    count = 39;
  else
    error(['readedg: %s holds %d bytes, which is not a result for a %d x %d image: ' ...
           'that has %d bytes (3 planes) or %d bytes (39 planes, with histograms)'], ...
          path, info.bytes, width, height, 3 * planeBytes, 39 * planeBytes);
  end

  fid = fopen(path, 'r', 'ieee-le');
  if fid < 0
    error('readedg: cannot open %s', path);
  end
  values = fread(fid, count * width * height, 'single=>single');
  fclose(fid);
  if numel(values) ~= count * width * height
    error('readedg: %s ended early', path);
  end
  % x runs fastest in the file, rows in MATLAB's first dimension: swap the first two.
  planes = permute(reshape(values, width, height, count), [2 1 3]);

  names = {'energy', 'orientation', 'refined_energy'};
  if count == 39
    for k = 0:35
      names{end + 1} = sprintf('hist_bin_%d', k);
    end
  end
end
