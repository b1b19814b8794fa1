#!/usr/bin/env python3
"""The whole PEI phase under QEMU and under peim-sim --boot, compared.

peim-sim --boot runs the firmware's PEI phase on q35 and reports where the
PEI core starts, where each PEIM was entered, where the DXE core's entry
is, and every PCI configuration access. QEMU boots the same flash (q35,
SMM, 256 MiB, one processor) stopped at its first instruction, with its PCI
configuration trace (pci_cfg_read, pci_cfg_write) in a log; through QEMU's
gdb stub a breakpoint at the PEI core's entry marks where SEC ends (the
accesses before it are SEC's), breakpoints at the PEIMs' entries give the
order QEMU runs them in, and one at the DXE core's entry ends the phase.
The accesses in between are compared with peim-sim's, access for access and
value for value, runs of one repeated access counted once (the passes of a
polling loop); QEMU does not trace accesses to absent functions, so
peim-sim's are left out.

usage: boot_pei_phase.py [--bench] PEIM_SIM CODE.fd VARS.fd WORKDIR
With --bench: the time of the phase in each, measured in the same run
(QEMU from the PEI core's entry to the DXE core's, only that breakpoint
set; peim-sim the phase as it reports it, and its whole process).
Exit 0 when both agree, 1 when they differ, 2 for bad usage, 77 when QEMU
or the firmware is missing.
"""
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

SKIPPED = 77
PHASE_SECONDS = 60


def fail(message, status=1):
    print('boot_pei_phase: ' + message, file=sys.stderr)
    sys.exit(status)


class Gdb:
    """The few packets of the gdb remote protocol this needs."""

    def __init__(self, port):
        deadline = time.time() + 10
        while True:
            try:
                self.s = socket.create_connection(('127.0.0.1', port), timeout=PHASE_SECONDS)
                break
            except OSError:
                if time.time() > deadline:
                    fail('cannot reach QEMU\'s gdb stub on port %d' % port)
                time.sleep(0.1)
        self.buf = b''

    def send(self, data):
        cs = sum(data.encode()) & 0xFF
        self.s.sendall(b'$' + data.encode() + b'#%02x' % cs)
        return self.reply()

    def reply(self):
        while True:
            m = re.search(rb'\$([^#]*)#[0-9a-fA-F]{2}', self.buf)
            if m:
                self.buf = self.buf[m.end():]
                self.s.sendall(b'+')
                return m.group(1).decode()
            chunk = self.s.recv(4096)
            if not chunk:
                fail('QEMU closed its gdb stub')
            self.buf += chunk

    def eip(self):
        # 'g': EAX, ECX, EDX, EBX, ESP, EBP, ESI, EDI, EIP, ... 4 bytes each.
        v = self.send('g')
        return int.from_bytes(bytes.fromhex(v[64:72]), 'little')


PCI_QEMU = re.compile(r'pci_cfg_(read|write) \S+ ([0-9a-f]{2}:[0-9a-f]{2}\.[0-7]) @0x([0-9a-f]+) '
                      r'(?:->|<-) 0x([0-9a-f]+)')
PCI_SIM = re.compile(r'^(read|write) ([0-9a-f]{2}:[0-9a-f]{2}\.[0-7]) @0x([0-9a-f]+) /\d (?:->|<-) '
                     r'0x([0-9a-f]+)( absent)?$')


def collapse(accesses):
    out = []
    for a in accesses:
        if not out or out[-1] != a:
            out.append(a)
    return out


