#!/usr/bin/env python3
"""Each OVMF PEIM's PCI configuration accesses under QEMU and under peim-sim
--platform q35, compared.

QEMU boots the firmware twice (q35, SMM, 256 MiB, one processor). The first
boot logs every translated block (-d in_asm): a PEIM's load address is where
a block holding the bytes of its entry point was translated (checked against
its other blocks), wherever the PEI Foundation put it (in place in the PEI
volume, or shadowed in RAM). The second boot logs the blocks executed inside
those images only (-d exec with -dfilter) and QEMU's PCI configuration trace
(pci_cfg_read, pci_cfg_write), in one stream: an access belongs to the PEIM
whose code ran last. peim-sim runs each PEIM by itself on q35 with the same
flash; its trace's configuration-data accesses made by the PEIM's own code
are taken. Both lists are compared as (read/write, function, register,
value) with runs of one repeated access counted once (the passes of a
polling loop). Prints one line per PEIM; exit 1 when a PEIM that reaches a
device under QEMU differs or is not found, 2 for bad usage.

usage: qemu_pci_by_peim.py PEIM_SIM FVTOOL CODE.fd VARS.fd WORKDIR
"""
import os
import re
import shutil
import struct
import subprocess
import sys

# How long each boot runs: the first only translates, the second logs every
# block executed in the PEIMs, which is slower; both get past PEI.
TRANSLATE_SECONDS, EXECUTE_SECONDS = 12, 25
SKIPPED = 77  # ctest's skip status: no QEMU or no firmware
MIN_COMPARED = 4  # PEIMs that must reach a device, so that the test cannot pass empty


def fail(message):
    print('qemu_pci_by_peim: ' + message, file=sys.stderr)
    sys.exit(2)


