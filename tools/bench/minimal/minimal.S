/* The smallest Multiboot kernel: writes one character to the text screen and halts. The boot
   benchmark compares the kernel's boot time against this image padded to the same size. */

#define MULTIBOOT_MAGIC 0x1BADB002
#define MULTIBOOT_FLAGS 0x00000000

#define TEXT_BUFFER     0xB8000
#define MARK_CELL       (24 * 80 + 79)  /* bottom right corner, blank after the firmware */
#define MARK            0x2F40          /* '@', white on green */

    .section .multiboot, "a"
    .balign 4
    .long MULTIBOOT_MAGIC
    .long MULTIBOOT_FLAGS
    .long -(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS)

    .section .text, "ax"
    .global start
start:
    cli
    movw $MARK, TEXT_BUFFER + MARK_CELL * 2
halt:
    hlt
    jmp halt

    .section .note.GNU-stack, "", @progbits
