// In-kernel tests of the core: the timer, software interrupts and the exception path.
#include "arch/hw.hpp"
#include "cpu/gdt.hpp"
#include "cpu/idt.hpp"
#include "cpu/pit.hpp"
#include "tests/kernel/ktest.hpp"

#include <stdint.h>

using namespace tavix;

namespace {

// A tick may land between reading the counter and entering wait, and another while the
// second read is made; anything beyond that means wait overslept.
constexpr uint64_t wait_slack_ticks = 3;
constexpr int divzero_lead_ticks = 20;

} // namespace

KTEST(timer, wait_250_takes_250_ticks)
{
    const uint64_t before = get_ticks();
    wait(250);
    const uint64_t elapsed = get_ticks() - before;
    KEXPECT(elapsed >= 250);
    KEXPECT(elapsed < 250 + wait_slack_ticks);
}

// With interrupts off the counter stands still, so a wait that looked for even one tick would
// never return and the runner's time limit would fail the boot. Counting the ticks across the
// calls instead failed under host load, when the emulator delivers late ticks in a burst.
KTEST(timer, wait_zero_and_negative_return_at_once)
{
    hw::disable_interrupts();
    wait(0);
    wait(-5);
    wait(INT32_MIN);
    hw::enable_interrupts();
}

namespace {

// EBP's value around the interrupt: a global, so that the assembly reaches it by its
// absolute address while EBP itself holds the test value.
constinit uint32_t frame_value = 0;

// Loads distinct values into every general register, raises the interrupt and compares what
// comes back. EBP is the frame pointer, so it is saved and restored by hand.
template <uint32_t vector> bool registers_survive()
{
    uint32_t a = 0x11111111, b = 0x22222222, c = 0x33333333, d = 0x44444444, si = 0x55555555, di = 0x66666666;
    frame_value = 0x77777777;
    asm volatile("push %%ebp\n\tmov %[bp], %%ebp\n\tint %[v]\n\tmov %%ebp, %[bp]\n\tpop %%ebp"
                 : "+a"(a), "+b"(b), "+c"(c), "+d"(d), "+S"(si), "+D"(di), [bp] "+m"(frame_value)
                 : [v] "i"(vector)
                 : "memory", "cc");
    return a == 0x11111111 && b == 0x22222222 && c == 0x33333333 && d == 0x44444444 && si == 0x55555555 &&
           di == 0x66666666 && frame_value == 0x77777777;
}

bool segments_are_the_kernels()
{
    uint16_t ds, es, fs, gs, ss, cs;
    asm volatile("mov %%ds, %0\n\tmov %%es, %1\n\tmov %%fs, %2\n\t"
                 "mov %%gs, %3\n\tmov %%ss, %4\n\tmov %%cs, %5"
                 : "=r"(ds), "=r"(es), "=r"(fs), "=r"(gs), "=r"(ss), "=r"(cs));
    return ds == kernel_data_selector && es == kernel_data_selector && fs == kernel_data_selector &&
           gs == kernel_data_selector && ss == kernel_data_selector && cs == kernel_code_selector;
}

uint16_t task_register()
{
    uint16_t tr;
    asm volatile("str %0" : "=r"(tr));
    return tr;
}

} // namespace

// Also proves the descriptor table and the task register that init_gdt loaded.
KTEST(swint, int80_and_intb1_keep_registers_and_segments)
{
    KEXPECT(registers_survive<0x80>());
    KEXPECT(registers_survive<0xB1>());
    KEXPECT(segments_are_the_kernels());
    KEXPECT(task_register() == tss_selector);
}

namespace {

// The frame the last IRQ handler was given, copied out while it ran.
constinit InterruptRegisters irq_frame = {};
constinit int irq_calls = 0;

void record_irq_frame(InterruptRegisters* regs)
{
    irq_frame = *regs;
    ++irq_calls;
}

template <uint32_t vector>
void raise_vector()
{
    asm volatile("int %0" : : "i"(vector) : "memory");
}

using raise_t = void (*)();

constexpr raise_t irq_raisers[irq_line_count] = {
    raise_vector<32>, raise_vector<33>, raise_vector<34>, raise_vector<35>,
    raise_vector<36>, raise_vector<37>, raise_vector<38>, raise_vector<39>,
    raise_vector<40>, raise_vector<41>, raise_vector<42>, raise_vector<43>,
    raise_vector<44>, raise_vector<45>, raise_vector<46>, raise_vector<47>,
};

constexpr uint32_t eflags_interrupt_enable = 1u << 9;

} // namespace

// Every IRQ stub pushes its own vector and a zero error code, and the common stub hands
// the handler a frame with the kernel selectors of the interrupted code.
KTEST(swint, irq_stubs_build_the_frame)
{
    for (uint32_t line = 0; line < irq_line_count; ++line) {
        const irq_handler_t saved = irq_routines[line];
        irq_frame = {};
        irq_calls = 0;
        // The line's own device may interrupt meanwhile; both kinds of frame must match.
        hw::disable_interrupts();
        irq_install_handler(static_cast<int>(line), record_irq_frame);
        hw::enable_interrupts();
        irq_raisers[line]();
        hw::disable_interrupts();
        irq_routines[line] = saved;
        hw::enable_interrupts();
        KEXPECT(irq_calls >= 1);
        KEXPECT(irq_frame.int_no == irq_base_vector + line);
        KEXPECT(irq_frame.err_code == 0);
        KEXPECT(irq_frame.csm == kernel_code_selector);
        KEXPECT(irq_frame.ds == kernel_data_selector);
        KEXPECT((irq_frame.eflags & eflags_interrupt_enable) != 0);
    }
}

// Fatal: the panic line is the only result, so the system test reads it off the screen.
KTEST(divzero, divide_by_zero_panics)
{
    // Let the counter run first, so that the system test can tell a stopped timer from
    // one that never started.
    wait(divzero_lead_ticks);
    // Both operands volatile: with a constant dividend the compiler may replace the
    // division by a comparison that never faults.
    volatile int dividend = 1;
    volatile int zero = 0;
    volatile int quotient = dividend / zero;
    (void)quotient;
    KEXPECT(false); // reached only if no exception was raised
}

// Fatal: a selector beyond the end of the descriptor table. The processor pushes an error
// code for this vector, so the message only comes out right if the stub left it in place.
KTEST(gpfault, bad_selector_panics)
{
    wait(divzero_lead_ticks);
    asm volatile("mov $0x50, %%ax\n\t"
                 "mov %%ax, %%fs" ::: "eax", "memory");
    KEXPECT(false); // reached only if no exception was raised
}
