# Tavix top-level build. Every target installs the Debian packages it needs first.
#   make          build every artifact (kernel, test kernel, ISO, host tests)
#   make run      boot the kernel in QEMU on a fresh FAT32 disk (DISK=path for another image)
#   make test     build and run every test layer through ctest
#   make bench    print the benchmark figures
#   make fuzz     run every fuzz target for FUZZ_TIME seconds each (default 600)
#   make iso      build the GRUB rescue ISO
#   make debug    boot the unoptimised image in QEMU, stopped, waiting for gdb
#   make gdb      in another terminal: gdb with that image's symbols, attached to make debug's QEMU
#   make docs     regenerate the pictures and figures of docs/ from the build

BUILD   := build
KBUILD  := $(BUILD)/kernel
HBUILD  := $(BUILD)/host
# The image make debug boots and make gdb loads, built in a tree of its own.
DBUILD  := $(BUILD)/kernel-debug
DEBUG_ELF := $(BUILD)/debug/tavix.elf
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
DISK    ?=
# QEMU's -s listens for gdb here.
GDB_PORT := 1234
FUZZ_TIME ?= 600

# cmake --build runs make again in each build tree, and every sub-make would announce the
# directory it enters and leaves.
MAKEFLAGS += --no-print-directory

.PHONY: all deps kernel debug-kernel iso host run test bench fuzz debug gdb docs clean

all: kernel debug-kernel iso host

deps:
	@tools/install-deps.sh

kernel: deps
	@cmake -S . -B $(KBUILD) -DTAVIX_KERNEL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(KBUILD) -j $(JOBS)

# Debug is -O0 -g: every source line is its own run of instructions, in source order, so
# gdb's next and step go line by line and every local variable can be read.
debug-kernel: deps
	@cmake -S . -B $(DBUILD) -DTAVIX_KERNEL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake -DCMAKE_BUILD_TYPE=Debug \
		-DTAVIX_OUTPUT_DIR=$(abspath $(dir $(DEBUG_ELF))) >/dev/null
	@cmake --build $(DBUILD) -j $(JOBS) --target tavix

iso: kernel
	@tools/make-iso.sh $(BUILD)/tavix.elf $(BUILD)/tavix.iso

host: deps
	@cmake -S . -B $(HBUILD) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(HBUILD) -j $(JOBS)

run: kernel
	@tools/run.sh $(BUILD)/tavix.elf "$(DISK)"

debug: debug-kernel
	@tools/run.sh --debug $(DEBUG_ELF) "$(DISK)"

# No build here: the symbols must be those of the image make debug booted. A QEMU waiting
# for gdb listens on the port (state 0A in the kernel's socket tables); without one, gdb
# would only time out at its own prompt.
gdb: deps
	@test -f $(DEBUG_ELF) || { echo "make gdb: no $(DEBUG_ELF); run make debug in another terminal first" >&2; exit 1; }
	@cat /proc/net/tcp /proc/net/tcp6 2>/dev/null | awk -v port=$$(printf ':%04X' $(GDB_PORT)) \
		'$$4 == "0A" && substr($$2, length($$2) - 4) == port { found = 1 } END { exit !found }' || \
		{ echo "make gdb: no QEMU is waiting for gdb on port $(GDB_PORT); run make debug in another terminal first" >&2; exit 1; }
	@gdb -q $(DEBUG_ELF) -ex 'target remote localhost:$(GDB_PORT)'

docs: kernel
	@python3 tools/docs/make_docs.py

test: all
	@cd $(HBUILD) && ctest --output-on-failure -j $(JOBS)

bench: all
	@tools/bench.sh

fuzz: host
	@FUZZ_TIME=$(FUZZ_TIME) $(HBUILD)/run-fuzzers.sh

clean:
	rm -rf $(BUILD)
