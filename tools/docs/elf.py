"""Reads what the guide needs from a 32-bit little-endian ELF image: its entry point, loadable
segments, sections and symbols."""

import collections
import struct

Segment = collections.namedtuple("Segment", "offset address file_size memory_size")
Section = collections.namedtuple("Section", "name address size")
Symbol = collections.namedtuple("Symbol", "name address size")

PT_LOAD = 1
SHT_SYMTAB = 2
SHT_NOBITS = 8
SHF_ALLOC = 0x2


class Image:
    def __init__(self, path):
        with open(path, "rb") as f:
            data = f.read()
        self.file_size = len(data)
        if data[:4] != b"\x7fELF" or data[4] != 1 or data[5] != 1:
            raise SystemExit("%s: not a 32-bit little-endian ELF image" % path)
        (_, _, _, self.entry, phoff, shoff, _, _, phentsize, phnum, shentsize, shnum,
         shstrndx) = struct.unpack_from("<HHIIIIIHHHHHH", data, 16)

        self.segments = []
        for i in range(phnum):
            kind, offset, address, _, file_size, memory_size, _, _ = struct.unpack_from(
                "<8I", data, phoff + i * phentsize)
            if kind == PT_LOAD:
                self.segments.append(Segment(offset, address, file_size, memory_size))

        headers = [struct.unpack_from("<10I", data, shoff + i * shentsize) for i in range(shnum)]
        names = headers[shstrndx][4]

        def string(table, index):
            end = data.index(b"\0", table + index)
            return data[table + index:end].decode()

        self.sections = [Section(string(names, h[0]), h[3], h[5]) for h in headers if h[2] & SHF_ALLOC]
        self.symbols = {}
        for h in headers:
            if h[1] != SHT_SYMTAB:
                continue
            strings = headers[h[6]][4]
            for at in range(h[4], h[4] + h[5], h[9]):
                name, value, size, _, _, _ = struct.unpack_from("<IIIBBH", data, at)
                if name:
                    symbol = Symbol(demangle(string(strings, name)), value, size)
                    self.symbols.setdefault(symbol.name, symbol)

    def section(self, name):
        return next(s for s in self.sections if s.name == name)

    def symbol(self, name):
        if name not in self.symbols:
            raise SystemExit("no symbol %s in the image" % name)
        return self.symbols[name]


def demangle(name):
    """The last part of a nested C++ name (_ZN5tavix11idt_entriesE is idt_entries); C names
    and everything else as they are. Enough for the kernel's globals, which are all plain
    variables in a namespace."""
    if not name.startswith("_ZN") or not name.endswith("E"):
        return name
    rest, part = name[3:-1], name
    while rest:
        digits = len(rest) - len(rest.lstrip("0123456789"))
        if digits == 0:
            return name
        length = int(rest[:digits])
        part, rest = rest[digits:digits + length], rest[digits + length:]
    return part
