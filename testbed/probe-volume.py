#!/usr/bin/env python3
"""Writes the firmware files of the Foundation probe (testbed/run-probe.sh).

  probe-volume.py PROBE.efi OUTDIR
  probe-volume.py --wrap VOLUME.fv OUT.ffs
  probe-volume.py --add-pad VOLUME.fv OUT.fv

OUTDIR gets, in the order they go into the probe's volume:
  11-sections.ffs   a freeform file with a section of each leaf type
  2N-copy-NAME.ffs  the probe under another name and a dependency expression
                    of its own, well formed or not (see kCopies)
  90-probe.ffs      the probe itself, waiting for memory and the sentinel copy
The firmware files are written here rather than by fvtool because their
dependency expressions are ones no tool would write. --wrap makes the volume
a FIRMWARE_VOLUME_IMAGE file (7E57B0B0-...-04) that waits for permanent
memory, to go into OVMF's PEI volume. --add-pad puts a pad file with a name
(7E57B0B0-...-03) after the volume's last file (fvtool places none).
"""
import struct
import sys
import uuid

MEMORY_DISCOVERED = "F894643D-C449-42D1-8EA8-85BDD8C65BDE"
UNKNOWN_PPI = "7E57B0B0-0001-4000-8000-00000000000F"  # installed by nobody


def guid(text):
    return uuid.UUID(text).bytes_le


def copy_name(index):
    return "7E57B0B0-0000-4000-8000-0000000000%02X" % (0x10 + index)


PUSH, AND, OR, NOT, TRUE, FALSE, END, BEFORE = 0x02, 0x03, 0x04, 0x05, 0x06, 0x07, 0x08, 0x00


def push(text):
    return bytes([PUSH]) + guid(text)


# The copies in volume order; the probe prints, for each, whether it ran.
# Their names are 7E57B0B0-0000-4000-8000-0000000000NN, NN = 0x10 + index,
# as testbed/probe_peim.cpp lists them.
COPIES = [
    ("true-then-trailing-bytes", bytes([TRUE, END, 0xFF, 0x42, AND])),
    ("two-values", bytes([TRUE, TRUE, END])),
    ("and-underflow", bytes([TRUE, AND, END])),
    ("unknown-opcode", bytes([0x42, END])),
    ("dxe-before", bytes([BEFORE]) + guid(MEMORY_DISCOVERED) + bytes([END])),
    ("not-false", bytes([FALSE, NOT, END])),
    ("push-memory", push(MEMORY_DISCOVERED) + bytes([END])),
    ("push-unknown", push(UNKNOWN_PPI) + bytes([END])),
    ("or", push(UNKNOWN_PPI) + push(MEMORY_DISCOVERED) + bytes([OR, END])),
    ("no-depex", None),
    ("sentinel", push(MEMORY_DISCOVERED) + bytes([END])),
]


def section(kind, data, extra=b""):
    body = extra + data
    size = 4 + len(body)
    return struct.pack("<I", size)[:3] + bytes([kind]) + body


def ffs(name, kind, sections, attributes=0x00):
    body = b""
    for s in sections:
        body += b"\0" * (-len(body) % 4) + s
    size = 24 + len(body)
    header = bytearray(guid(name) + bytes([0, 0xAA, kind, attributes]) +
                       struct.pack("<I", size)[:3] + bytes([0x00]))
    # Header checksum over the header with IntegrityCheck.File and State 0;
    # the file checksum stays 0xAA (no FFS_ATTRIB_CHECKSUM).
    header[17] = 0
    header[16] = (-sum(header[:16]) - sum(header[18:23])) & 0xFF
    header[17] = 0xAA
    header[23] = 0x07  # as GenFfs writes a lone file; fvtool create inverts it
    return bytes(header) + body


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "--wrap":
        volume = open(sys.argv[2], "rb").read()
        depex = section(0x1B, push(MEMORY_DISCOVERED) + bytes([END]))
        with open(sys.argv[3], "wb") as f:
            f.write(ffs("7E57B0B0-0000-4000-8000-000000000004", 0x0B,
                        [depex, section(0x17, volume)]))
        return
    if len(sys.argv) == 4 and sys.argv[1] == "--add-pad":
        volume = bytearray(open(sys.argv[2], "rb").read())
        header_length, ext = struct.unpack_from("<HxxH", volume, 0x30)
        at = header_length
        if ext:
            at = ext + struct.unpack_from("<I", volume, ext + 16)[0]
        at = (at + 7) & ~7
        while volume[at:at + 24] != b"\xff" * 24:
            size = int.from_bytes(volume[at + 20:at + 23], "little")
            at = (at + size + 7) & ~7
        pad = bytearray(ffs("7E57B0B0-0000-4000-8000-000000000003", 0xF0, [b"\xff" * 40]))
        pad[23] = 0xF8  # the state as an erase-polarity-1 volume holds it
        if at + len(pad) > len(volume):
            sys.exit("probe-volume.py: no room for the pad file")
        volume[at:at + len(pad)] = pad
        with open(sys.argv[3], "wb") as f:
            f.write(volume)
        return
    if len(sys.argv) != 3:
        sys.exit("usage: probe-volume.py PROBE.efi OUTDIR")
    image = open(sys.argv[1], "rb").read()
    out = sys.argv[2]
    pe32 = section(0x10, image)

    def write(name, data):
        with open("%s/%s" % (out, name), "wb") as f:
            f.write(data)

    subtype = guid("7E57B0B0-0002-4000-8000-000000000001")
    write("11-sections.ffs", ffs("7E57B0B0-0000-4000-8000-000000000002", 0x02, [
        section(0x19, b"raw-one!"),
        section(0x15, "sections".encode("utf-16-le") + b"\0\0"),
        section(0x14, "1.0".encode("utf-16-le") + b"\0\0", struct.pack("<H", 7)),
        section(0x18, b"subtype-data", subtype),
        section(0x11, b"pic-code"),
        section(0x16, b"compat16"),
        section(0x13, bytes([TRUE, END])),
        section(0x1C, bytes([TRUE, END])),
        section(0x1B, bytes([TRUE, END])),
        section(0x19, b"raw-two!"),
    ]))
    for i, (label, depex) in enumerate(COPIES):
        sections = ([] if depex is None else [section(0x1B, depex)]) + [pe32]
        write("%02d-copy-%s.ffs" % (20 + i, label), ffs(copy_name(i), 0x06, sections))
    write("90-probe.ffs", ffs("7E57B0B0-0000-4000-8000-000000000001", 0x06, [
        section(0x1B, push(MEMORY_DISCOVERED) + push(copy_name(len(COPIES) - 1)) +
                bytes([AND, END])),
        pe32,
        section(0x15, "FoundationProbe".encode("utf-16-le") + b"\0\0"),
    ]))


if __name__ == "__main__":
    main()
