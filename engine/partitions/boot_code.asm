; MBR loader written into sector 0 by the boot-code repair. 446 bytes: code, messages, the three
; message pointers at 0x1B5..0x1B7, the disk signature at 0x1B8 (left zero here: the repair puts
; the disk's own there) and two zero bytes at 0x1BC. Assemble: nasm -f bin boot_code.asm
;
; The BIOS loads it at 0:7C00 with the boot drive in DL. It moves itself to 0:0600 so that the
; partition's boot sector can take 0:7C00, checks the four entries (each indicator 0x00 or 0x80,
; exactly one 0x80), reads the active partition's first sector with the INT 13h extensions when
; the BIOS has them (LBA from the entry) or by CHS otherwise (start CHS from the entry), five
; tries with a drive reset between them, checks the 0x55 0xAA signature and jumps to 0:7C00 with
; DL = drive and DS:SI = the entry, as partition boot sectors expect. On failure it prints one of
; its messages and halts (interrupts on, so the keyboard can still restart the machine).

bits 16
org 0x0600

start:
        cli
        xor     ax, ax
        mov     ss, ax
        mov     sp, 0x7C00
        mov     ds, ax
        mov     es, ax
        sti
        cld
        mov     si, 0x7C00
        mov     di, 0x0600
        mov     cx, 256
        rep movsw
        jmp     0:relocated

relocated:
        mov     [drive], dl
        mov     si, table
        mov     cx, 4
        xor     bp, bp                  ; the active entry, 0 while none
.entry:
        mov     al, [si]
        test    al, al
        jz      .next
        cmp     al, 0x80
        jne     invalid                 ; an indicator other than 0x00 or 0x80
        test    bp, bp
        jnz     invalid                 ; a second active entry
        mov     bp, si
.next:
        add     si, 16
        loop    .entry
        test    bp, bp
        jz      invalid                 ; nothing to start

        mov     di, 5                   ; tries
.try:
        mov     dl, [drive]
        mov     ah, 0x41                ; extensions present?
        mov     bx, 0x55AA
        int     0x13
        jc      .chs
        cmp     bx, 0xAA55
        jne     .chs
        test    cl, 1                   ; packet interface
        jz      .chs
        mov     eax, [bp + 8]           ; starting LBA of the entry
        mov     [dap_lba], eax
        mov     si, dap
        mov     dl, [drive]
        mov     ah, 0x42
        int     0x13
        jnc     .loaded
        jmp     .retry
.chs:
        mov     dl, [drive]
        mov     dh, [bp + 1]            ; head
        mov     cx, [bp + 2]            ; CL sector and cylinder bits 8..9, CH cylinder bits 0..7
        mov     bx, 0x7C00
        mov     ax, 0x0201              ; read one sector
        int     0x13
        jnc     .loaded
.retry:
        xor     ah, ah                  ; reset the drive and try again
        mov     dl, [drive]
        int     0x13
        dec     di
        jnz     .try
        mov     al, 1                   ; error loading operating system
        jmp     fail

.loaded:
        cmp     word [0x7DFE], 0xAA55
        mov     al, 2                   ; missing operating system
        jne     fail
        mov     si, bp
        mov     dl, [drive]
        jmp     0:0x7C00

invalid:
        xor     al, al                  ; invalid partition table
fail:
        xor     bh, bh
        mov     bl, al
        mov     al, [msgptr + bx]       ; message offset - 0x100, as stored at 0x1B5
        mov     ah, 0x07                ; 0x0600 + 0x100
        mov     si, ax
.print:
        lodsb
        test    al, al
        jz      .halt
        mov     ah, 0x0E
        mov     bx, 0x0007
        int     0x10
        jmp     .print
.halt:
        sti                             ; interrupts on: Ctrl+Alt+Del still restarts
        hlt
        jmp     .halt

drive:  db      0x80

dap:    db      16, 0                   ; packet size, reserved
        dw      1                       ; sectors
        dw      0x7C00, 0               ; buffer offset, segment
dap_lba:
        dd      0, 0                    ; LBA

        times   0x100 - ($ - $$) db 0   ; messages at 0x100 and up: their pointers are one byte
msg_invalid:
        db      "Invalid partition table", 0
msg_error:
        db      "Error loading operating system", 0
msg_missing:
        db      "Missing operating system", 0

        times   0x1B5 - ($ - $$) db 0
msgptr: db      msg_invalid - $$ - 0x100, msg_error - $$ - 0x100, msg_missing - $$ - 0x100
        dd      0                       ; 0x1B8 disk signature
        dw      0                       ; 0x1BC
table   equ     0x0600 + 0x1BE          ; the partition entries, in the relocated copy
