# The kernel image and the in-kernel test image, both linked at 1 MiB as one loadable segment.
file(GLOB TAVIX_ARCH_SOURCES CONFIGURE_DEPENDS
    ${CMAKE_SOURCE_DIR}/boot/*.S
    ${CMAKE_SOURCE_DIR}/arch/x86/*.cpp)
# The in-kernel benchmarks (tools/bench/kernel) run in the test image too, as groups of their own.
file(GLOB TAVIX_KERNEL_TEST_SOURCES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/tests/kernel/*.cpp
    ${CMAKE_SOURCE_DIR}/tools/bench/kernel/*.cpp)

# -march=i486: the kernel runs on any 32-bit PC from the 486 on; the i686 target triple of the
# toolchain only names the calling convention and object format.
set(TAVIX_KERNEL_FLAGS
    -ffreestanding -fno-exceptions -fno-rtti -fno-threadsafe-statics -fno-stack-protector
    -fno-pic -fno-builtin -nostdlib -march=i486 -mno-sse -mno-mmx -mno-80387
    -fno-omit-frame-pointer)
set(TAVIX_OUTPUT_DIR ${CMAKE_SOURCE_DIR}/build CACHE PATH "Where the kernel images go")
set(TAVIX_LINKER_SCRIPT ${CMAKE_SOURCE_DIR}/boot/linker.ld)

# Every kernel source is compiled once, into one object library that both images link; the
# test image adds its test sources (the runner overrides a weak hook of kentr's).
add_library(tavix_kernel_objects OBJECT ${TAVIX_SOURCES} ${TAVIX_ARCH_SOURCES})
target_include_directories(tavix_kernel_objects PUBLIC ${CMAKE_SOURCE_DIR})
target_compile_options(tavix_kernel_objects PUBLIC ${TAVIX_KERNEL_FLAGS}
    $<$<COMPILE_LANGUAGE:CXX>:${TAVIX_WARNINGS}>)

function(tavix_image name)
    add_executable(${name} ${ARGN})
    target_link_libraries(${name} PRIVATE tavix_kernel_objects)
    target_link_options(${name} PRIVATE -nostdlib -fuse-ld=lld -static
        -Wl,-T,${TAVIX_LINKER_SCRIPT} -Wl,--no-dynamic-linker -Wl,--fatal-warnings)
    set_target_properties(${name} PROPERTIES LINK_DEPENDS ${TAVIX_LINKER_SCRIPT}
        SUFFIX ".elf" RUNTIME_OUTPUT_DIRECTORY ${TAVIX_OUTPUT_DIR})
    # An image that would not run on a 486 fails its link step, and make removes it.
    add_custom_command(TARGET ${name} POST_BUILD
        COMMAND ${CMAKE_SOURCE_DIR}/tools/check-cpu-baseline.sh $<TARGET_FILE:${name}> VERBATIM)
endfunction()

tavix_image(tavix)
tavix_image(tavix-test ${TAVIX_KERNEL_TEST_SOURCES})
