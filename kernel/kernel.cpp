// The kernel's entry routine: brings the subsystems up in their fixed order.
#include "kernel/kernel.hpp"

#include "cpu/gdt.hpp"
#include "cpu/idt.hpp"
#include "cpu/mem.hpp"
#include "cpu/pit.hpp"
#include "general/stdio.hpp"

#ifdef TAVIX_KERNEL_TESTS
#include "tests/kernel/runner.hpp"
#endif

using namespace tavix;

extern "C" void kentr()
{
    init_gdt();
    init_idt(); // interrupts are on from here
    init_pit();
    init_dmem();
    printf("\nmasteruser: %s &", "/");
#ifdef TAVIX_KERNEL_TESTS
    // The test image runs its tests last, with everything up and interrupts on.
    run_kernel_tests();
#endif
}
