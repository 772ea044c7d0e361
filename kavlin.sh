#!/usr/bin/env bash
# Sets up, builds and runs kavlin-modifier on Debian 12.
#   ./kavlin.sh run    install what is missing, build, start the editor on the demo database
#   ./kavlin.sh test   install what is missing, build, run every test
#   ./kavlin.sh bench  install what is missing, build, run the benchmarks
#   ./kavlin.sh package  install what is missing, build, make the Debian package
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${KAVLIN_BUILD_DIR:-$ROOT/build}

PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev
          libbenchmark-dev zlib1g-dev xvfb xauth clang libclang-rt-14-dev libgdal-dev)
# Only for the Debian package and its test: cpack's dependency search
# (dpkg-shlibdeps, file) and the checks of the package.
PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils)

# install_missing PACKAGE...: installs those of the packages that are missing.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -q
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q --no-install-recommends "${missing[@]}"
}

build() {
  cmake -S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo
  cmake --build "$BUILD" -j "$(nproc)"
}

case "${1:-}" in
  run)
    install_missing "${PACKAGES[@]}"
    build
    # The demo database lives in the build folder as drive D; the editor
    # runs in a folder whose DRIVE.DAT names that drive.
    DEMO="$BUILD/demo"
    export KAVLIN_DRIVES="$DEMO/drives"
    if [ ! -d "$KAVLIN_DRIVES/d:/KAVLIN" ]; then
      "$BUILD/tools/kavlin-make-demo" --drives "$KAVLIN_DRIVES" --drive D
    fi
    mkdir -p "$DEMO/work"
    [ -f "$DEMO/work/DRIVE.DAT" ] || printf 'D\n' > "$DEMO/work/DRIVE.DAT"
    cd "$DEMO/work"
    exec "$BUILD/app/KAVLIN_Modifier"
    ;;
  test)
    install_missing "${PACKAGES[@]}" "${PACKAGE_TOOLS[@]}"
    build
    cd "$BUILD"
    QT_QPA_PLATFORM=offscreen ctest --output-on-failure --timeout 600 -j 2
    ;;
  bench)
    install_missing "${PACKAGES[@]}"
    build
    for b in "$BUILD"/bench/kavlin_bench_*; do [ -x "$b" ] && "$b"; done
    ;;
  package)
    install_missing "${PACKAGES[@]}" "${PACKAGE_TOOLS[@]}"
    build
    cd "$BUILD"
    rm -f kavlin-modifier_*.deb
    cpack -G DEB
    echo "Install it with: sudo apt install $(ls "$BUILD"/kavlin-modifier_*.deb)"
    ;;
  *)
    echo "usage: $0 run|test|bench|package" >&2
    exit 2
    ;;
esac
