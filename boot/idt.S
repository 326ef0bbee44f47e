/* Interrupt entry: one stub per installed vector, the tables of their addresses that
   init_idt installs, and the two common stubs that build the InterruptRegisters frame.
   Nothing here runs before an interrupt arrives, so the host tests link this file as it is
   and compare the gates with the real stub addresses. */

#include "cpu/descriptors.h"

    .section .text.stubs, "ax"

/* The processor pushes no error code for this vector: push a zero so that every frame
   has the same shape. */
.macro ISR_NO_ERROR_CODE vector
    .global isr\vector
    .type isr\vector, @function
isr\vector:
    cli
    push $0
    push $\vector
    jmp isr_common_stub
    .size isr\vector, . - isr\vector
.endm

/* The processor has already pushed its own error code. */
.macro ISR_ERROR_CODE vector
    .global isr\vector
    .type isr\vector, @function
isr\vector:
    cli
    push $\vector
    jmp isr_common_stub
    .size isr\vector, . - isr\vector
.endm

.macro IRQ line
    .global irq\line
    .type irq\line, @function
irq\line:
    cli
    push $0
    push $(IRQ_BASE_VECTOR + \line)
    jmp irq_common_stub
    .size irq\line, . - irq\line
.endm

/* Vectors 128 and 177 are SYSCALL_VECTOR and ALT_SYSCALL_VECTOR. */
.irp vector, 0, 1, 2, 3, 4, 5, 6, 7, 9, 15, 16, 18, 19, 20, 22, 23, 24, 25, 26, 27, 28, 29, 30, 31, 128, 177
    ISR_NO_ERROR_CODE \vector
.endr

.irp vector, 8, 10, 11, 12, 13, 14, 17, 21
    ISR_ERROR_CODE \vector
.endr

.irp line, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15
    IRQ \line
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
