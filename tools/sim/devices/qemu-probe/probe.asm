; A 64 KiB flat firmware image for qemu-system-i386 -bios: dumps CPUID, MSRs,
; fw_cfg, CMOS and the q35 host bridge / LPC configuration to port 0x402,
; then reads and writes through the MMCONFIG window PCIEXBAR opens.
bits 16
org 0
start:
  cli
  xor ax, ax
  mov ss, ax
  mov sp, 0x7000
  mov ds, ax
  ; #GP handler in the IVT: vector 13
  mov word [13*4], gp_handler
  mov word [13*4+2], 0xF000
  mov ax, cs
  mov ds, ax
  ; --- CPUID
  mov si, leaves
.cl:
  mov eax, [cs:si]
  cmp eax, 0xFFFFFFFF
  je .cpuid_done
  mov ecx, [cs:si+4]
  push eax
  push ecx
  mov al, 'C'
  call putc
  pop ecx
  pop eax
  push eax
  call puthex
  mov eax, ecx
  call puthex
  pop eax
  cpuid
  call put4
  add si, 8
  jmp .cl
.cpuid_done:
  ; --- MSRs
  mov si, msrs
.ml:
  mov ecx, [cs:si]
  cmp ecx, 0xFFFFFFFF
  je .msr_done
  mov al, 'M'
  call putc
  mov eax, ecx
  call puthex
  xor edi, edi
  xor eax, eax
  xor edx, edx
  rdmsr
  push eax
  mov eax, edi
  call puthex  ; 1 = #GP
  mov eax, edx
  call puthex
  pop eax
  call puthex
  call nl
  add si, 4
  jmp .ml
.msr_done:
  ; --- PCI config of 00:00.0 and 00:1F.0 (256 bytes each)
  mov ebx, 0x80000000
  call dumppci
  mov ebx, 0x8000F800
  call dumppci
  ; MCH write semantics
  mov ebx, 0x80000050
  mov ax, 0xFFFF
  call pciw16
  mov ebx, 0x8000009C
  mov al, 0xFF
  call pciw8
  mov ebx, 0x80000000
  call dumppci
  ; --- enable PM block at 0x600 and read the timer
  mov ebx, 0x8000F840
  mov eax, 0x601
  call pciw32
  mov ebx, 0x8000F844
  mov al, 0x80
  call pciw8
  mov cx, 4
.pt:
  push cx
  mov al, 'T'
  call putc
  mov dx, 0x608
  in eax, dx
  call puthex
  call nl
  pop cx
  loop .pt
  ; --- CMOS 0x00-0x7F
  xor cx, cx
.cm:
  mov al, 'R'
  call putc
  mov eax, ecx
  call puthex
  mov al, cl
  out 0x70, al
  in al, 0x71
  movzx eax, al
  call puthex
  call nl
  inc cx
  cmp cx, 0x80
  jb .cm
  ; --- fw_cfg items
  mov si, items
.il:
  mov ax, [cs:si]
  cmp ax, 0xFFFF
  je .items_done
  mov cx, [cs:si+2]
  call dumpitem
  add si, 4
  jmp .il
.items_done:
  ; directory
  mov dx, 0x510
  mov ax, 0x19
  out dx, ax
  mov dx, 0x511
  call in32be
  mov ebp, eax
  mov al, 'N'
  call putc
  mov eax, ebp
  call puthex
  call nl
.dl:
  cmp ebp, 0
  je .dir_done
  dec ebp
  call in32be
  mov edi, eax         ; size
  in al, dx
  mov ah, al
  in al, dx            ; select (BE)
  push ax
  in al, dx
  in al, dx            ; reserved
  mov al, 'F'
  call putc
  pop ax
  push ax
  movzx eax, ax
  call puthex
  mov eax, edi
  call puthex
  mov cx, 56
.nm:
  mov dx, 0x511
  in al, dx
  cmp al, 0
  je .nz
  call putc
.nz:
  loop .nm
  call nl
  pop ax
  jmp .dl
.dir_done:
  ; contents of the files (select 0x20..0x2E, first 64 bytes)
  mov ax, 0x20
.fl:
  mov cx, 64
  push ax
  call dumpitem
  pop ax
  inc ax
  cmp ax, 0x30
  jb .fl
  ; --- MMCONFIG: PCIEXBAR on, 256 MiB at 0xB0000000 as OVMF sets it, then
  ; dwords through the window ('E'), a write through it ('W') and its read
  ; back. FS gets a 4 GiB limit in protected mode and keeps it back in real
  ; mode, so that [fs:esi] reaches the window.
  mov dx, 0xCF8
  mov eax, 0x80000060
  out dx, eax
  mov dl, 0xFC
  mov eax, 0xB0000001
  out dx, eax
  o32 lgdt [cs:gdt_desc]
  mov eax, cr0
  or al, 1
  mov cr0, eax
  jmp short .pm
.pm:
  mov bx, 8
  mov fs, bx
  and al, 0xFE
  mov cr0, eax
  jmp short .rm
.rm:
  xor bx, bx
  mov fs, bx
  mov bp, ecam
.el:
  mov esi, [cs:bp]
  cmp esi, 0xFFFFFFFF
  je .ecam_done
  mov edi, [cs:bp+4]
  cmp edi, 0xFFFFFFFF
  je .er
  mov [fs:esi], edi          ; a write: 'W ADDRESS VALUE'
  mov al, 'W'
  call putc
  mov eax, esi
  call puthex
  mov eax, edi
  jmp .ep
.er:
  mov al, 'E'
  call putc
  mov eax, esi
  call puthex
  mov eax, [fs:esi]
