"""Makes data/sample.png, a second bundled photograph (see data/README).

Source: the "coffee" photograph bundled with scikit-image (Debian package python3-skimage),
600 x 400, released by its photographer under CC0 (see data/README). It is reduced to
384 x 256 RGB with a Lanczos filter and saved as an 8-bit RGB PNG without metadata.

    apt-get install -y python3-skimage && /usr/bin/python3 tools/make_sample.py
"""

import os
import sys

from PIL import Image
import skimage.data

SIZE = (384, 256)


def main():
    source = os.path.join(skimage.data.data_dir, "coffee.png")
    target = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "data", "sample.png")
    with Image.open(source) as photo:
        small = photo.convert("RGB").resize(SIZE, Image.LANCZOS)
    small.save(target, format="PNG", optimize=True)
    print("Wrote %s (%d x %d, %d bytes) from %s" % (os.path.normpath(target), SIZE[0], SIZE[1],
                                                   os.path.getsize(target), source))
    return 0


if __name__ == "__main__":
    sys.exit(main())