def pe_layout(data):
    """The image as loaded (sections at their RVAs), its entry RVA and size,
    and the bytes its relocations change (which differ wherever it runs)."""
    if data[:2] == b'VZ':
        return None
    pe = struct.unpack_from('<I', data, 0x3C)[0]
    nsec = struct.unpack_from('<H', data, pe + 6)[0]
    optsize = struct.unpack_from('<H', data, pe + 20)[0]
    opt = pe + 24
    entry = struct.unpack_from('<I', data, opt + 16)[0]
    size = struct.unpack_from('<I', data, opt + 56)[0]
    headers = struct.unpack_from('<I', data, opt + 60)[0]
    image = bytearray(size)
    image[:headers] = data[:headers]
    for i in range(nsec):
        s = opt + optsize + 40 * i
        vsize, rva, rawsize, raw = struct.unpack_from('<IIII', data, s + 8)
        n = min(rawsize, vsize if vsize else rawsize)
        image[rva:rva + n] = data[raw:raw + n]
    fixed = bytearray(size)
    reloc_rva, reloc_size = struct.unpack_from('<II', data, opt + 96 + 5 * 8)
    at = reloc_rva
    while reloc_size and at + 8 <= min(reloc_rva + reloc_size, size):
        page, block = struct.unpack_from('<II', image, at)
        if block < 8:
            break
        for i in range((block - 8) // 2):
            entry_word = struct.unpack_from('<H', image, at + 8 + 2 * i)[0]
            if entry_word >> 12 == 3:  # HIGHLOW: 4 bytes
                target = page + (entry_word & 0xFFF)
                fixed[target:target + 4] = b'\x01\x01\x01\x01'
        at += block
    return bytes(image), entry, size, bytes(fixed)


def peims(fvtool, code, work, kind='PEIM'):
    out = subprocess.run([fvtool, 'list', code], capture_output=True, text=True).stdout
    found = []
    for m in re.finditer(r'file ([0-9A-F-]{36}) ' + kind + r' [^\n]*"([^"\n]+)"$', out, re.M):
        guid, name = m.group(1), m.group(2)
        path = os.path.join(work, name + '.efi')
        r = subprocess.run([fvtool, 'extract', code, guid, '--image', '-o', path],
                           capture_output=True, text=True)
        if r.returncode != 0:
            continue
        layout = pe_layout(open(path, 'rb').read())
        if layout:
            found.append((guid, name) + layout)
    return found


def qemu(code, vars_file, work, log, debug, extra, seconds):
    shutil.copyfile(vars_file, os.path.join(work, 'vars.fd'))
    args = ['qemu-system-i386', '-machine', 'q35,smm=on', '-global',
            'driver=cfi.pflash01,property=secure,value=on', '-m', '256', '-smp', '1',
            '-drive', 'if=pflash,format=raw,unit=0,readonly=on,file=' + code,
            '-drive', 'if=pflash,format=raw,unit=1,file=' + os.path.join(work, 'vars.fd'),
            '-display', 'none', '-nodefaults', '-accel', 'tcg', '-d', debug,
            '-trace', 'pci_cfg_*', '-D', log] + extra
    try:
        subprocess.run(['timeout', str(seconds)] + args, capture_output=True)
    except FileNotFoundError:
        print('qemu_pci_by_peim: qemu-system-i386 is missing; skipped', file=sys.stderr)
        sys.exit(SKIPPED)


def translated_blocks(log):
    """Start address -> bytes of each block QEMU translated."""
    blocks, current, start = {}, None, None
    line_re = re.compile(r'^0x([0-9a-f]+):\s+((?:[0-9a-f]{2} )+)')
    with open(log, errors='replace') as f:
        for line in f:
            if line.startswith('IN:'):
                if current is not None and start is not None:
                    blocks.setdefault(start, bytes(current))
                current, start = bytearray(), None
                continue
            m = line_re.match(line)
            if m and current is not None:
                if start is None:
                    start = int(m.group(1), 16)
                current += bytes.fromhex(m.group(2).replace(' ', ''))
    if current is not None and start is not None:
        blocks.setdefault(start, bytes(current))
    return blocks


def same_code(image, fixed, rva, code):
    """Whether code is the image's at rva, but for the relocated bytes."""
    if rva + len(code) > len(image):
        return False
    return all(fixed[rva + i] or image[rva + i] == b for i, b in enumerate(code))


def load_addresses(blocks, images):
    """(name, base, size) for every place a PEIM ran."""
    places = []
    for guid, name, image, entry, size, fixed in images:
        for start, code in blocks.items():
            base = start - entry
            if base < 0 or len(code) < 4 or not same_code(image, fixed, entry, code):
                continue
            inside = [(a, c) for a, c in blocks.items() if base <= a < base + size]
            same = sum(1 for a, c in inside if same_code(image, fixed, a - base, c))
            if same * 3 >= len(inside) * 2:
                places.append((name, base, size))
    return places


PCI_QEMU = re.compile(r'pci_cfg_(read|write) \S+ ([0-9a-f]{2}:[0-9a-f]{2}\.[0-7]) @0x([0-9a-f]+) '
                      r'(?:->|<-) 0x([0-9a-f]+)')
EXEC = re.compile(r'Trace \d+: \S+ \[[0-9a-f]+/([0-9a-f]+)/')


def qemu_accesses(log, places):
    """PEIM -> its accesses; and the PEIMs whose code ran at all. A place
    named None is the DXE core's: after it runs, accesses are nobody's."""
    by_peim, ran = {}, set()
    owner = None
    with open(log, errors='replace') as f:
        for line in f:
            m = EXEC.search(line)
            if m:
                pc = int(m.group(1), 16)
                for name, base, size in places:
                    if base <= pc < base + size:
                        owner = name
                        ran.add(name)
                        break
                continue
            m = PCI_QEMU.search(line)
            if m and owner:
                by_peim.setdefault(owner, []).append(
                    ('r' if m.group(1) == 'read' else 'w', m.group(2),
                     int(m.group(3), 16), int(m.group(4), 16)))
    return by_peim, ran


PCI_SIM = re.compile(r'^\s*\d+\s+\+0x[0-9A-F]+\s+IO\s+(in|out)\d+\s+0x0CF[C-F]\s+0x([0-9A-F]+)\s+'
                     r'PCI ([0-9A-F]{2}:[0-9A-F]{2}\.[0-7]) \+0x([0-9A-F]+)(.*)$')


def sim_accesses(sim, code, vars_file, guid):
    r = subprocess.run([sim, '--any-peim', '--force', '--budget', '2000000', '--platform', 'q35',
                        '--flash', code, '--vars', vars_file, code, '--file', guid],
                       capture_output=True, text=True)
    found = []
    for line in r.stdout.split('\n'):
        m = PCI_SIM.match(line)
        if not m or '(absent function)' in m.group(5):
            continue
        found.append(('r' if m.group(1) == 'in' else 'w', m.group(3).lower(),
                      int(m.group(4), 16), int(m.group(2), 16)))
    return found


def collapse(accesses):
    out = []
    for a in accesses:
        if not out or out[-1] != a:
            out.append(a)
    return out


def text(a):
    return '%s %s @0x%x %s 0x%x' % ('read' if a[0] == 'r' else 'write', a[1], a[2],
                                     '->' if a[0] == 'r' else '<-', a[3])


def main():
    if len(sys.argv) != 6:
        fail('usage: qemu_pci_by_peim.py PEIM_SIM FVTOOL CODE.fd VARS.fd WORKDIR')
    sim, fvtool, code, vars_file, work = sys.argv[1:]
    if not (os.path.isfile(code) and os.path.isfile(vars_file)):
        print('qemu_pci_by_peim: no firmware %s / %s; skipped' % (code, vars_file), file=sys.stderr)
        sys.exit(SKIPPED)
    if shutil.which('qemu-system-i386') is None:
        print('qemu_pci_by_peim: qemu-system-i386 is missing; skipped', file=sys.stderr)
        sys.exit(SKIPPED)
    os.makedirs(work, exist_ok=True)
    images = peims(fvtool, code, work)
    if not images:
        fail(code + ': no PEIM images')
    # Where the DXE phase starts: what follows DxeIpl's hand-off is not its.
    dxe_core = peims(fvtool, code, work, 'DXE_CORE')
    first = os.path.join(work, 'translated.log')
    qemu(code, vars_file, work, first, 'in_asm', [], TRANSLATE_SECONDS)
    blocks = translated_blocks(first)
    places = load_addresses(blocks, images)
    if not places:
        fail('no PEIM found in what QEMU translated (' + first + ')')
    places += [(None, base, size) for _, base, size in load_addresses(blocks, dxe_core)]
    ranges = ','.join('0x%x+0x%x' % (base, size) for _, base, size in places)
    second = os.path.join(work, 'executed.log')
    qemu(code, vars_file, work, second, 'exec,nochain', ['-dfilter', ranges], EXECUTE_SECONDS)
    under_qemu, ran = qemu_accesses(second, places)
    bad = equal = 0
    for guid, name, _, _, _, _ in images:
        q = collapse(under_qemu.get(name, []))
        where = ', '.join('0x%08X' % base for n, base, _ in places if n == name) or 'not seen'
        if not q:
            print('%-26s %s (at %s)' % (name, 'no configuration access under QEMU' if name in ran
                                        else 'did not run in the second boot', where))
            continue
        s = collapse(sim_accesses(sim, code, vars_file, guid))
        if q == s:
            print('%-26s %3d accesses, equal (ran at %s)' % (name, len(q), where))
            equal += 1
            continue
        bad += 1
        n = next((i for i in range(min(len(q), len(s))) if q[i] != s[i]), min(len(q), len(s)))
        print('%-26s differs at access %d of %d (QEMU) / %d (peim-sim): QEMU %s, peim-sim %s' %
              (name, n + 1, len(q), len(s), text(q[n]) if n < len(q) else 'nothing more',
               text(s[n]) if n < len(s) else 'nothing more'))
    if equal < MIN_COMPARED:
        print('qemu_pci_by_peim: only %d PEIMs reached a device under QEMU (at least %d expected; '
              'logs in %s)' % (equal, MIN_COMPARED, work))
        bad += 1
    # The logs are large: kept only when something differs.
    if not bad:
        for log in (first, second):
            os.remove(log)
    sys.exit(1 if bad else 0)


if __name__ == '__main__':
    main()
