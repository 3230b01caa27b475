#!/usr/bin/env python3
"""Writes the PE checksum into a linked image (lld-link leaves it 0; the kernel's loader checks
a driver's)."""
import sys

import pefile

pe = pefile.PE(sys.argv[1])
pe.OPTIONAL_HEADER.CheckSum = pe.generate_checksum()
data = pe.write()
pe.close()
with open(sys.argv[1], "wb") as f:
    f.write(data)
