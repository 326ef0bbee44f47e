// The first two things start-up does: the memory check against the loader's information, and
// the keyboard controller set-up on the simulated controller, with its bounded waits.
#include "io/kbc.hpp"
#include "io/iotools.hpp"
#include "kernel/memory_check.hpp"

#include "arch/hw.hpp"
#include "drivers/display.hpp"

#include "tests/unit/shell_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

using namespace tavix;

namespace {

// The image as linked today reaches 1001108 KiB above 1 MiB; QEMU's -m 512M reports
// 523136 KiB there.
constexpr uint32_t image_kib = 1001108;
constexpr uint32_t small_machine_kib = 523136;

class MemoryCheck : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }
};

TEST_F(MemoryCheck, ImageSizeIsCountedInWholeKibFromOneMib)
{
    EXPECT_EQ(image_kib_above_1mib(image_load_address), 0u);
    EXPECT_EQ(image_kib_above_1mib(image_load_address + 1024), 1u);
    EXPECT_EQ(image_kib_above_1mib(image_load_address + 1025), 2u);
    EXPECT_EQ(image_kib_above_1mib(0x3D2A4DCC), image_kib);
}

TEST_F(MemoryCheck, EnoughMemoryGoesOnWithoutAWord)
{
    for (uint32_t has : {image_kib, image_kib + 1, 0xFFFFFFFFu}) {
        const multiboot_memory_info info{multiboot_flag_memory, 639, has};
        EXPECT_NO_THROW(check_memory(multiboot_loader_magic, &info, image_kib)) << has;
    }
    EXPECT_EQ(shell_test::screen(), "");
    EXPECT_EQ(sim::halt_count(), 0);
}

TEST_F(MemoryCheck, TooLittleMemoryPrintsOneLineAndStopsWithInterruptsOff)
{
    hw::enable_interrupts();
    const multiboot_memory_info info{multiboot_flag_memory, 639, small_machine_kib};
    EXPECT_THROW(check_memory(multiboot_loader_magic, &info, image_kib), sim::Halted);
    EXPECT_EQ(shell_test::screen(), "Tavix needs 978 MiB of memory above 1 MiB; this machine has 510 MiB");
    EXPECT_FALSE(sim::interrupts_enabled());
    EXPECT_EQ(shell_test::cursor_row(), 1);
    EXPECT_EQ(shell_test::cursor_col(), 0);

    // One KiB short is short: the need rounds up and the size down, so the figures differ.
    shell_test::fresh_machine();
    // The loader's own lines stand above; the message starts on a line of its own.
    kprint("Booting from ROM...");
    const multiboot_memory_info almost{multiboot_flag_memory | 0x200, 639, image_kib - 1};
    EXPECT_THROW(check_memory(multiboot_loader_magic, &almost, image_kib), sim::Halted);
    EXPECT_EQ(shell_test::screen(),
              "Booting from ROM...\nTavix needs 978 MiB of memory above 1 MiB; this machine has 977 MiB");
}

TEST_F(MemoryCheck, WithoutMemoryInformationStartUpGoesOnAsBefore)
{
    const multiboot_memory_info no_memory_flag{0x4, 0, 0};
    const multiboot_memory_info tiny{multiboot_flag_memory, 0, 0};
    EXPECT_NO_THROW(check_memory(multiboot_loader_magic, &no_memory_flag, image_kib));
    EXPECT_NO_THROW(check_memory(multiboot_loader_magic, nullptr, image_kib));
    // Another loader's magic: EBX need not point at a Multiboot record at all.
    EXPECT_NO_THROW(check_memory(0x36D76289, &tiny, image_kib));
    EXPECT_NO_THROW(check_memory(0, &tiny, image_kib));
    EXPECT_EQ(shell_test::screen(), "");
}

class KeyboardController : public ::testing::Test {
protected:
    void SetUp() override { shell_test::fresh_machine(); }

    static std::vector<sim::PortAccess> controller_writes() { return sim::writes_to({kbc_data_port, kbc_command_port}); }

