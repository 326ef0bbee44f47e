/* The smallest Multiboot kernel: writes one character to the text screen and halts. The boot
   benchmark compares the kernel's boot time against this image padded to the same size. */

#include "multiboot.h"

#define TEXT_BUFFER     0xB8000
#define MARK_CELL       (24 * 80 + 79)  /* bottom right corner, blank after the firmware */
#define MARK            0x2F40          /* '@', white on green */

    .section .text, "ax"
    .global start
start:
    cli
    movw $MARK, TEXT_BUFFER + MARK_CELL * 2
halt:
    hlt
    jmp halt

    .section .note.GNU-stack, "", @progbits