.ep:
  call puthex
  call nl
  add bp, 8
  jmp .el
.ecam_done:
  ; exit
  mov al, 0
  out 0xF4, al
  hlt

; ax = item, cx = bytes
dumpitem:
  mov dx, 0x510
  out dx, ax
  push ax
  mov al, 'I'
  call putc
  pop ax
  movzx eax, ax
  call puthex
.b:
  mov dx, 0x511
  in al, dx
  call puthex2
  loop .b
  call nl
  ret

in32be:
  mov dx, 0x511
  in al, dx
  shl eax, 8
  in al, dx
  shl eax, 8
  in al, dx
  shl eax, 8
  in al, dx
  ret

; ebx = config address of dword 0
dumppci:
  mov cx, 64
.p:
  mov al, 'P'
  call putc
  mov eax, ebx
  call puthex
  mov dx, 0xCF8
  mov eax, ebx
  out dx, eax
  mov dx, 0xCFC
  in eax, dx
  call puthex
  call nl
  add ebx, 4
  loop .p
  ret
pciw32:
  push eax
  mov dx, 0xCF8
  mov eax, ebx
  and eax, 0xFFFFFFFC
  out dx, eax
  mov dx, 0xCFC
  pop eax
  out dx, eax
  ret
pciw16:
  push ax
  mov dx, 0xCF8
  mov eax, ebx
  and eax, 0xFFFFFFFC
  out dx, eax
  mov dx, bx
  and dx, 3
  add dx, 0xCFC
  pop ax
  out dx, ax
  ret
pciw8:
  push ax
  mov dx, 0xCF8
  mov eax, ebx
  and eax, 0xFFFFFFFC
  out dx, eax
  mov dx, bx
  and dx, 3
  add dx, 0xCFC
  pop ax
  out dx, al
  ret

gp_handler:
  push bp
  mov bp, sp
  add word [ss:bp+2], 2
  mov edi, 1
  pop bp
  iret

put4:
  push edx
  push ecx
  push ebx
  call puthex
  pop eax
  call puthex
  pop eax
  call puthex
  pop eax
  call puthex
  call nl
  ret

putc:
  push dx
  mov dx, 0x402
  out dx, al
  pop dx
  ret
nl:
  mov al, 10
  jmp putc
; eax as ' ' + 8 hex digits
puthex:
  push cx
  mov cx, 8
  call puthexn
  pop cx
  ret
; al as ' ' + 2 hex digits
puthex2:
  push eax
  push cx
  shl eax, 24
  mov cx, 2
  call puthexn
  pop cx
  pop eax
  ret
; the top cx hex digits of eax, after a blank
puthexn:
  push eax
  push ebx
  mov ebx, eax
  mov al, ' '
  call putc
.h:
  rol ebx, 4
  mov al, bl
  and al, 15
  add al, '0'
  cmp al, '9'
  jbe .o
  add al, 7
.o:
  call putc
  loop .h
  pop ebx
  pop eax
  ret

leaves: dd 0,0, 1,0, 2,0, 3,0, 4,0, 4,1, 4,2, 4,3, 4,4, 4,5, 5,0, 6,0, 7,0, 0xA,0, 0xB,0, 0xD,0, 0x40000000,0, 0x40000001,0, 0x40000002,0, 0x80000000,0, 0x80000001,0, 0x80000002,0, 0x80000003,0, 0x80000004,0, 0x80000005,0, 0x80000005,1, 0x80000006,0, 0x80000008,0, 0xC0000000,0, 0xFFFFFFFF,0
msrs: dd 0x10, 0x17, 0x1B, 0x3A, 0x8B, 0xFE, 0x179, 0x1A0, 0x200,0x201,0x202,0x203,0x204,0x205,0x206,0x207,0x208,0x209,0x20A,0x20B,0x20C,0x20D,0x20E,0x20F, 0x250,0x258,0x259,0x268,0x269,0x26A,0x26B,0x26C,0x26D,0x26E,0x26F, 0x277, 0x2FF, 0x9E, 0xC0000080, 0xFFFFFFFF
items: dw 0x0000,4, 0x0001,4, 0x0002,16, 0x0003,8, 0x0004,2, 0x0005,2, 0x000D,16, 0x000E,2, 0x000F,2, 0x8002,4, 0x0008,4, 0x000B,4, 0x0014,4, 0x0017,4, 0x000A,4, 0xFFFF,0

; MMCONFIG addresses: read (value 0xFFFFFFFF) or written. The host bridge,
; its PCIEXBAR, the LPC bridge's ids, class and PMBASE, a register past a PCI
; function's 256 bytes, the SATA and SMBus functions, absent 00:01.0, 00:02.0
; and bus 1, the window's last dword; PMBASE written and read back.
ecam: dd 0xB0000000,-1, 0xB0000060,-1, 0xB00F8000,-1, 0xB00F8008,-1, 0xB00F8040,-1
      dd 0xB00F8100,-1, 0xB00FA000,-1, 0xB00FB000,-1, 0xB0008000,-1, 0xB0010000,-1
      dd 0xB0100000,-1, 0xBFFFFFFC,-1, 0xB00F8040,0x00000701, 0xB00F8040,-1
      dd 0xFFFFFFFF,0
gdt: dq 0
     dw 0xFFFF, 0          ; 8: flat data, base 0, 4 GiB
     db 0, 0x92, 0xCF, 0
gdt_desc: dw gdt_desc - gdt - 1
     dd 0xF0000 + gdt

  times 0xFFF0-($-$$) db 0xF4
reset:
  jmp 0xF000:start
  times 0x10000-($-$$) db 0xF4
