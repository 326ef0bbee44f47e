/* The disk's read floor: a Multiboot image that reads SECTORS sectors from FIRST_LBA of the
   primary ATA disk with READ SECTORS EXT commands of 65,535 sectors (the most the kernel's
   driver asks for), doing nothing with them, in the same PIO protocol as the kernel: per
   sector, wait for DRQ, rep insw, then the status reads that let the drive's 400 ns pass (as
   after each command). FIRST_LBA and SECTORS are set when linking
   (--defsym). The count benchmark times read_begin to read_done through QEMU's gdb stub;
   read_failed marks an error. */

#include "../minimal/multiboot.h"

#define ATA_DATA         0x1F0
#define ATA_COUNT        0x1F2
#define ATA_LBA_LOW      0x1F3
#define ATA_LBA_MID      0x1F4
#define ATA_LBA_HIGH     0x1F5
#define ATA_DRIVE        0x1F6
#define ATA_COMMAND      0x1F7
#define ATA_STATUS       0x1F7
#define SELECT_LBA48     0x40
#define READ_SECTORS_EXT 0x24
#define STATUS_BSY       0x80
#define STATUS_DRQ       0x08
#define STATUS_ERR       0x01
#define MAX_REQUEST      65535
#define WORDS_PER_SECTOR 256
#define SETTLE_READS     4
#define BUFFER           0x200000

/* Multiboot leaves no stack, so the status reads are a macro, not a routine. */
.macro settle
    mov $ATA_STATUS, %dx
    mov $SETTLE_READS, %ecx
3:  inb %dx, %al
    loop 3b
.endm

    .section .text, "ax"
    .global start, read_begin, read_done, read_failed
start:
    cli
    cld
    mov $FIRST_LBA, %esi        /* next LBA; the benchmark's volumes stay below 2^32 sectors */
    mov $SECTORS, %ebx          /* sectors left */
read_begin:
request:
    test %ebx, %ebx
    jz read_done
    mov %ebx, %ebp              /* this request's sectors: at most MAX_REQUEST */
    cmp $MAX_REQUEST, %ebp
    jbe 1f
    mov $MAX_REQUEST, %ebp
1:  mov $ATA_DRIVE, %dx
    mov $SELECT_LBA48, %al
    outb %al, %dx
    /* Each two-byte register takes its high byte first. */
    mov $ATA_COUNT, %dx
    mov %ebp, %eax
    shr $8, %eax
    outb %al, %dx
    mov $ATA_LBA_LOW, %dx
    mov %esi, %eax
    shr $24, %eax
    outb %al, %dx
    xor %al, %al
    mov $ATA_LBA_MID, %dx
    outb %al, %dx
    mov $ATA_LBA_HIGH, %dx
    outb %al, %dx
    mov $ATA_COUNT, %dx
    mov %ebp, %eax
    outb %al, %dx
    mov $ATA_LBA_LOW, %dx
    mov %esi, %eax
    outb %al, %dx
    mov $ATA_LBA_MID, %dx
    shr $8, %eax
    outb %al, %dx
    mov $ATA_LBA_HIGH, %dx
    shr $8, %eax
    outb %al, %dx
    mov $ATA_COMMAND, %dx
    mov $READ_SECTORS_EXT, %al
    outb %al, %dx
    settle
    add %ebp, %esi
    sub %ebp, %ebx
sector:
    mov $ATA_STATUS, %dx
2:  inb %dx, %al
    test $STATUS_BSY, %al
    jnz 2b
    test $STATUS_ERR, %al
    jnz read_failed
    test $STATUS_DRQ, %al
    jz 2b
    mov $ATA_DATA, %dx
    mov $BUFFER, %edi
    mov $WORDS_PER_SECTOR, %ecx
    rep insw
    settle
    dec %ebp
    jnz sector
    jmp request
read_done:
    hlt
    jmp read_done
read_failed:
    hlt
    jmp read_failed

    .section .note.GNU-stack, "", @progbits
