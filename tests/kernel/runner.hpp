// The in-kernel test runner's entry, called at the end of start-up in the test image.
#pragma once

// Runs the groups named on the Multiboot command line, then ends the emulator.
void run_kernel_tests();
