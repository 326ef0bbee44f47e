#!/usr/bin/env bash
# Builds the static site of make web: one page that boots the kernel in v86 on the sample disk,
# with the v86 files of the pinned npm package, Debian's SeaBIOS and the guide as HTML.
#   tools/make-web.sh <kernel.elf> <site directory>
set -euo pipefail
cd "$(dirname "$0")/.."
kernel=$1
site=$2
v86=node_modules/v86
seabios=/usr/share/seabios

rm -rf "$site"
mkdir -p "$site"
cp web/tavix.css web/tavix.js "$kernel" "$v86/build/libv86.js" "$v86/build/v86.wasm" \
    "$seabios/bios.bin" "$seabios/vgabios-stdvga.bin" "$site/"
cp "$v86/LICENSE" "$site/v86-LICENSE.txt"
cp /usr/share/doc/seabios/copyright "$site/seabios-copyright.txt"
tools/make-disk.sh "$site/disk.img"
gzip -9n "$site/disk.img"
tools/web_guide.py docs "$site/guide"

# The page names what it runs: the version line verinfo prints, and the commit.
version=$(sed -n 's/.*version_string\[\] = "\(.*\)";/\1/p' general/vorn.cpp)
commit=$(git rev-parse --short HEAD 2>/dev/null || echo "unknown")
if [ "$commit" != unknown ] && [ -n "$(git status --porcelain --untracked-files=no 2>/dev/null)" ]; then
    commit="$commit (with uncommitted changes)"
fi
sed -e "s|@VERSION@|$version|" -e "s|@COMMIT@|$commit|" web/index.html > "$site/index.html"

echo "The site is in $site/. To try it here: python3 -m http.server -d $site 8000, then open"
echo "http://localhost:8000/ in a browser. To publish it, copy $site/ to any static web host."
