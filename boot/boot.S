/* Multiboot header, the entry stub, the boot stack and the halt loop. */

#define MULTIBOOT_MAGIC    0x1BADB002
/* No flags: the loader takes the load addresses from the ELF headers. */
#define MULTIBOOT_FLAGS    0x00000000
#define MULTIBOOT_CHECKSUM (-(MULTIBOOT_MAGIC + MULTIBOOT_FLAGS))

#define BOOT_STACK_SIZE    8192

    .section .multiboot, "a"
    .balign 4
multiboot_header:
    .long MULTIBOOT_MAGIC
    .long MULTIBOOT_FLAGS
    .long MULTIBOOT_CHECKSUM

    .section .text.boot, "ax"
    .global start
    .type start, @function
start:
    cli
    mov $stack_space, %esp
    /* What the loader passed: its magic number and the address of its information record.
       They go to two words of the initialised data, below the heap, so that start-up can
       read the memory size even on a machine whose RAM ends inside the image. */
    mov %eax, multiboot_magic
    mov %ebx, multiboot_info
    call kentr
    hlt
    .global HaltKernel
HaltKernel:
    hlt
    jmp HaltKernel
    .size start, . - start

    .section .data
    .global multiboot_magic, multiboot_info
    .balign 4
multiboot_magic: .long 0
multiboot_info:  .long 0

/* The boot stack is the first thing in the zero-initialised area; every handler and shell
   command runs on it. Its untouched part stays zero, which is how its high-water mark is
   measured. */
    .section .bss.stack, "aw", @nobits
    .balign 16
    .global stack_bottom, stack_space
stack_bottom:
    .skip BOOT_STACK_SIZE
stack_space:

    .section .note.GNU-stack, "", @progbits
