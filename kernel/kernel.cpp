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

#ifdef TAVIX_KERNEL_TESTS
#include "tests/kernel/runner.hpp"
#endif

using namespace tavix;

extern "C" void kentr()
{
    start_global_config();
    init_gdt();
    init_idt(); // interrupts are on from here
    init_pit();
    init_dmem();
    if (identify()) {
        master_fs = makeFilesystem(const_cast<char*>("fat32"));
        if (!master_fs)
            printf("mkfat: error: unable to create filesystem\n\n");
    }
    execute_vorn("verinfo");
    printf("\nmasteruser: %s &", "/");
    // Keys pressed since interrupts came on were acknowledged but never read, and one unread
    // byte would keep every later key from interrupting: the shell starts from a drained
    // controller, with interrupts held off until its handler is in place.
    hw::disable_interrupts();
    discard_pending_keys();
    irq_install_handler(keyboard_irq, vorn);
    hw::enable_interrupts();
#ifdef TAVIX_KERNEL_TESTS
    // The test image runs its tests last, with everything up and interrupts on.
    run_kernel_tests();
#endif
}
