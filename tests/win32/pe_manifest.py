#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The application manifest of a Windows program, read from its PE resources.

    pe_manifest.py EXE

Walks the resource directory to RT_MANIFEST (24), id 1 (the manifest the loader
applies to a process), and checks that it asks for comctl32 version 6, declares
per-monitor DPI awareness and runs as the invoking user. Prints PASS / FAIL
lines; exits non-zero when anything failed.
"""
import struct
import sys

RT_MANIFEST = 24


def sections(pe):
    pe_offset = struct.unpack_from('<I', pe, 0x3C)[0]
    if pe[pe_offset:pe_offset + 4] != b'PE\0\0':
        raise ValueError('not a PE file')
    count, _, _, _, optional_size = struct.unpack_from('<HIIIH', pe, pe_offset + 6)
    optional = pe_offset + 24
    magic = struct.unpack_from('<H', pe, optional)[0]
    directories = optional + (112 if magic == 0x20B else 96)
    resource_rva = struct.unpack_from('<I', pe, directories + 2 * 8)[0]
    table = optional + optional_size
    found = []
    for i in range(count):
        _, vsize, rva, raw_size, raw_offset = struct.unpack_from('<8sIIII', pe, table + 40 * i)
        found.append((rva, max(vsize, raw_size), raw_offset))
    return resource_rva, found


def rva_to_offset(rva, found):
    for start, size, raw in found:
        if start <= rva < start + size:
            return raw + rva - start
    raise ValueError(f'RVA {rva:#x} outside every section')


def entries(pe, base, directory):
    named, ids = struct.unpack_from('<HH', pe, base + directory + 12)
    for i in range(named + ids):
        name, target = struct.unpack_from('<II', pe, base + directory + 16 + 8 * i)
        yield name, target


def manifest(path):
    pe = open(path, 'rb').read()
    resource_rva, found = sections(pe)
    if resource_rva == 0:
        return None
    base = rva_to_offset(resource_rva, found)
    for type_id, type_target in entries(pe, base, 0):
        if type_id != RT_MANIFEST or not type_target & 0x80000000:
            continue
        for res_id, id_target in entries(pe, base, type_target & 0x7FFFFFFF):
            if res_id != 1:
                continue
            for _, lang_target in entries(pe, base, id_target & 0x7FFFFFFF):
                data_rva, size = struct.unpack_from('<II', pe, base + lang_target)
                offset = rva_to_offset(data_rva, found)
                return pe[offset:offset + size].decode('utf-8', 'replace')
    return None


def main():
    text = manifest(sys.argv[1])
    failures = 0

    def check(name, ok):
        nonlocal failures
        print(('PASS ' if ok else 'FAIL ') + name)
        failures += 0 if ok else 1

    check('manifest: RT_MANIFEST resource 1 present', text is not None)
    text = text or ''
    check('manifest: common controls version 6',
          'Microsoft.Windows.Common-Controls' in text and 'version="6.0.0.0"' in text)
    check('manifest: per-monitor DPI awareness',
          'PerMonitorV2' in text and 'true/pm' in text)
    check('manifest: runs as the invoking user', 'level="asInvoker"' in text)
    return 1 if failures else 0


if __name__ == '__main__':
    sys.exit(main())
