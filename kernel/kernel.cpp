// The kernel's entry routine: brings the subsystems up in their fixed order.
#include "kernel/kernel.hpp"

#include "arch/hw.hpp"
#include "cpu/gdt.hpp"
#include "cpu/idt.hpp"
#include "cpu/mem.hpp"
#include "cpu/pit.hpp"
#include "drivers/disk.hpp"
#include "drivers/fs/fat32.hpp"
#include "general/config.hpp"
#include "general/stdio.hpp"
#include "general/vorn.hpp"
#include "io/kb.hpp"
#include "io/kbc.hpp"
#include "kernel/memory_check.hpp"

using namespace tavix;

extern "C" void kentr()
{
    // Before anything writes a static: on a machine too small for the image most of them
    // lie past the end of RAM, and the shell would start dead without a word of why.
    check_memory(multiboot_magic, reinterpret_cast<const multiboot_memory_info*>(multiboot_info),
                 image_kib_above_1mib(reinterpret_cast<uintptr_t>(kernel_image_end)));
    start_global_config();
    init_gdt();
    // Keys may have come in since power-on and left the controller in any state; it is set
    // up while interrupts are still off, so every key the kernel sees decodes the same way.
    init_keyboard_controller();
    init_idt(); // interrupts are on from here
    init_pit();
    init_dmem();
    if (identify()) {
        master_fs = makeFilesystem(const_cast<char*>("fat32"));
        if (!master_fs)
            printf("mkfat: error: unable to create filesystem\n\n");
    }
    execute_vorn("verinfo");
    printf("\n");
    print_prompt();
    begin_line();
    // Keys pressed since interrupts came on were acknowledged but never read, and one unread
    // byte would keep every later key from interrupting: the shell starts from a drained
    // controller, with interrupts held off until its handler is in place.
    hw::disable_interrupts();
    discard_pending_keys();
    line_handler = run_shell_line;
    irq_install_handler(keyboard_irq, vorn);
    hw::enable_interrupts();
    // The test image runs its tests last, with everything up and interrupts on.
    run_kernel_tests();
}

// The shipped image has no tests: this empty entry stands in for the test runner, which the
// test image links from tests/kernel and which takes its place.
[[gnu::weak]] void run_kernel_tests() {}