def main():
    args = sys.argv[1:]
    bench = args[:1] == ['--bench']
    if bench:
        args = args[1:]
    if len(args) != 4:
        fail('usage: boot_pei_phase.py [--bench] PEIM_SIM CODE.fd VARS.fd WORKDIR', 2)
    sim, code, vars_file, work = args
    if shutil.which('qemu-system-i386') is None or not os.path.exists(code):
        print('boot_pei_phase: qemu-system-i386 or %s is missing; skipped' % code, file=sys.stderr)
        sys.exit(SKIPPED)
    os.makedirs(work, exist_ok=True)
    pci_sim = os.path.join(work, 'sim-pci.txt')
    began = time.time()
    r = subprocess.run([sim, '--boot', code, '--vars', vars_file, '--platform', 'q35', '-q',
                        '--format', 'json', '--pci-trace', pci_sim],
                       capture_output=True, text=True)
    sim_process = time.time() - began
    if r.returncode != 0:
        fail('peim-sim --boot did not reach the DXE core: ' + r.stderr.strip())
    report = json.loads(r.stdout)
    pei_entry = report['handoff']['pei_core_entry']
    dxe_entry = report['outcome']['dxe_entry']
    peims = [(p['name'], p['entry']) for p in report['peims']]
    sim_accesses = []
    with open(pci_sim) as f:
        for line in f:
            m = PCI_SIM.match(line.strip())
            if not m:
                fail('unreadable line in %s: %s' % (pci_sim, line.strip()))
            if m.group(5):
                continue
            sim_accesses.append((m.group(1), m.group(2), int(m.group(3), 16), int(m.group(4), 16)))

    shutil.copyfile(vars_file, os.path.join(work, 'vars.fd'))
    log = os.path.join(work, 'qemu-trace.log')
    if os.path.exists(log):
        os.remove(log)
    with socket.socket() as probe:
        probe.bind(('127.0.0.1', 0))
        port = probe.getsockname()[1]
    qemu = subprocess.Popen(
        ['qemu-system-i386', '-machine', 'q35,smm=on', '-global',
         'driver=cfi.pflash01,property=secure,value=on', '-m', '256', '-smp', '1',
         '-drive', 'if=pflash,format=raw,unit=0,readonly=on,file=' + code,
         '-drive', 'if=pflash,format=raw,unit=1,file=' + os.path.join(work, 'vars.fd'),
         '-display', 'none', '-nodefaults', '-accel', 'tcg', '-trace', 'pci_cfg_*', '-D', log,
         '-S', '-gdb', 'tcp:127.0.0.1:%d' % port],
        stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    try:
        gdb = Gdb(port)
        gdb.send('?')

        def run_to(addresses):
            for a in addresses:
                gdb.send('Z0,%x,1' % a)
            reply = gdb.send('c')
            if not reply.startswith(('T', 'S')):
                fail('QEMU stopped with %s' % reply)
            at = gdb.eip()
            return at

        start = time.time()
        if run_to([pei_entry]) != pei_entry:
            fail('QEMU did not stop at the PEI core\'s entry %#x (at %#x)' % (pei_entry, gdb.eip()))
        gdb.send('z0,%x,1' % pei_entry)
        sec_end = os.path.getsize(log) if os.path.exists(log) else 0
        # The PEIMs' entries (a PEIM's copies have entries of their own) and
        # the DXE core's: the order QEMU enters them.
        pending = {}
        for name, entry in peims:
            pending.setdefault(entry, name)
        if bench:
            pending = {}
            phase_start = time.time()
        order = []
        for entry in pending:
            gdb.send('Z0,%x,1' % entry)
        gdb.send('Z0,%x,1' % dxe_entry)
        while True:
            if time.time() - start > PHASE_SECONDS:
                fail('QEMU did not reach the DXE core\'s entry %#x in %d s' % (dxe_entry, PHASE_SECONDS))
            reply = gdb.send('c')
            at = gdb.eip()
            if at == dxe_entry:
                phase_seconds = time.time() - phase_start if bench else 0
                break
            if at in pending:
                order.append(pending.pop(at))
                gdb.send('z0,%x,1' % at)
            else:
                fail('QEMU stopped at %#x (%s), no breakpoint of ours' % (at, reply))
        phase_end = os.path.getsize(log)
    finally:
        qemu.kill()
        qemu.wait()
    if bench:
        print('one whole PEI phase (PEI core entry to DXE core entry): peim-sim %.3f s '
              '(%d instructions; its process %.3f s), QEMU TCG %.3f s; target: no slower than '
              'QEMU: %s' % (report['outcome']['seconds'], report['outcome']['instructions'],
                            sim_process, phase_seconds,
                            'met' if report['outcome']['seconds'] <= phase_seconds else 'NOT MET'))
        sys.exit(0)
    with open(log, 'rb') as f:
        f.seek(sec_end)
        text = f.read(phase_end - sec_end).decode(errors='replace')
    qemu_accesses = [(m.group(1), m.group(2), int(m.group(3), 16), int(m.group(4), 16))
                     for m in PCI_QEMU.finditer(text)]
    ok = True
    sim_order = [name for name, _ in peims]
    if order != sim_order:
        print('dispatch order differs:\n  QEMU     %s\n  peim-sim %s' % (order, sim_order))
        ok = False
    else:
        print('dispatch order: %d PEIMs, the same: %s' % (len(order), ', '.join(order)))
    q, s = collapse(qemu_accesses), collapse(sim_accesses)
    if q != s:
        ok = False
        for i in range(max(len(q), len(s))):
            a = q[i] if i < len(q) else None
            b = s[i] if i < len(s) else None
            if a != b:
                print('PCI configuration access %d differs: QEMU %s, peim-sim %s' % (i + 1, a, b))
                break
    print('PCI configuration accesses from the PEI core\'s entry to the DXE core\'s: '
          'QEMU %d (%d without repeats), peim-sim %d (%d)%s' %
          (len(qemu_accesses), len(q), len(sim_accesses), len(s), ', equal' if q == s else ''))
    sys.exit(0 if ok else 1)


if __name__ == '__main__':
    main()
