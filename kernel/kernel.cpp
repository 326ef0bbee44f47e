// The kernel's entry routine: brings the subsystems up in their fixed order.
#include "kernel/kernel.hpp"

extern "C" void kentr()
{
}
