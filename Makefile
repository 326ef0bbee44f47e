# Tavix top-level build. Every target installs the Debian packages it needs first.
#   make          build every artifact (kernel, test kernel, ISO, host tests)
#   make run      boot the kernel in QEMU on a fresh FAT32 disk (DISK=path for another image)
#   make test     build and run every test layer through ctest
#   make bench    print the benchmark figures
#   make fuzz     run every fuzz target for FUZZ_TIME seconds each (default 600)
#   make iso      build the GRUB rescue ISO
#   make debug    boot QEMU stopped, waiting for gdb
#   make gdb      in another terminal: gdb with the kernel's symbols, attached to make debug's QEMU

BUILD   := build
KBUILD  := $(BUILD)/kernel
HBUILD  := $(BUILD)/host
JOBS    ?= $(shell nproc 2>/dev/null || echo 2)
DISK    ?=
# QEMU's -s listens for gdb here.
GDB_PORT := 1234
FUZZ_TIME ?= 600

.PHONY: all deps kernel iso host run test bench fuzz debug gdb clean

all: kernel iso host

deps:
	@tools/install-deps.sh

kernel: deps
	@cmake -S . -B $(KBUILD) -DTAVIX_KERNEL=ON -DCMAKE_TOOLCHAIN_FILE=cmake/i686-elf.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	@cmake --build $(KBUILD) -j $(JOBS)

iso: kernel
	@tools/make-iso.sh $(BUILD)/tavix.elf $(BUILD)/tavix.iso

host: deps
	@cmake -S . -B $(HBUILD) -DCMAKE_BUILD_TYPE=Debug >/dev/null
	@cmake --build $(HBUILD) -j $(JOBS)

run: kernel
	@tools/run.sh $(BUILD)/tavix.elf "$(DISK)"

debug: kernel
	@tools/run.sh --debug $(BUILD)/tavix.elf "$(DISK)"

# No build here: the symbols must be those of the image make debug booted.
gdb: deps
	@test -f $(BUILD)/tavix.elf || { echo "error: no $(BUILD)/tavix.elf: start make debug first" >&2; exit 1; }
	@gdb -q $(BUILD)/tavix.elf -ex 'target remote localhost:$(GDB_PORT)'

test: all
	@cd $(HBUILD) && ctest --output-on-failure -j $(JOBS)

bench: all
	@tools/bench.sh

fuzz: host
	@FUZZ_TIME=$(FUZZ_TIME) $(HBUILD)/run-fuzzers.sh

clean:
	rm -rf $(BUILD)
