// The page make web builds, in a real browser: build/web/ is served on 127.0.0.1 and opened in
// Debian's Chromium (headless, driven by playwright-core). Tavix must reach its prompt, show
// what the page says it runs, take a typed session, and hand out a disk that fsck.fat -n and
// mtools read as clean; "Start again" must boot anew on a fresh disk. The screenshot of the
// session is build/web-page.png (and, with TAVIX_UPDATE_SCREENSHOT=1, the README's picture).
// Where Chromium or playwright-core is missing the file exits with 77: ctest reports it skipped.
import assert from "node:assert/strict";
import { execFileSync, spawnSync } from "node:child_process";
import fs from "node:fs";
import http from "node:http";
import os from "node:os";
import path from "node:path";
import test from "node:test";
import { fileURLToPath } from "node:url";

const ROOT = path.resolve(path.dirname(fileURLToPath(import.meta.url)), "..", "..");
const BUILD = process.env.TAVIX_BUILD ? path.resolve(ROOT, process.env.TAVIX_BUILD) : path.join(ROOT, "build");
const SITE = path.join(BUILD, "web");
const CHROMIUM = "/usr/bin/chromium";
const SKIPPED = 77;
const PROMPT = "masteruser: / &";
const BOOT_TIMEOUT_MS = 60000;
const COMMAND_TIMEOUT_MS = 10000;
const POLL_MS = 50;
const SAMPLE_FILES = ["::/DOCS/", "::/Long file name.txt", "::/README.TXT"];

// The session typed at the prompt: each line, and what the screen must show after it.
const SESSION = [
    ["verinfo", PROMPT + "verinfo\n\nTavix 32-bit kernel"],
    ["mkhello", PROMPT + "mkhello\n" + PROMPT],
    // The listing read from the disk: the sample files, and hello stamped with the page's clock.
    ["dir", "DOCS                     <DIR>  2025-01-01 12:00\nhello                    <DIR>  "],
    ["mkhello", "mkdir: error: hello already exists"],
];

const TYPES = {
    ".html": "text/html", ".js": "text/javascript", ".css": "text/css", ".wasm": "application/wasm",
    ".png": "image/png", ".svg": "image/svg+xml", ".txt": "text/plain",
};

function missing() {
    if (!fs.existsSync(CHROMIUM)) return "no " + CHROMIUM + " (package chromium)";
    if (!fs.existsSync(path.join(ROOT, "node_modules", "playwright-core"))) return "no playwright-core (npm ci installs it)";
    return null;
}

// The site as any static host serves it: files only, on the loopback interface.
function serve(root) {
    const server = http.createServer((request, response) => {
        const name = decodeURIComponent(new URL(request.url, "http://localhost").pathname);
        const file = path.join(root, name.endsWith("/") ? name + "index.html" : name);
        if (!file.startsWith(root + path.sep) || !fs.existsSync(file) || !fs.statSync(file).isFile()) {
            response.writeHead(404).end();
            return;
        }
        response.writeHead(200, { "Content-Type": TYPES[path.extname(file)] || "application/octet-stream" });
        fs.createReadStream(file).pipe(response);
    });
    return new Promise((resolve) => server.listen(0, "127.0.0.1", () => resolve(server)));
}

async function screenText(page) {
    return page.locator("#screen .text").innerText();
}

async function waitForScreen(page, text, timeout) {
    const deadline = Date.now() + timeout;
    for (;;) {
        const screen = await screenText(page);
        if (screen.replace(/[ \u00a0]+\n/g, "\n").includes(text)) return screen;
        if (Date.now() > deadline) assert.fail("no " + JSON.stringify(text) + " on the screen:\n" + screen);
        await new Promise((resolve) => setTimeout(resolve, POLL_MS));
    }
}

function tool(command, args) {
    const result = spawnSync(command, args, { encoding: "utf8", env: { ...process.env, MTOOLS_SKIP_CHECK: "1" } });
    return { ok: result.status === 0, output: result.stdout + result.stderr };
}

