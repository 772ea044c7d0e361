#!/usr/bin/env bash
# Sets up, builds and runs kavlin-modifier on Debian 12.
#   ./kavlin.sh run    install what is missing, build, start the editor on the demo database
#   ./kavlin.sh build  install what is missing, build everything (the tools too)
#   ./kavlin.sh test   install what is missing, build, run every test
#   ./kavlin.sh bench  install what is missing, build, run the benchmarks
#   ./kavlin.sh package  install what is missing, build, make the Debian package
#   ./kavlin.sh install  make the Debian package and install it (apt)
#   ./kavlin.sh remove   remove the installed package
# Every command works as root and as a user who may use sudo.
set -euo pipefail

cd "$(dirname "$0")"
ROOT=$(pwd)
BUILD=${KAVLIN_BUILD_DIR:-$ROOT/build}

PACKAGES=(g++ cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev libxxhash-dev
          libbenchmark-dev zlib1g-dev xvfb xauth clang libclang-rt-14-dev libgdal-dev)
# Only for the Debian package and its test: cpack's dependency search
# (dpkg-shlibdeps, file) and the checks of the package.
PACKAGE_TOOLS=(dpkg-dev file lintian desktop-file-utils)
# Only for the tests: GDAL's own tools, which open the GIS tools' outputs
# as a GIS user's tools would.
TEST_TOOLS=(gdal-bin)

# install_missing PACKAGE...: installs those of the packages that are missing.
install_missing() {
  local missing=()
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  as_root apt-get update -q
  as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
}

# as_root COMMAND...: runs the command as root, through sudo unless this
# already is root.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# configure: the first configure of a build folder shows its output; later
# ones (which only pick up changes) show it only when they fail.
configure() {
  local args=(-S "$ROOT" -B "$BUILD" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo)
  if [ ! -f "$BUILD/CMakeCache.txt" ]; then
    cmake "${args[@]}"
    return
  fi
  local log="$BUILD/configure.log"
  if ! cmake "${args[@]}" >"$log" 2>&1; then
    cat "$log" >&2
    return 1
  fi
}

# build [TARGET...]: configures and builds the targets (everything when none
# is named).
build() {
  configure
  local targets=()
  [ $# -gt 0 ] && targets=(--target "$@")
  cmake --build "$BUILD" -j "$(nproc)" "${targets[@]}"
}

make_package() {
  install_missing "${PACKAGES[@]}" "${PACKAGE_TOOLS[@]}"
  build
  cd "$BUILD"
  rm -f kavlin-modifier_*.deb
  cpack -G DEB >"$BUILD/cpack.log" 2>&1 || { cat "$BUILD/cpack.log" >&2; exit 1; }
  DEB=$(ls "$BUILD"/kavlin-modifier_*.deb)
}

case "${1:-}" in
  run)
    install_missing "${PACKAGES[@]}"
    # Only what the editor and the demo database need; `test` builds the rest.
    build KAVLIN_Modifier kavlin-make-demo
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
  build)
    install_missing "${PACKAGES[@]}"
    build
    ;;
  test)
    install_missing "${PACKAGES[@]}" "${PACKAGE_TOOLS[@]}" "${TEST_TOOLS[@]}"
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
    make_package
    echo "Made $DEB; install it with: $0 install"
    ;;
  install)
    make_package
    as_root apt-get install -y -q "$DEB"
    ;;
  remove)
    as_root apt-get remove -y -q kavlin-modifier
    ;;
  *)
    echo "usage: $0 run|build|test|bench|package|install|remove" >&2
    exit 2
    ;;
esac
