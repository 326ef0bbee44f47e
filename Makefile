# Tavix top-level build. Every target installs the Debian packages it needs first.
#   make          build every artifact (kernel, test kernel, ISO, host tests)
#   make run      boot the kernel in QEMU on build/disk.img, kept between runs (DISK=path for another image)
#   make disk     make a fresh sample disk build/disk.img
#   make test     build and run every test layer through ctest
#   make bench    print the benchmark figures
#   make fuzz     run every fuzz target for FUZZ_TIME seconds each (default 600)
#   make iso      build the GRUB rescue ISO
#   make web      build the site that boots the kernel in a browser (build/web/)
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
# The gdb port probe below needs bash's /dev/tcp.
SHELL := /bin/bash

# cmake --build runs make again in each build tree, and every sub-make would announce the
# directory it enters and leaves.
MAKEFLAGS += --no-print-directory

.PHONY: all deps kernel debug-kernel iso host web run disk test bench fuzz debug gdb docs clean

# A build tree remembers the checkout that configured it, and CMake refuses to reuse it from a
# copied or moved checkout with a message that names no way out: say which one in one line.
reusable = @cache=$(1)/CMakeCache.txt; made_in=$$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' $$cache 2>/dev/null); \
	if [ -n "$$made_in" ] && [ "$$made_in" != "$(CURDIR)" ]; then \
		echo "make: $(1) was configured for the checkout in $$made_in, not this one; run make clean first" >&2; exit 1; fi

all: kernel debug-kernel iso host web

deps:
	@tools/install-deps.sh

kernel: deps
	$(call reusable,$(KBUILD))
	@cmake -S . -B $(KBUILD) -DTAVIX_KERNEL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(KBUILD) -j $(JOBS)

# Debug is -O0 -g: every source line is its own run of instructions, in source order, so
# gdb's next and step go line by line and every local variable can be read.
debug-kernel: deps
	$(call reusable,$(DBUILD))
	@cmake -S . -B $(DBUILD) -DTAVIX_KERNEL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake -DCMAKE_BUILD_TYPE=Debug \
		-DTAVIX_OUTPUT_DIR=$(abspath $(dir $(DEBUG_ELF))) >/dev/null
	@cmake --build $(DBUILD) -j $(JOBS) --target tavix

iso: kernel
	@tools/make-iso.sh $(BUILD)/tavix.elf $(BUILD)/tavix.iso
	@echo "Made $(BUILD)/tavix.iso, a GRUB rescue image of $(BUILD)/tavix.elf: boot it in another VM or write it to a USB stick."

web: kernel
	@tools/make-web.sh $(BUILD)/tavix.elf $(BUILD)/web

host: deps
	$(call reusable,$(HBUILD))
	@cmake -S . -B $(HBUILD) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(HBUILD) -j $(JOBS)

run: kernel
	@tools/run.sh $(BUILD)/tavix.elf "$(DISK)"

disk: deps
	@mkdir -p $(BUILD) && tools/make-disk.sh $(BUILD)/disk.img && echo "Made a fresh sample disk, $(BUILD)/disk.img."

debug: debug-kernel
	@tools/run.sh --debug $(DEBUG_ELF) "$(DISK)"

# No build here: the symbols must be those of the image make debug booted. QEMU opens its gdb
# port only once it has loaded the 979 MiB image, a few seconds after make debug starts, so
# the port is tried for up to GDB_WAIT_TRIES half seconds; without a QEMU there, gdb would
# only time out at its own prompt. $(error) says why in one line and stops.
GDB_WAIT_TRIES := 12
gdb_waiting = $(shell for try in $$(seq $(GDB_WAIT_TRIES)); do \
	(exec 3<>/dev/tcp/127.0.0.1/$(GDB_PORT)) 2>/dev/null && { echo yes; break; }; sleep 0.5; done)
gdb: deps
	$(if $(wildcard $(DEBUG_ELF)),,$(error make gdb: no $(DEBUG_ELF); run make debug in another terminal first))
	$(if $(gdb_waiting),,$(error make gdb: no QEMU is waiting for gdb on port $(GDB_PORT); run make debug in another terminal first))
	@gdb -q $(DEBUG_ELF) -ex 'target remote localhost:$(GDB_PORT)'

docs: kernel debug-kernel
	@python3 tools/docs/make_docs.py

test: all
	@cd $(HBUILD) && ctest --output-on-failure -j $(JOBS)

bench: all
	@tools/bench.sh

fuzz: host
	@FUZZ_TIME=$(FUZZ_TIME) $(HBUILD)/run-fuzzers.sh

clean:
	rm -rf $(BUILD)
