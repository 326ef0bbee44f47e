// kentr: the start-up order of the whole kernel.
#pragma once

#include <stdint.h>

// Saved by the boot stub from the registers the loader entered with: the Multiboot magic
// number and the address of the loader's information record.
extern "C" uint32_t multiboot_magic;
extern "C" uint32_t multiboot_info;

// The first address past the loaded image, from the linker script.
extern "C" char kernel_image_end[];

extern "C" void kentr();

// The in-kernel test runner's entry, called last by kentr. The kernel's own definition is
// weak and empty; the test image links the real one, which runs the groups named on the
// Multiboot command line and then ends the emulator.
void run_kernel_tests();
