#!/usr/bin/env bash
# SPDX-License-Identifier: LGPL-2.1-or-later
# Builds the Debian packages (debian/) from the committed tree, then checks them with lintian.
#   scripts/package.sh [OUTPUT_DIR]   the .deb files land in OUTPUT_DIR (default build-package/)
# Installs the packaging tools and build dependencies first, unless ZORVGST_PACKAGE_NO_DEPS=1.
# DEB_BUILD_OPTIONS defaults to "nocheck parallel=2": the suite runs from the tree (.ci/run).
set -euo pipefail
cd "$(dirname "$0")/.."
out=$(realpath -m "${1:-build-package}")

[ -n "${ZORVGST_PACKAGE_NO_DEPS:-}" ] || scripts/package-deps.sh

# The packages carry the project's version: the changelog must not drift from CMake's.
version=$(dpkg-parsechangelog -S Version)
upstream=${version%-*}
project_version=$(sed -n 's/^project(zorvgst VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
if [ "$upstream" != "$project_version" ]; then
    echo "debian/changelog is at $upstream, CMakeLists.txt at $project_version" >&2
    exit 1
fi

# The committed tree, as a clone holds it: no uncommitted edit, no build directory gets in, and
# the work tree stays clean.
rm -rf "$out"
src="$out/zorvgst-$upstream"
mkdir -p "$src"
git archive --format=tar HEAD | tar -C "$src" -xf -

echo "Building the packages of zorvgst $version in $out (log: $out/build.log)"
if ! (cd "$src" && DEB_BUILD_OPTIONS=${DEB_BUILD_OPTIONS:-"nocheck parallel=2"} \
    dpkg-buildpackage -us -uc -b >"$out/build.log" 2>&1); then
    tail -n 40 "$out/build.log" >&2
    echo "dpkg-buildpackage failed; the whole log is $out/build.log" >&2
    exit 1
fi
rm -rf "$src"

# Errors fail the build; warnings are listed for the packager to judge.
lintian --fail-on error "$out"/zorvgst_*.changes | tee "$out/lintian.txt"
ls -1 "$out"/*.deb
