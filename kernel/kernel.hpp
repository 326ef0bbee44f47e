// kentr: the start-up order of the whole kernel.
#pragma once

extern "C" void kentr();