    // The shell as start-up leaves it, then typed text as the keyboard sends it.
    static std::string shell_line_for(const std::string& text)
    {
        irq_install_handler(keyboard_irq, vorn);
        sim::type(text);
        return input;
    }
};

TEST_F(KeyboardController, SetUpTurnsTranslationOnAndTheSecondPortOffInTheDocumentedOrder)
{
    // The firmware left translation off, the first port's clock off, both interrupts on, and
    // keys typed since power-on wait in the controller as set 2 bytes.
    sim::set_controller_config(0x37);
    for (uint8_t k : {20, 23, 46, 37})
        sim::key_at_power_on(k);
    ASSERT_EQ(sim::controller_output_bytes(), 12u);

    init_keyboard_controller();
    EXPECT_EQ(controller_writes(), (std::vector<sim::PortAccess>{
                                       sim::out8(0x64, 0xAD), sim::out8(0x64, 0xA7), sim::out8(0x64, 0x20),
                                       sim::out8(0x64, 0x60), sim::out8(0x60, 0x65), sim::out8(0x64, 0xAE)}));
    // System flag and the second port's clock bit kept; translation and IRQ 1 on; IRQ 12
    // and the first port's clock-off bit cleared.
    EXPECT_EQ(sim::controller_config(), 0x65);
    EXPECT_TRUE(sim::first_port_enabled());
    EXPECT_FALSE(sim::second_port_enabled());
    EXPECT_EQ(sim::controller_output_bytes(), 0u);

    // The stray bytes were read before the configuration was asked for: the byte read right
    // after the read-configuration command is the configuration itself.
    const auto& log = sim::port_log();
    auto command = std::find(log.begin(), log.end(), sim::out8(0x64, 0x20));
    auto answer = std::find_if(command, log.end(), [](const sim::PortAccess& a) {
        return a.kind == sim::PortAccess::Kind::in && a.port == kbc_data_port;
    });
    ASSERT_NE(answer, log.end());
    EXPECT_EQ(answer->value, 0x37u);
}

TEST_F(KeyboardController, KeysDecodeAsTypedOnlyOnceTranslationIsOn)
{
    // The fault as a user met it: translation left off, set 2 bytes read as set 1.
    sim::set_controller_config(0x05);
    EXPECT_EQ(shell_line_for("tick"), "zzff");

    shell_test::fresh_machine();
    sim::set_controller_config(0x05);
    sim::key_at_power_on(30);
    init_keyboard_controller();
    EXPECT_EQ(shell_line_for("tick"), "tick");
}

TEST_F(KeyboardController, EveryWaitIsBoundedWhenTheControllerNeverAnswers)
{
    sim::set_port_logging(false);
    constexpr int commands_and_data = 6;
    constexpr int flushes = 2;

    // An input buffer that never empties: every write waits its full bound and is made anyway.
    sim::set_input_busy_polls(INT_MAX);
    init_keyboard_controller();
    EXPECT_LE(sim::status_reads(), commands_and_data * kbc_wait_reads + kbc_wait_reads +
                                       flushes * (kbc_flush_byte_limit + 1));
    EXPECT_GE(sim::status_reads(), commands_and_data * kbc_wait_reads);
    EXPECT_EQ(sim::controller_config(), 0x45);

    // No answer to the configuration read: the fallback byte is written.
    shell_test::fresh_machine();
    sim::set_controller_mute(true);
    init_keyboard_controller();
    EXPECT_EQ(sim::writes_to({kbc_data_port}), (std::vector<sim::PortAccess>{sim::out8(0x60, 0x45)}));

    // An output buffer that never empties: each flush stops after its bound, and the set-up
    // still finishes.
    shell_test::fresh_machine();
    sim::set_output_stuck(true);
    init_keyboard_controller();
    int data_reads = 0;
    for (const sim::PortAccess& a : sim::port_log())
        data_reads += a.kind == sim::PortAccess::Kind::in && a.port == kbc_data_port;
    EXPECT_EQ(data_reads, flushes * kbc_flush_byte_limit + 1);
    EXPECT_TRUE(sim::first_port_enabled());
}

} // namespace
