#!/usr/bin/env bash
# Installs the Debian packages the build, the run and the tests need, when they are missing,
# then the pinned npm packages of package-lock.json.
set -euo pipefail
cd "$(dirname "$0")/.."

# seabios, Node.js and python3-markdown make the browser page (make web) and run v86.
packages=(
    make cmake clang lld g++ g++-multilib googletest libclang-rt-14-dev
    python3 qemu-system-x86 qemu-user grub-pc-bin grub-common xorriso mtools dosfstools fdisk gdb
    seabios python3-markdown
)
# A Node.js from elsewhere brings its own npm and conflicts with Debian's npm package.
command -v node >/dev/null 2>&1 || packages+=(nodejs)
command -v npm >/dev/null 2>&1 || packages+=(npm)
# The second PC model of the tests, and the browser the page is tested in. Where they cannot be
# installed, the build goes on and their tests are reported as skipped.
optional=(bochs bochsbios vgabios bochs-sdl chromium)

# v86 and playwright-core, as package-lock.json pins them; again whenever the lock file changed.
npm_packages() {
    if [ ! -f node_modules/.package-lock.json ] || [ package-lock.json -nt node_modules/.package-lock.json ]; then
        npm ci --no-audit --no-fund
    fi
}

missing_of() {
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            echo "$p"
        fi
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
if [ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ]; then
    npm_packages
    exit 0
fi

echo "Installing missing packages: ${missing[*]} ${missing_optional[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
elif [ ${#missing[@]} -eq 0 ]; then
    echo "note: no root or sudo to install ${missing_optional[*]}: the Bochs or browser tests will be skipped" >&2
    npm_packages
    exit 0
else
    echo "error: need root or sudo to install: ${missing[*]}" >&2
    exit 1
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
if [ ${#missing[@]} -gt 0 ]; then
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
if [ ${#missing_optional[@]} -gt 0 ] &&
   ! "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing_optional[@]}"; then
    echo "note: could not install ${missing_optional[*]}: the Bochs or browser tests will be skipped" >&2
fi
npm_packages
