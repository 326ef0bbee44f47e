/* Descriptor-table loads: the GDT with a reload of every segment register, the task
   register, and the IDT. */

#include "cpu/descriptors.h"

    .section .text.stubs, "ax"

/* void gdt_flush(uint32_t gdt_ptr_address) */
    .global gdt_flush
    .type gdt_flush, @function
gdt_flush:
    mov 4(%esp), %eax
    lgdt (%eax)
    mov $KERNEL_DATA_SELECTOR, %ax
    mov %ax, %ds
    mov %ax, %es
    mov %ax, %fs
    mov %ax, %gs
    mov %ax, %ss
    /* CS only changes through a far transfer. */
    ljmp $KERNEL_CODE_SELECTOR, $1f
1:
    ret
    .size gdt_flush, . - gdt_flush

/* void tss_flush(void) */
    .global tss_flush
    .type tss_flush, @function
tss_flush:
    mov $TSS_SELECTOR, %ax
    ltr %ax
    ret
    .size tss_flush, . - tss_flush

/* void idt_flush(uint32_t idt_ptr_address): interrupts are on from here. */
    .global idt_flush
    .type idt_flush, @function
idt_flush:
    mov 4(%esp), %eax
    lidt (%eax)
    sti
    ret
    .size idt_flush, . - idt_flush

    .section .note.GNU-stack, "", @progbits
