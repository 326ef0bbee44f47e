"""The kernel's memory map, from the linked image: the figures the guide quotes and a picture
of the first gigabyte as the loaded kernel occupies it."""

from elf import Image
from svg import Drawing

KIB = 1024
MIB = 1024 * 1024

# Fixed by the PC, not by the build.
LOW_MEMORY_END = 0xA0000
VGA_MEMORY_END = 0xC0000
TEXT_BUFFER = 0xB8000
TEXT_BUFFER_BYTES = 80 * 25 * 2

# The three objects that dwarf or matter most; the zero-filled globals between them are
# drawn as one row each.
BSS_LANDMARKS = [
    ("stack_bottom", "stack_space", "boot stack: every handler and command runs here, growing down", "stack"),
    ("dynamic_mem_area", None, "heap: dynamic_mem_area, handed out by malloc", "heap"),
    ("shell_history", None, "shell_history: 1024 lines of 1024 bytes", "data"),
]
NAMES_PER_ROW = 3


def hex32(value):
    return "0x%08X" % value


def size_text(n):
    if n >= MIB:
        return "%.1f MiB" % (n / MIB)
    if n >= 10 * KIB:
        return "%d KiB" % (n // KIB)
    return "{:,} bytes".format(n)


def rounded_up(n, unit):
    return (n + unit - 1) // unit


def globals_between(image, start, end):
    inside = [s for s in image.symbols.values() if start <= s.address < end and s.size > 0]
    inside.sort(key=lambda s: (-s.size, s.name))
    names = [s.name for s in inside[:NAMES_PER_ROW]]
    if len(inside) > NAMES_PER_ROW:
        names.append("%d more" % (len(inside) - NAMES_PER_ROW))
    return names


def regions(image):
    """(start, end, label, kind), from the lowest address up."""
    segment = image.segments[0]
    image_end = image.symbol("kernel_image_end").address
    rows = [
        (0, LOW_MEMORY_END, "conventional memory: BIOS data, the loader's record (read at start-up)", "hardware"),
        (LOW_MEMORY_END, VGA_MEMORY_END, "VGA memory: the text buffer is at %s" % hex32(TEXT_BUFFER), "hardware"),
        (VGA_MEMORY_END, segment.address, "video and system BIOS ROMs", "hardware"),
    ]
    text = image.section(".text")
    rows.append((text.address, text.address + text.size, ".text: Multiboot header, start, interrupt stubs, code",
                 "code"))
    for name, label in ((".rodata", ".rodata: messages and tables"), (".data", ".data: initialised globals"),
                        ("ktests", "ktests: the in-kernel tests")):
        section = next((s for s in image.sections if s.name == name), None)
        if section is not None and section.size > 0:
            rows.append((section.address, section.address + section.size, label, "data"))

    at = image.section(".bss").address
    for first, last, label, kind in BSS_LANDMARKS:
        start = image.symbol(first).address
        end = image.symbol(last).address if last else start + image.symbol(first).size
        names = globals_between(image, at, start)
        if names:
            rows.append((at, start, "zero-filled globals: " + ", ".join(names), "tables"))
        rows.append((start, end, label, kind))
        at = end
    names = globals_between(image, at, image_end)
    if names:
        rows.append((at, image_end, "zero-filled globals: " + ", ".join(names), "tables"))
    rows.append((image_end, None, "the rest of RAM (make run gives the machine 1 GiB): unused", "free"))
    return rows


def facts(image):
    segment = image.segments[0]
    heap = image.symbol("dynamic_mem_area")
    history = image.symbol("shell_history")
    image_end = image.symbol("kernel_image_end").address
    found = {
        "mem.load": hex32(segment.address),
        "mem.entry": hex32(image.entry),
        "mem.header_offset": str(segment.offset),
        "mem.loaded_kib": str(rounded_up(segment.file_size, KIB)),
        "mem.elf_kib": str(rounded_up(image.file_size, KIB)),
        "mem.stack_bottom": hex32(image.symbol("stack_bottom").address),
        "mem.stack_top": hex32(image.symbol("stack_space").address),
        "mem.gdt": hex32(image.symbol("gdt_entries").address),
        "mem.idt": hex32(image.symbol("idt_entries").address),
        "mem.irq_routines": hex32(image.symbol("irq_routines").address),
        "mem.heap": hex32(heap.address),
        "mem.heap_end": hex32(heap.address + heap.size),
        "mem.heap_bytes": "{:,}".format(heap.size),
        "mem.history": hex32(history.address),
        "mem.image_end": hex32(image_end),
        "mem.image_mib": str(rounded_up(image_end, MIB)),
        "mem.needed_mib": str(rounded_up(rounded_up(image_end - segment.address, KIB), KIB)),
        "mem.text_buffer": hex32(TEXT_BUFFER),
    }
    for name in (".text", ".rodata", ".data", ".bss"):
        section = image.section(name)
        found["mem.%s" % name[1:]] = hex32(section.address)
    return found


ROW_HEIGHT = 34
LEFT = 110
BOX_WIDTH = 560


def figure(image):
    rows = regions(image)
    height = ROW_HEIGHT * len(rows) + 70
    d = Drawing(LEFT + BOX_WIDTH + 20, height, "Tavix memory map")
    d.text(10, 22, "Memory as the loaded kernel uses it (high addresses at the top; not to scale)", 14, bold=True)
    top = 40
    for i, (start, end, label, kind) in enumerate(reversed(rows)):
        y = top + i * ROW_HEIGHT
        d.box(LEFT, y, BOX_WIDTH, ROW_HEIGHT, kind, dashed=end is None)
        d.text(LEFT + 8, y + 15, label, 11)
        size = "" if end is None else size_text(end - start)
        d.text(LEFT + BOX_WIDTH - 8, y + 29, size, 11, anchor="end")
        d.text(LEFT - 8, y + ROW_HEIGHT - 4, hex32(start), 12, anchor="end")
    d.text(10, height - 12, "Addresses and sizes from build/tavix.elf; make docs draws this again.", 11)
    return d.svg()


def build(elf_path):
    image = Image(elf_path)
    if len(image.segments) != 1:
        raise SystemExit("%s: expected one loadable segment, found %d" % (elf_path, len(image.segments)))
    return facts(image), {"memory-map.svg": figure(image)}
