/* Interrupt entry: one stub per installed vector, the tables of their addresses that
   init_idt installs, and the two common stubs that build the InterruptRegisters frame.
   Nothing here runs before an interrupt arrives, so the host tests link this file as it is
   and compare the gates with the real stub addresses. */

#include "cpu/descriptors.h"

    .section .text.stubs, "ax"

/* One entry stub: \name pushes its vector and jumps to \common. For the vectors where the
   processor pushes no error code of its own (\own_error 0) it pushes a zero first, so that
   every frame has the same shape. */
.macro STUB name, vector, common, own_error
    .global \name
    .type \name, @function
\name:
    cli
.if \own_error == 0
    push $0
.endif
    push $\vector
    jmp \common
    .size \name, . - \name
.endm

/* Vectors 128 and 177 are SYSCALL_VECTOR and ALT_SYSCALL_VECTOR. */
.irp vector, 0, 1, 2, 3, 4, 5, 6, 7, 9, 15, 16, 18, 19, 20, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 128, 177
    STUB isr\vector, \vector, isr_common_stub, 0
.endr

.irp vector, 8, 10, 11, 12, 13, 14, 17, 21
    STUB isr\vector, \vector, isr_common_stub, 1
.endr

.irp line, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    STUB irq\line, (IRQ_BASE_VECTOR+\line), irq_common_stub, 0
.endr

/* The stub addresses in vector order, declared in cpu/idt.hpp: the stubs are listed here
   and nowhere else. */
    .section .data.rel.ro, "aw"
    .global isr_stub_table
isr_stub_table:
.irp vector, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31
    .long isr\vector
.endr
    .size isr_stub_table, . - isr_stub_table

    .global irq_stub_table
irq_stub_table:
.irp line, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    .long irq\line
.endr
    .size irq_stub_table, . - irq_stub_table

/* In the order of the vectors they serve: SYSCALL_VECTOR, ALT_SYSCALL_VECTOR. */
    .global syscall_stub_table
syscall_stub_table:
    .long isr128, isr177
    .size syscall_stub_table, . - syscall_stub_table

    .section .text.stubs, "ax"

/* Both common stubs build the same frame (lowest address first: cr2, ds, the push-all
   registers, vector, error code, then what the processor pushed) and differ only in the
   handler they call. */
.macro COMMON_STUB name, handler
    .global \name
    .type \name, @function
\name:
    pusha
    mov %ds, %eax
    push %eax
    mov %cr2, %eax
    push %eax
    mov $KERNEL_DATA_SELECTOR, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %fs
    mov %ax, %gs
    push %esp
    call \handler
    /* The frame pointer argument and the CR2 slot. */
    add $8, %esp
    pop %ebx
    mov %bx, %ds
    mov %bx, %es
    mov %bx, %fs
    mov %bx, %gs
    popa
    /* The vector and the error code. */
    add $8, %esp
    sti
    iret
    .size \name, . - \name
.endm

    COMMON_STUB isr_common_stub, isr_handler
    COMMON_STUB irq_common_stub, irq_handler

    .section .note.GNU-stack, "", @progbits
