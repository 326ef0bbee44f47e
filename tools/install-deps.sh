#!/usr/bin/env bash
# Installs the Debian packages the build, the run and the tests need, when they are missing.
set -euo pipefail

packages=(
    make cmake clang lld g++ g++-multilib googletest libclang-rt-14-dev
    python3 qemu-system-x86 qemu-user grub-pc-bin grub-common xorriso mtools dosfstools fdisk gdb
)
# The second PC model of the tests. Where it cannot be installed, the build goes on and its
# tests are reported as skipped.
optional=(bochs bochsbios vgabios bochs-sdl)

missing_of() {
    for p in "$@"; do
        if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
            echo "$p"
        fi
    done
}
mapfile -t missing < <(missing_of "${packages[@]}")
mapfile -t missing_optional < <(missing_of "${optional[@]}")
[ ${#missing[@]} -eq 0 ] && [ ${#missing_optional[@]} -eq 0 ] && exit 0

echo "Installing missing packages: ${missing[*]} ${missing_optional[*]}"
if [ "$(id -u)" -eq 0 ]; then
    sudo_cmd=()
elif command -v sudo >/dev/null 2>&1; then
    sudo_cmd=(sudo)
elif [ ${#missing[@]} -eq 0 ]; then
    echo "note: no root or sudo to install ${missing_optional[*]}: the Bochs tests will be skipped" >&2
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
    echo "note: could not install ${missing_optional[*]}: the Bochs tests will be skipped" >&2
fi
