# Decides how the 32-bit host test programs are started: natively when this machine can run
# i386 programs, otherwise under qemu-i386 (Debian package qemu-user). Sets
# TAVIX_HOST_EMULATOR (empty for native) and CMAKE_CROSSCOMPILING_EMULATOR, which ctest and
# gtest_discover_tests put in front of every test program.

set(_probe_dir ${CMAKE_BINARY_DIR}/i386-probe)
file(WRITE ${_probe_dir}/probe.cpp "int main() { return 0; }\n")
try_run(_probe_run _probe_compiled ${_probe_dir}/build ${_probe_dir}/probe.cpp
    COMPILE_DEFINITIONS -m32 LINK_OPTIONS -m32)

set(TAVIX_HOST_EMULATOR "")
if(_probe_compiled AND NOT _probe_run EQUAL 0)
    find_program(TAVIX_QEMU_I386 qemu-i386)
    if(NOT TAVIX_QEMU_I386)
        message(FATAL_ERROR "This machine cannot run 32-bit programs and qemu-i386 is missing "
            "(tools/install-deps.sh installs it with the qemu-user package).")
    endif()
    message(STATUS "32-bit test programs run under ${TAVIX_QEMU_I386}")
    set(TAVIX_HOST_EMULATOR ${TAVIX_QEMU_I386})
    set(CMAKE_CROSSCOMPILING_EMULATOR ${TAVIX_QEMU_I386})
endif()
