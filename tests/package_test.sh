#!/usr/bin/env bash
# The Debian package of a built tree: cpack makes it in a scratch folder
# (the build tree is only read, apart from cpack's install_manifest.txt),
# then the package's file list, control fields, manual pages and desktop
# entry are checked, its programs are run from the unpacked package, and
# lintian must report no error.
#
#   package_test.sh CPACK BUILD_DIR PROJECT_VERSION COMMAND...
#
# COMMAND... are the commands the package must hold in /usr/bin (empty
# arguments are ignored). Exit status 77 (skipped) when the Debian tools
# are not installed.
set -euo pipefail

cpack=$1 build=$2 version=$3
shift 3
commands=()
for c in "$@"; do [ -n "$c" ] && commands+=("$c"); done

for tool in dpkg-deb dpkg-shlibdeps lintian desktop-file-validate; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (dpkg-dev, lintian, desktop-file-utils)"
    exit 77
  fi
done

failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

if ! "$cpack" --config "$build/CPackConfig.cmake" -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1; then
  cat "$scratch/cpack.log"
  echo "FAIL: cpack"
  exit 1
fi
debs=("$scratch"/kavlin-modifier_*.deb)
if [ ${#debs[@]} -ne 1 ] || [ ! -f "${debs[0]}" ]; then
  ls -l "$scratch"
  echo "FAIL: cpack made no single kavlin-modifier_*.deb"
  exit 1
fi
deb=${debs[0]}
echo "package: $(basename "$deb")"

# Control fields.
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = kavlin-modifier ] || fail "Package is '$(field Package)'"
case "$(field Version)" in
  "$version"-*) ;;
  *) fail "Version '$(field Version)' is not $version-REVISION" ;;
esac
[ "$(field Architecture)" = "$(dpkg --print-architecture)" ] || fail "Architecture is '$(field Architecture)'"
case "$(field Section)" in science | utils) ;; *) fail "Section is '$(field Section)'" ;; esac
[ -n "$(field Maintainer)" ] || fail "no Maintainer"
depends=$(field Depends)
echo "Depends: $depends"
[[ $depends == *libc6* ]] || fail "Depends lacks libc6: dpkg-shlibdeps did not run"
for c in "${commands[@]}"; do
  if [ "$c" = kavlin-modifier ]; then
    [[ $depends == *libqt6widgets6* ]] || fail "Depends lacks libqt6widgets6"
  fi
  if [ "$c" = kavlin-export ]; then
    [[ $depends == *libgdal* ]] || fail "Depends lacks libgdal"
  fi
done

# The file list: every command with its manual page, the documents, the
# desktop entry and icon with the editor, and nothing else in /usr/bin.
dpkg-deb -c "$deb" | awk '{ print $6 }' | sed 's|^\./|/|' >"$scratch/contents"
expected=(/usr/share/doc/kavlin-modifier/README.md
          /usr/share/doc/kavlin-modifier/copyright
          /usr/share/doc/kavlin-modifier/changelog.Debian.gz)
for c in "${commands[@]}"; do
  expected+=("/usr/bin/$c" "/usr/share/man/man1/$c.1.gz")
done
if [[ " ${commands[*]} " == *" kavlin-modifier "* ]]; then
  expected+=(/usr/share/applications/kavlin-modifier.desktop
             /usr/share/icons/hicolor/scalable/apps/kavlin-modifier.svg)
fi
for f in "${expected[@]}"; do
  grep -qxF "$f" "$scratch/contents" || fail "$f is not in the package"
done
expected_bin=$(printf '/usr/bin/%s\n' "${commands[@]}" | sort)
actual_bin=$(grep '^/usr/bin/.' "$scratch/contents" | sort)
[ "$expected_bin" = "$actual_bin" ] || fail "/usr/bin holds: $(echo $actual_bin)"

# The unpacked package: programs run, their manual pages name every option
# their --help names, the desktop entry is valid.
root=$scratch/root
dpkg-deb -x "$deb" "$root"
for c in "${commands[@]}"; do
  page=$root/usr/share/man/man1/$c.1.gz
  [ -f "$page" ] || continue
  gzip -t "$page" || fail "$c.1.gz is not a gzip file"
  if [ "$c" = kavlin-modifier ]; then
    # The editor takes no arguments: it must start and wait at its first
    # message or dialog, offscreen, in an empty working folder.
    mkdir -p "$scratch/work"
    rc=0
    (cd "$scratch/work" && KAVLIN_DRIVES="$scratch/drives" QT_QPA_PLATFORM=offscreen \
      timeout 2 "$root/usr/bin/kavlin-modifier") >"$scratch/editor.log" 2>&1 || rc=$?
    [ "$rc" -eq 124 ] || { cat "$scratch/editor.log"; fail "kavlin-modifier ended with $rc instead of waiting"; }
    continue
  fi
  help=$("$root/usr/bin/$c" --help) || fail "$c --help failed"
  man_text=$(zcat "$page" | sed 's/\\-/-/g')
  for option in $(grep -o -- '--[a-z][a-z-]*' <<<"$help" | sort -u); do
    grep -qF -- "$option" <<<"$man_text" || fail "$c.1 does not name $option (from $c --help)"
  done
done
desktop=$root/usr/share/applications/kavlin-modifier.desktop
if [ -f "$desktop" ]; then
  desktop-file-validate "$desktop" || fail "desktop-file-validate"
fi

# lintian: no errors; warnings are listed.
lintian --fail-on error "$deb" >"$scratch/lintian.log" 2>&1 || lintian_rc=$?
grep -v 'running with root privileges' "$scratch/lintian.log" || true
[ "${lintian_rc:-0}" -eq 0 ] || fail "lintian reports errors (status $lintian_rc)"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed"
  exit 1
fi
echo "package checks passed"
