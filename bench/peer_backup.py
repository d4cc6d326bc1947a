#!/usr/bin/env python3
"""What a user might write instead of kembu b: check the header's checksum
and save its body to KEMBU.BIN. Usage: peer_backup.py IMAGE"""
import struct
import sys

with open(sys.argv[1], "rb") as image:
    header = image.read(512)
if len(header) != 512:
    sys.exit("short image")
words = struct.unpack("<256H", header)
if sum(words[:255]) & 0xFFFF != words[255]:
    sys.exit("bad checksum")
with open("KEMBU.BIN", "wb") as backup:
    backup.write(header[20:510])
