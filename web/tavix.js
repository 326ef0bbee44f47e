// Boots Tavix in v86 on a fresh copy of the sample disk, and lets the learner start again or
// download the disk as it is now. libv86.js, loaded before this file, defines V86.
"use strict";

// The kernel image reaches just under 979 MiB, so the PC gets 1 GiB, as under QEMU.
const MEMORY_BYTES = 1024 * 1024 * 1024;
const DISK_FILE_NAME = "tavix-disk.img";
// A download waits for the processor to be idle at the prompt, so that it never holds half a
// command's writes; the shell is idle again within milliseconds of any command.
const IDLE_POLL_MS = 10;
const IDLE_POLLS = 200;

const screen = document.getElementById("screen");
const statusLine = document.getElementById("status");
const restartButton = document.getElementById("restart");
const downloadButton = document.getElementById("download");

let emulator = null;
// The disk v86 reads and writes, in place.
let disk = null;

function showStatus(text) {
    statusLine.textContent = text;
}

// The sample disk is stored compressed: 64 MiB of mostly empty sectors are a few hundred KiB.
async function freshDisk() {
    const response = await fetch("disk.img.gz");
    if (!response.ok)
        throw new Error("disk.img.gz: " + response.status + " " + response.statusText);
    const unpacked = response.body.pipeThrough(new DecompressionStream("gzip"));
    return new Response(unpacked).arrayBuffer();
}

async function start() {
    restartButton.disabled = true;
    downloadButton.disabled = true;
    if (emulator) {
        await emulator.destroy();
        emulator = null;
    }
    showStatus("Loading the sample disk…");
    disk = await freshDisk();
    emulator = new V86({
        wasm_path: "v86.wasm",
        memory_size: MEMORY_BYTES,
        screen: { container: screen },
        bios: { url: "bios.bin" },
        vga_bios: { url: "vgabios-stdvga.bin" },
        multiboot: { url: "tavix.elf" },
        hda: { buffer: disk },
        autostart: true,
    });
    emulator.add_listener("emulator-started", () => {
        // Keys reach the PC only while its screen has the focus, so that the buttons and the
        // rest of the page keep theirs.
        emulator.keyboard_set_enabled(document.activeElement === screen);
        restartButton.disabled = false;
        downloadButton.disabled = false;
        showStatus("Running. Click the screen and type.");
    });
}

function processorIdle() {
    return emulator.v86.cpu.in_hlt[0] !== 0;
}

async function downloadDisk() {
    for (let poll = 0; poll < IDLE_POLLS && !processorIdle(); ++poll)
        await new Promise((resolve) => setTimeout(resolve, IDLE_POLL_MS));
    if (!processorIdle()) {
        showStatus("Tavix is busy; the disk was not saved. Try again in a moment.");
        return;
    }
    // The Blob copies the bytes now; the machine runs on meanwhile.
    const url = URL.createObjectURL(new Blob([disk], { type: "application/octet-stream" }));
    const link = document.createElement("a");
    link.href = url;
    link.download = DISK_FILE_NAME;
    link.click();
    setTimeout(() => URL.revokeObjectURL(url), 0);
    showStatus("Saved the disk as " + DISK_FILE_NAME + ".");
}

function failed(error) {
    showStatus("Tavix could not start: " + error.message);
    restartButton.disabled = false;
}

screen.addEventListener("focus", () => emulator?.keyboard_set_enabled(true));
screen.addEventListener("blur", () => emulator?.keyboard_set_enabled(false));
restartButton.addEventListener("click", () => {
    start().catch(failed);
    screen.focus();
});
downloadButton.addEventListener("click", () =>
    downloadDisk().catch((error) => showStatus("The disk could not be saved: " + error.message)));

screen.focus();
start().catch(failed);