// Downloads the disk through the page's button; returns the root directory mtools lists.
async function downloadedDisk(page, file) {
    const [download] = await Promise.all([page.waitForEvent("download"), page.click("#download")]);
    assert.equal(download.suggestedFilename(), "tavix-disk.img");
    await download.saveAs(file);
    const fsck = tool("fsck.fat", ["-n", file]);
    assert.ok(fsck.ok, fsck.output);
    assert.equal(fsck.output.trim().split("\n").length, 2, fsck.output);
    const listing = tool("mdir", ["-b", "-i", file, "::/"]);
    assert.ok(listing.ok, listing.output);
    return listing.output.trim().split("\n").sort();
}

async function run() {
    const { chromium } = await import(path.join(ROOT, "node_modules", "playwright-core", "index.mjs"));
    const work = fs.mkdtempSync(path.join(os.tmpdir(), "tavix-web-"));
    const server = await serve(SITE);
    const context = await chromium.launchPersistentContext(path.join(work, "profile"), {
        executablePath: CHROMIUM,
        headless: true,
        acceptDownloads: true,
        viewport: { width: 900, height: 800 },
        args: ["--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run", "--disable-background-networking",
            "--disable-component-update", "--disable-sync"],
    });
    try {
        await test("the page boots Tavix, takes a session and hands out a clean disk", { timeout: 4 * BOOT_TIMEOUT_MS },
            async () => {
                const page = context.pages()[0] ?? await context.newPage();
                const started = Date.now();
                const site = "http://127.0.0.1:" + server.address().port + "/";
                await page.goto(site);
                await waitForScreen(page, PROMPT, BOOT_TIMEOUT_MS);
                console.log("# browser: page load to the prompt in %s s", ((Date.now() - started) / 1000).toFixed(2));

                // The page names what it runs: the version verinfo prints, and this commit.
                const version = await page.locator("#version").innerText();
                const commit = execFileSync("git", ["rev-parse", "--short", "HEAD"], { cwd: ROOT, encoding: "utf8" }).trim();
                const named = await page.locator("#commit").innerText();
                assert.ok(named.startsWith(commit), "the page names commit " + named + ", not " + commit + ": make web again");
                assert.equal(await page.locator("#guide").getAttribute("href"), "guide/README.html");
                assert.ok((await page.request.get(site + "guide/README.html")).ok());

                // The screen has the keyboard from the start: nothing is clicked before typing.
                for (const [line, expected] of SESSION) {
                    await page.keyboard.type(line);
                    await page.keyboard.press("Enter");
                    await waitForScreen(page, expected, COMMAND_TIMEOUT_MS);
                }
                await waitForScreen(page, "&verinfo\n\n" + version + "\n", 0);
                await page.screenshot({ path: path.join(BUILD, "web-page.png") });
                assert.deepEqual(await downloadedDisk(page, path.join(work, "first.img")), [...SAMPLE_FILES, "::/hello/"].sort());

                // Keys typed while a button has the focus stay with the page.
                await page.focus("#download");
                await page.keyboard.type("lost");
                await page.click("#screen");
                await page.keyboard.press("Enter");
                assert.ok(!(await waitForScreen(page, "hello already exists\n" + PROMPT + "\n" + PROMPT, COMMAND_TIMEOUT_MS))
                    .includes("lost"));

                // Start again: a new machine on a fresh disk, with the keyboard back at the screen.
                await page.click("#restart");
                await page.waitForFunction(() => document.getElementById("status").textContent.startsWith("Running"));
                const screen = await waitForScreen(page, PROMPT, BOOT_TIMEOUT_MS);
                assert.ok(!screen.includes("mkhello"), screen);
                assert.deepEqual(await downloadedDisk(page, path.join(work, "fresh.img")), SAMPLE_FILES);
                await page.focus("#screen");
                await page.keyboard.type("mkhello");
                await page.keyboard.press("Enter");
                await waitForScreen(page, PROMPT + "mkhello\n" + PROMPT, COMMAND_TIMEOUT_MS);
            });
    } finally {
        await context.close();
        server.close();
        fs.rmSync(work, { recursive: true, force: true });
    }
    if (process.env.TAVIX_UPDATE_SCREENSHOT) fs.copyFileSync(path.join(BUILD, "web-page.png"), path.join(ROOT, "docs", "web-page.png"));
}

const reason = missing();
if (reason) {
    console.log("skipped: " + reason);
    process.exit(SKIPPED);
}
await run();
