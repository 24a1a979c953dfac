#!/usr/bin/env bash
# The installed layout and the Debian package, checked the way a distribution would: everything
# lands where the desktop looks for it, the desktop entry and the AppStream metadata pass their
# validators, the manual pages render without warnings, the completion completes, and the
# programs run from the unpacked package. Nothing is installed on this machine: the layout goes
# into a temporary prefix and the package is only unpacked.
#
#   package_test.sh BUILD_DIR
#
# Exit status: 0 passed, 1 failed, 77 skipped (no cpack or dpkg-deb).
set -uo pipefail

build=${1:?usage: package_test.sh BUILD_DIR}
build=$(cd "$build" && pwd)

for tool in cpack dpkg-deb; do
  if ! command -v "$tool" >/dev/null; then
    echo "SKIP: $tool is not installed (scripts/bootstrap installs it)"
    exit 77
  fi
done

work=$(mktemp -d "${TMPDIR:-/tmp}/quillet-package-test.XXXXXX")
trap 'rm -rf "$work"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }
pass() { echo "ok: $*"; }

# Every file of the layout, relative to the prefix. The programs of the build's libexec/quillet
# (the companion among them once it is built) are added below.
layout=(
  bin/Quillet
  bin/quilletctl
  share/applications/com.plx.Quillet.desktop
  share/icons/hicolor/scalable/apps/com.plx.Quillet.svg
  share/icons/hicolor/scalable/status/com.plx.Quillet-on.svg
  share/icons/hicolor/scalable/status/com.plx.Quillet-off.svg
  share/metainfo/com.plx.Quillet.metainfo.xml
  share/quillet/help/index.html
  share/quillet/translations/quillet_en.qm
  share/man/man1/Quillet.1
  share/man/man1/QuilletMenuExtra.1
  share/man/man1/quilletctl.1
  share/man/man8/quilletd.8
  share/man/man8/quilletCacheManagerd.8
  share/man/man8/quilletMountDiskd.8
  share/bash-completion/completions/quilletctl
  share/zsh/vendor-completions/_quilletctl
  share/fish/vendor_completions.d/quilletctl.fish
)
for daemon in quilletd quilletCacheManagerd quilletMountDiskd; do
  [[ -x $build/libexec/quillet/$daemon ]] || fail "the build has no libexec/quillet/$daemon"
done
for program in "$build"/libexec/quillet/*; do
  [[ -f $program && -x $program ]] && layout+=("libexec/quillet/${program##*/}")
