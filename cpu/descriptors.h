/* Numbers that the assembly stubs in boot/ and the descriptor code in cpu/ share. Plain
   macros with include guards, so that the assembler's preprocessor can read this file too;
   C++ code uses the typed constants in cpu/gdt.hpp and cpu/idt.hpp built from them. */
#ifndef TAVIX_CPU_DESCRIPTORS_H
#define TAVIX_CPU_DESCRIPTORS_H

/* Selectors as the processor sees them after init_gdt: GDT index times 8, plus the
   requested privilege level. */
#define KERNEL_CODE_SELECTOR 0x08
#define KERNEL_DATA_SELECTOR 0x10
/* Index 5 with requested privilege level 3. */
#define TSS_SELECTOR 0x2B

/* IRQ 0-15 arrive on vectors 32-47 once the interrupt controllers are remapped. */
#define IRQ_BASE_VECTOR 32
/* The two software-interrupt vectors that have gates of their own. */
#define SYSCALL_VECTOR 0x80
#define ALT_SYSCALL_VECTOR 0xB1

#endif
