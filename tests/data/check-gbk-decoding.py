#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""Checks gbk-decoding.tsv against glibc's iconv CP936: every row iconv decodes must expect what
iconv gives, and every row iconv refuses must either expect a U+FFFD or be a pair of the
user-defined areas, which code page 936 maps to private use and iconv leaves unmapped."""
import subprocess
import sys

table = sys.argv[1]
failures = agreed = 0
for number, line in enumerate(open(table, encoding='utf-8'), 1):
    if line.startswith('#') or not line.strip():
        continue
    name, hex_bytes, hex_units = line.rstrip('\n').split('\t')
    data = b'' if hex_bytes == '-' else bytes.fromhex(hex_bytes)
    units = [] if hex_units == '-' else [int(u, 16) for u in hex_units.split()]
    decoded = subprocess.run(['iconv', '-f', 'CP936', '-t', 'UTF-16BE'], input=data,
                             capture_output=True)
    if decoded.returncode == 0:
        got = [int.from_bytes(decoded.stdout[i:i + 2], 'big')
               for i in range(0, len(decoded.stdout), 2)]
        if got != units:
            print(f'FAIL: line {number} ({name}): iconv gives {got}, the table {units}')
            failures += 1
        agreed += 1
    elif 0xFFFD not in units and not all(0xE000 <= u <= 0xF8FF for u in units if u >= 0x80):
        print(f'FAIL: line {number} ({name}): iconv refuses it, yet nothing is malformed')
        failures += 1
print(f'{agreed} rows agree with iconv')
sys.exit(1 if failures or agreed == 0 else 0)