done
executables=(bin/Quillet bin/quilletctl)
for entry in "${layout[@]}"; do
  [[ $entry == libexec/* ]] && executables+=("$entry")
done

# --- The installed layout -------------------------------------------------------------------
prefix=$work/prefix
if ! cmake --install "$build" --prefix "$prefix" >"$work/install.log" 2>&1; then
  cat "$work/install.log"
  fail "cmake --install $build --prefix $prefix"
fi
for entry in "${layout[@]}"; do
  if [[ ! -f $prefix/$entry || -L $prefix/$entry ]]; then
    fail "installed layout lacks $entry"
  fi
done
for entry in "${executables[@]}"; do
  [[ -x $prefix/$entry ]] || fail "$entry is not executable once installed"
done
(( failures == 0 )) && pass "cmake --install lays out ${#layout[@]} files"

desktop=$prefix/share/applications/com.plx.Quillet.desktop
for line in "Exec=Quillet" "Icon=com.plx.Quillet" "Categories=Utility;System;" "Type=Application"; do
  grep -qxF "$line" "$desktop" || fail "the desktop entry lacks $line"
done
if command -v desktop-file-validate >/dev/null; then
  if output=$(desktop-file-validate "$desktop" 2>&1); then
    pass "desktop-file-validate${output:+ (${output##*: })}"
  else
    echo "$output"
    fail "desktop-file-validate $desktop"
  fi
else
  echo "note: desktop-file-validate is not installed; the desktop entry is not validated"
fi

metainfo=$prefix/share/metainfo/com.plx.Quillet.metainfo.xml
if command -v appstreamcli >/dev/null; then
  if output=$(appstreamcli validate --no-net "$metainfo" 2>&1); then
    pass "appstreamcli validate --no-net"
  else
    echo "$output"
    fail "appstreamcli validate --no-net $metainfo"
  fi
else
  echo "note: appstreamcli is not installed; the metadata is not validated"
fi

# The metadata, the desktop entry's icon and the icons agree; each image is well-formed SVG.
if python3 - "$prefix" <<'PY'
import sys, xml.etree.ElementTree as ET
prefix = sys.argv[1]
root = ET.parse(f"{prefix}/share/metainfo/com.plx.Quillet.metainfo.xml").getroot()
problems = []
if root.findtext("id") != "com.plx.Quillet":
    problems.append("metainfo id is not com.plx.Quillet")
launchable = root.find("launchable")
if launchable is None or launchable.get("type") != "desktop-id" or launchable.text != "com.plx.Quillet.desktop":
    problems.append("metainfo launchable is not the desktop entry")
if root.find("description") is None or root.find("content_rating") is None:
    problems.append("metainfo lacks a description or a content rating")
if "@" in ET.tostring(root, encoding="unicode"):
    problems.append("metainfo holds an unreplaced @VARIABLE@")
for icon in ("apps/com.plx.Quillet", "status/com.plx.Quillet-on", "status/com.plx.Quillet-off"):
    svg = ET.parse(f"{prefix}/share/icons/hicolor/scalable/{icon}.svg").getroot()
    if svg.tag != "{http://www.w3.org/2000/svg}svg" or not svg.get("viewBox"):
        problems.append(f"{icon}.svg is not an SVG image with a viewBox")
for problem in problems:
    print(problem)
sys.exit(1 if problems else 0)
PY
then
  pass "metainfo fields and SVG icons"
else
  fail "metainfo or icons"
fi

# --- Manual pages ---------------------------------------------------------------------------
for page in "$prefix"/share/man/man[18]/*; do
  name=${page##*/}
  warnings=$(groff -man -ww -z "$page" 2>&1)
  [[ -z $warnings ]] || { echo "$warnings"; fail "groff warns on $name"; continue; }
  if command -v man >/dev/null; then
    text=$(MANWIDTH=80 man --warnings -l "$page" 2>"$work/man.err")
    warnings=$(cat "$work/man.err")
    [[ -z $warnings ]] || { echo "$warnings"; fail "man warns on $name"; continue; }
    [[ $text == *NAME* && $text == *SYNOPSIS* ]] || { fail "$name renders without NAME or SYNOPSIS"; continue; }
    [[ $text != *@PROJECT_VERSION@* ]] || { fail "$name keeps @PROJECT_VERSION@"; continue; }
  fi
  pass "man page $name"
done

# --- Shell completion -----------------------------------------------------------------------
completion=$prefix/share/bash-completion/completions/quilletctl
if bash -n "$completion"; then
  pass "bash -n on the bash completion"
else
  fail "bash -n $completion"
fi
# Each case: the completions expected (each followed by "|"), then the words on the line as the
# shell splits them (backslashes and quotes kept), the last one being completed.
check_completion() {
  local expected=$1; shift
  local got
  got=$(
    source "$completion"
    COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); COMP_LINE="$*"; COMP_POINT=${#COMP_LINE}
    COMPREPLY=()
    _quilletctl quilletctl "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD - 1]}" 2>/dev/null
    printf '%s|' "${COMPREPLY[@]}"
  )
  if [[ $got == "$expected" ]]; then
    pass "completion of '$*'"
  else
    fail "completion of '$*' offered '$got', expected '$expected'"
  fi
}
check_completion 'status|start|stop|' quilletctl st
check_completion 'status|start|stop|settings|list|search|recover|restore|empty|log|--help|' quilletctl ''
check_completion 'name|date|size|' quilletctl list --sort ''
check_completion '--reverse|' quilletctl list --re
check_completion '--all|--yes|--password-stdin|--help|' quilletctl empty --
check_completion '--json|--help|' quilletctl status --
check_completion 'Keep\ data\ for\ days|Keep\ data\ for\ size\ max|' quilletctl settings Keep
check_completion 'Keep\ data\ for\ size\ max|' quilletctl settings 'Keep\ data\ for\ s'
check_completion 'How many days to keep data|' quilletctl settings '"How'
check_completion 'App_Prefs_checkUpdates|' quilletctl settings App
check_completion '0|1|' quilletctl settings 'Display\ menu\ extra' ''
check_completion '|' quilletctl settings 'Display\ menu\ extra' 1 ''
if command -v zsh >/dev/null; then
  zsh -n "$prefix/share/zsh/vendor-completions/_quilletctl" && pass "zsh -n" || fail "zsh -n on the zsh completion"
fi
if command -v fish >/dev/null; then
  fish_completion=$prefix/share/fish/vendor_completions.d/quilletctl.fish
  if fish --no-execute "$fish_completion"; then
    pass "fish --no-execute"
    # The line as typed => the candidates fish offers, without their descriptions.
    check_fish() {
      local expected=$1 line=$2 got
      got=$(HOME=$work XDG_CONFIG_HOME=$work/fish-config XDG_DATA_HOME=$work/fish-data \
            fish --no-config -c 'source $argv[1]; complete -C $argv[2]' "$fish_completion" "$line" |
            cut -f1 | sort | tr '\n' '|')
      if [[ $got == "$expected" ]]; then
        pass "fish completion of '$line'"
      else
        fail "fish completion of '$line' offered '$got', expected '$expected'"
      fi
    }
    check_fish 'start|status|stop|' 'quilletctl st'
    check_fish 'date|name|size|' 'quilletctl list --sort '
    check_fish 'Keep data for days|Keep data for size max|' 'quilletctl settings Keep'
    check_fish '0|1|' 'quilletctl settings "Display menu extra" '
  else
    fail "fish --no-execute on the fish completion"
  fi
fi

# --- The Debian package ---------------------------------------------------------------------
packages=$work/packages
if ! cpack -G DEB -B "$packages" --config "$build/CPackConfig.cmake" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log"
  fail "cpack -G DEB"
  echo "$failures failure(s)"
  exit 1
fi
debs=("$packages"/quillet_*.deb)
if [[ ${#debs[@]} -ne 1 || ! -f ${debs[0]} ]]; then
  fail "cpack made no single quillet_*.deb: ${debs[*]}"
  echo "$failures failure(s)"
  exit 1
fi
deb=${debs[0]}
pass "cpack -G DEB made ${deb##*/}"

# The path is everything after the date and time (the sixth field on); names may hold blanks.
contents=$(dpkg-deb --contents "$deb" | sed -E 's/^([^ ]+ +){5}//')
for entry in "${layout[@]}"; do
  grep -qxF "./usr/$entry" <<<"$contents" || fail "the package lacks /usr/$entry"
done
outside=$(grep -v '^\./usr/' <<<"$contents" | grep -vx '\./' || true)
[[ -z $outside ]] || fail "the package installs outside /usr: $outside"

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == quillet ]] || fail "Package is '$(field Package)'"
[[ $(field Section) == utils ]] || fail "Section is '$(field Section)'"
[[ -n $(field Maintainer) && -n $(field Description) ]] || fail "no Maintainer or Description"
depends=$(field Depends)
for library in libc6 libqt6widgets6 libsecret-1-0; do
  [[ $depends == *"$library "* || $depends == *"$library," || $depends == *"$library" ]] ||
    fail "Depends (from the shared libraries) lacks $library: $depends"
done
[[ $(field Recommends) == *"gnome-keyring | kwalletmanager"* ]] || fail "Recommends is '$(field Recommends)'"
# Removing the package must leave the users' caches and settings alone: no maintainer scripts.
dpkg-deb --control "$deb" "$work/control"
for script in preinst postinst prerm postrm; do
  [[ ! -e $work/control/$script ]] || fail "the package has a $script script"
done
(( failures == 0 )) && pass "package contents and control fields"

# The programs from the unpacked package: they find their siblings from /proc/self/exe.
root=$work/root
dpkg-deb -x "$deb" "$root"
home=$work/home
mkdir -p "$home"
run() {
  env -i PATH=/usr/bin:/bin HOME="$home" XDG_CONFIG_HOME="$home/.config" XDG_DATA_HOME="$home/.local/share" \
    XDG_STATE_HOME="$home/.local/state" XDG_CACHE_HOME="$home/.cache" QT_QPA_PLATFORM=offscreen "$@"
}
check_run() {
  local expected=$1; shift
  local output
  if output=$(run "$@" 2>&1) && [[ $output == *"$expected"* ]]; then
    pass "${*#"$root"/}"
  else
    echo "$output"
    fail "${*#"$root"/} (wanted '$expected' and exit status 0)"
  fi
}
check_run "Usage: quilletctl" "$root/usr/bin/quilletctl" --help
check_run "Protection:" "$root/usr/bin/quilletctl" status
check_run "Usage: quilletd" "$root/usr/libexec/quillet/quilletd" --help
check_run "Usage: quilletCacheManagerd" "$root/usr/libexec/quillet/quilletCacheManagerd" --help
check_run "Usage: quilletMountDiskd" "$root/usr/libexec/quillet/quilletMountDiskd" --help
check_run "Usage: Quillet" "$root/usr/bin/Quillet" --help

if (( failures > 0 )); then
  echo "$failures failure(s)"
  exit 1
fi
echo "all packaging checks passed"
