// Port I/O, the kernel's own memory copy and fill, and machine control (reboot, power-off).
#pragma once

#include <stddef.h>
#include <stdint.h>

namespace tavix {

uint8_t port_byte_in(uint16_t port);
void port_byte_out(uint16_t port, uint8_t data);
uint16_t port_word_in(uint16_t port);
void port_word_out(uint16_t port, uint16_t data);
uint32_t port_dword_in(uint16_t port);
void port_dword_out(uint16_t port, uint32_t data);

// Repeated string transfers: one instruction each, memory walked upward from addr.
void insw(uint16_t port, void* addr, unsigned long count);
void outsw(uint16_t port, const void* addr, unsigned long count);
void insb(uint16_t port, void* addr, unsigned long count);

// Note the order: source first, destination second. Copies upward one byte at a time,
// so moving data to a lower address inside one buffer is safe. bytes <= 0 copies nothing.
void memcpy(const int* src, int* dest, int bytes);
// Stores the byte val into count bytes from dest upward.
void memset(void* dest, char val, uint32_t count);
// 'a'..'z' become 'A'..'Z'; every other value is returned unchanged.
int k_toupper(int c);

// ---- Bounded device waits ----
// Every wait for a device is a count of status reads, never a time: shell commands run inside
// the keyboard interrupt with interrupts off, so no timer runs while they wait. One read of a
// port takes on the order of a microsecond (on an emulator too), and each bound below gives
// its device far more than it needs, so that a missing device, an empty bus (which reads
// 0xFF) or one that raised an error costs a bounded delay instead of a hang. All the bounds
// of the kernel are here, so that they can be compared and changed in one place.

// The end of a wait: whether the status met the condition, and the last status read.
struct status_wait {
    bool met;
    uint8_t status;
};

// Reads a status with `read` until `met` accepts it, at most `bound` reads.
template <class Read, class Met>
status_wait wait_for_status(uint32_t bound, Read read, Met met)
{
    uint8_t status = 0;
    for (uint32_t i = 0; i < bound; ++i) {
        status = read();
        if (met(status))
            return {true, status};
    }
    return {false, status};
}

// The common case: a status port read until the bits under `mask` equal `value`.
status_wait wait_port_bits(uint16_t port, uint8_t mask, uint8_t value, uint32_t bound);

// The bounds, each a number of status reads.

// The keyboard controller takes a byte or answers in microseconds (reset line included).
constexpr uint32_t kbc_wait_reads = 100000;
// An ATA drive leaving BSY after IDENTIFY: a slow drive gets seconds.
constexpr uint32_t ata_busy_wait_reads = 1000000;
// An ATA drive asking for (or delivering) the next sector, or storing the last one.
constexpr uint32_t ata_data_wait_reads = 4000000;
// Flushing a drive's write cache may reach the host's disk.
constexpr uint32_t ata_flush_wait_reads = 20000000;
// The clock's update cycle keeps its registers busy for under 2 ms, but an emulated clock may
// hold the update flag far longer: QEMU latches it until its update timer has run, which a
// guest spinning on the port delays by tens of milliseconds (10,000 reads were seen to run
// out). This is about half a second: a clock that never leaves its update is dead.
constexpr uint32_t rtc_update_wait_reads = 500000;

// Resets the machine through the keyboard controller. Returns only if the reset did not happen.
void reboot_system();
// Powers off through the emulators' power-management ports; halts for good otherwise.
[[noreturn]] void shutdown_system();

} // namespace tavix
