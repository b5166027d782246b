#!/bin/sh
# SPDX-License-Identifier: Apache-2.0
# Makes, in folder $1, packages whose control member unpacks to far more than any package's:
#   huge.deb    control.tar.zst: a tar entry of 256 GiB of zeros, in 100 zstd frames (3.6 MB)
#   nested.deb  control.tar.zst: zstd over such a stream of 1,000 frames (1 TiB)
#   dict.xz.deb control.tar.xz: 512 MiB of zeros whose xz header asks a 768 MiB dictionary
set -eu
cd "$1"
printf '2.0\n' > debian-binary
python3 -c 'import sys, tarfile
entry = tarfile.TarInfo("./big")
entry.size = 256 << 30
sys.stdout.buffer.write(entry.tobuf(tarfile.GNU_FORMAT))' | zstd -q > header.zst
head -c 1G /dev/zero | zstd -q -1 > zeros.zst
frames() { cat header.zst; for _ in $(seq "$1"); do cat zeros.zst; done; }
frames 100 > control.tar.zst
ar qc huge.deb debian-binary control.tar.zst
frames 1000 | zstd -q -f -o control.tar.zst
ar qc nested.deb debian-binary control.tar.zst
python3 -c 'import lzma, struct, sys, tarfile, zlib
entry = tarfile.TarInfo("./big")
entry.size = 1 << 30
fast = {"id": lzma.FILTER_LZMA2, "dict_size": 1 << 20, "mode": lzma.MODE_FAST, "mf": lzma.MF_HC3,
        "nice_len": 273, "depth": 1}
packer = lzma.LZMACompressor(format=lzma.FORMAT_XZ, check=lzma.CHECK_CRC32, filters=[fast])
packed = bytearray(packer.compress(entry.tobuf(tarfile.GNU_FORMAT)))
for _ in range(512):
    packed += packer.compress(bytes(1 << 20))
packed += packer.flush()
# The block header (after the 12-byte stream header): its LZMA2 dictionary byte, then its CRC32.
size = (packed[12] + 1) * 4
assert packed[14] == 0x21 and packed[15] == 1
packed[16] = 35  # 3 << 28 bytes
packed[12 + size - 4:12 + size] = struct.pack("<I", zlib.crc32(bytes(packed[12:12 + size - 4])))
sys.stdout.buffer.write(packed)' > control.tar.xz
ar qc dict.xz.deb debian-binary control.tar.xz
rm debian-binary header.zst zeros.zst control.tar.zst control.tar.xz
