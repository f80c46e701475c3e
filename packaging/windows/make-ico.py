#!/usr/bin/env python3
"""Packs PNG images into one Windows icon file (.ico), each image stored as PNG.

    make-ico.py OUT.ico 16.png 32.png ... 256.png

Windows Vista and later read PNG entries of every size; the bytes depend only on the
inputs, so rebuilds give the same file.
"""
import struct
import sys


def png_size(data: bytes, name: str) -> tuple[int, int]:
    if data[:8] != b"\x89PNG\r\n\x1a\n" or data[12:16] != b"IHDR":
        sys.exit(f"make-ico: {name} is not a PNG file")
    return struct.unpack(">II", data[16:24])


def main() -> None:
    if len(sys.argv) < 3:
        sys.exit("usage: make-ico.py OUT.ico PNG...")
    images = []
    for name in sys.argv[2:]:
        with open(name, "rb") as f:
            data = f.read()
        w, h = png_size(data, name)
        if w > 256 or h > 256:
            sys.exit(f"make-ico: {name} is {w}x{h}; an icon holds at most 256x256")
        images.append((w, h, data))
    images.sort(key=lambda i: i[0])
    out = struct.pack("<HHH", 0, 1, len(images))  # reserved, type 1 = icon, count
    offset = 6 + 16 * len(images)
    for w, h, data in images:
        # 0 stands for 256 in the one-byte width and height.
        out += struct.pack("<BBBBHHII", w % 256, h % 256, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    out += b"".join(data for _, _, data in images)
    with open(sys.argv[1], "wb") as f:
        f.write(out)


if __name__ == "__main__":
    main()
