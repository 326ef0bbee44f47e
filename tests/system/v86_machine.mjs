// Boots a Tavix image in v86 under Node for the system tests (tests/system/v86.py drives it).
//
//   node v86_machine.mjs <kernel.elf> [disk.img|-] [command line]
//
// The PC has SeaBIOS, 1 GiB and the disk image as primary master. The machine is then driven
// by requests on standard input, one JSON object a line, each answered by one line on standard
// output:
//   {"op": "state"}            the text screen (4000 bytes, hex), what the guest wrote to port
//                              0xE9, and the exit value (null until the guest ended the run)
//   {"op": "keys", "codes": [...]}   set-1 scancodes for the keyboard; answered once the guest
//                              has read them, or after KEY_DRAIN_MS
//   {"op": "quit"}             writes the disk back to its file and ends
// The test image reports on port 0xE9 and ends with a write to port 0xF4, QEMU's debug console
// and isa-debug-exit. v86 has neither device, so this program listens on both ports itself:
// the first write to 0xF4 stops the machine, as the exit device ends QEMU.
import fs from "node:fs";
import path from "node:path";
import readline from "node:readline";
import { fileURLToPath } from "node:url";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
const V86_BUILD = path.join(ROOT, "node_modules", "v86", "build");
const BIOS = "/usr/share/seabios/bios.bin";
const VGA_BIOS = "/usr/share/seabios/vgabios-stdvga.bin";
const MEMORY_BYTES = 1024 * 1024 * 1024;
const SCREEN_BYTES = 80 * 25 * 2;
const DEBUG_CONSOLE_PORT = 0xE9;
const DEBUG_EXIT_PORT = 0xF4;
const KEY_DRAIN_MS = 2000;
const KEY_POLL_MS = 2;

const { V86 } = await import(path.join(V86_BUILD, "libv86.mjs"));

function fileBuffer(file) {
    const bytes = fs.readFileSync(file);
    return bytes.buffer.slice(bytes.byteOffset, bytes.byteOffset + bytes.length);
}

const [kernelPath, diskArgument, commandLine = ""] = process.argv.slice(2);
const diskPath = diskArgument && diskArgument !== "-" ? diskArgument : null;
// v86 writes to this buffer in place; it goes back to the file at the end.
const disk = diskPath ? fileBuffer(diskPath) : null;

const emulator = new V86({
    wasm_path: path.join(V86_BUILD, "v86.wasm"),
    bios: { buffer: fileBuffer(BIOS) },
    vga_bios: { buffer: fileBuffer(VGA_BIOS) },
    memory_size: MEMORY_BYTES,
    multiboot: { buffer: fileBuffer(kernelPath) },
    cmdline: commandLine,
    hda: disk ? { buffer: disk } : undefined,
    autostart: true,
});

let debugConsole = "";
let exitValue = null;
emulator.add_listener("emulator-loaded", () => {
    const io = emulator.v86.cpu.io;
    io.register_write(DEBUG_CONSOLE_PORT, null, (byte) => { debugConsole += String.fromCharCode(byte); });
    io.register_write(DEBUG_EXIT_PORT, null, (byte) => {
        if (exitValue === null) {
            exitValue = byte;
            emulator.stop();
        }
    });
});

function screenHex() {
    const vga = emulator.v86?.cpu.devices.vga;
    if (!vga) return "00".repeat(SCREEN_BYTES);
    // In text mode the card keeps character and attribute bytes as the processor wrote them at
    // 0xB8000, from the CRT controller's start address on.
    const start = vga.start_address << 1;
    return Buffer.from(vga.vga_memory.subarray(start, start + SCREEN_BYTES)).toString("hex");
}

const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

// v86's keyboard queue has no small limit like QEMU's, but a test that looks at the screen
// right after a key wants the guest to have taken it, as it would on QEMU.
async function sendKeys(codes) {
    emulator.keyboard_send_scancodes(codes);
    const ps2 = emulator.v86.cpu.devices.ps2;
    const deadline = Date.now() + KEY_DRAIN_MS;
    while ((ps2.kbd_buffer.length > 0 || ps2.next_byte_is_ready) && exitValue === null && Date.now() < deadline)
        await sleep(KEY_POLL_MS);
}

async function answer(request) {
    switch (request.op) {
    case "state":
        return { screen: screenHex(), console: debugConsole, exit: exitValue };
    case "keys":
        await sendKeys(request.codes);
        return {};
    case "quit":
        await emulator.stop();
        if (disk) fs.writeFileSync(diskPath, new Uint8Array(disk));
        await emulator.destroy();
        return {};
    default:
        return { error: "unknown request " + JSON.stringify(request) };
    }
}

// Requests are answered one at a time, in order.
let queue = Promise.resolve();
readline.createInterface({ input: process.stdin }).on("line", (line) => {
    queue = queue.then(async () => {
        const request = JSON.parse(line);
        process.stdout.write(JSON.stringify(await answer(request)) + "\n");
        if (request.op === "quit") process.exit(0);
    });
});
