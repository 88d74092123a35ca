#!/usr/bin/env bash
# Builds the Debian package from a build folder with cpack, checks it as
# Debian's tools do, installs it with dpkg into a fresh folder tree and runs
# the installed programs from there, before and after moving the tree.
#   deb_install_test.sh BUILD_DIR SOURCE_DIR
# Exits 77 (skipped) only when dpkg-deb is missing: then no package can be
# made or installed at all. Every other tool it needs comes with ./test.
#
# dpkg installs with --root into the fresh tree rather than unpacking with
# dpkg-deb -x: the package has no maintainer scripts, so dpkg needs no chroot,
# and this way dpkg itself checks the package's dependencies. The tree's
# package database holds this machine's records of exactly the packages the
# .deb depends on, so a dependency that names a missing package, or a version
# that Debian 12 does not have, fails the install; the programs then run on
# this machine's libraries.
set -euo pipefail

build=$(cd "$1" && pwd)
source_dir=$(cd "$2" && pwd)

if ! command -v dpkg-deb >/dev/null 2>&1; then
  echo "SKIPPED: dpkg-deb is not installed, so the Debian package can be neither built nor installed"
  exit 77
fi

fail() {
  echo "FAILED: $*" >&2
  exit 1
}
need() { # need COMMAND DEBIAN-PACKAGE
  command -v "$1" >/dev/null 2>&1 || fail "$1 is missing (Debian package $2; ./test installs it)"
}
need cpack cmake
need dpkg-shlibdeps dpkg-dev
need readelf binutils
need file file
need lintian lintian
need appstreamcli appstream
need desktop-file-validate desktop-file-utils
need update-mime-database shared-mime-info

# The real path: the programs name their helper from /proc/self/exe.
work=$(cd "$(mktemp -d "${TMPDIR:-/tmp}/morvex-deb-test.XXXXXX")" && pwd -P)
trap 'rm -rf "$work"' EXIT
export HOME=$work/home XDG_CONFIG_HOME=$work/config XDG_DATA_HOME=$work/data XDG_RUNTIME_DIR=$work/runtime
mkdir -p "$HOME" "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"

# --- The package -----------------------------------------------------------
version=$("$build/bin/morvex-cli" --version | sed -n 's/^morvex-cli //p')
[[ -n $version ]] || fail "the build's morvex-cli --version names no version"
if ! cpack --config "$build/CPackConfig.cmake" -B "$work/package" >"$work/cpack.log" 2>&1; then
  cat "$work/cpack.log" >&2
  fail "cpack could not make the package"
fi
deb=$work/package/morvex_${version}_$(dpkg --print-architecture).deb
[[ -f $deb ]] || fail "cpack made no $(basename "$deb"): $(ls "$work/package")"

field() { dpkg-deb --field "$deb" "$1"; }
[[ $(field Package) == morvex && $(field Version) == "$version" ]] || fail "package named $(field Package) $(field Version)"
[[ $(field Section) == graphics ]] || fail "section $(field Section)"
[[ $(field Maintainer) =~ ^[^\<]+\ \<[^@\>]+@[^\>]+\>$ ]] || fail "maintainer '$(field Maintainer)' is no 'Name <address>'"
[[ $(field Description | wc -l) -ge 3 ]] || fail "the description has no long text: $(field Description)"

listing=$(dpkg-deb --contents "$deb" | awk '{print $NF}' | sed 's|^\./|/|')
for path in /usr/bin/morvex /usr/bin/morvex-cli /usr/lib/morvex/morvex-meshconv /usr/lib/morvex/morvex-render \
  /usr/share/morvex/Components.ini \
  /usr/share/applications/morvex.desktop /usr/share/mime/packages/morvex.xml \
  /usr/share/metainfo/com.quellor.morvex.metainfo.xml /usr/share/icons/hicolor/scalable/apps/morvex.svg \
  /usr/share/man/man1/morvex.1.gz /usr/share/man/man1/morvex-cli.1.gz /usr/share/man/man1/morvex-cli-convert.1.gz \
  /usr/share/bash-completion/completions/morvex-cli /usr/share/zsh/site-functions/_morvex-cli \
  /usr/share/doc/morvex/copyright /usr/share/doc/morvex/changelog.gz; do
  grep -qxF "$path" <<<"$listing" || fail "the package holds no $path"
done
if grep -E '^/usr/(bin/morvex-(meshconv|ifcconvert|render)|share/man/.*\.[1-9])$' <<<"$listing"; then
  fail "helpers in /usr/bin or uncompressed manual pages in the package"
fi

echo "lintian on $(basename "$deb") ..."
lintian --fail-on error --tag-display-limit 0 "$deb" >"$work/lintian.log" 2>&1 || {
  cat "$work/lintian.log" >&2
  fail "lintian reports errors"
}
grep -E '^[EW]: ' "$work/lintian.log" || true

# --- Installed with dpkg into a fresh tree ---------------------------------
root=$work/root
admin=$root/var/lib/dpkg
mkdir -p "$admin/info" "$admin/updates"
: >"$admin/status"
depends=$(field Depends)
[[ -n $depends ]] || fail "the package depends on nothing"
depend_names=$(tr ',|' '\n\n' <<<"$depends" | sed 's/(.*//; s/ //g')
# Downloads open libcurl at run time, which dpkg-shlibdeps cannot see.
grep -qx libcurl4 <<<"$depend_names" || fail "the package does not depend on libcurl4: $depends"
for dependency in $(tr ',' '\n' <<<"$depends" | sed 's/(.*//; s/|.*//; s/ //g'); do
  record=$(dpkg-query --status "$dependency" 2>/dev/null) || fail "dependency $dependency is no package of this machine"
  printf '%s\n\n' "$record" >>"$admin/status"
  : >"$admin/info/$(dpkg-query --show --showformat='${binary:Package}' "$dependency").list"
done
dpkg --root="$root" --log=/dev/null --path-include='*' --install "$deb" >"$work/dpkg.log" 2>&1 || {
  cat "$work/dpkg.log" >&2
  fail "dpkg --root could not install the package"
}
dpkg --root="$root" --status morvex | grep -qx 'Status: install ok installed' || fail "dpkg does not list morvex as installed"

# Every library a program of the package loads directly belongs to a package
# it depends on.
for program in "$root/usr/bin/morvex" "$root/usr/bin/morvex-cli" "$root"/usr/lib/morvex/*; do
  for library in $(readelf --dynamic "$program" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    owners=$(dpkg-query --search "*/$library" 2>/dev/null | grep -v '^diversion' | sed 's|: /.*||' | tr ',' '\n' |
      sed 's/:.*//; s/ //g' | sort -u)
    [[ -n $owners ]] || fail "no package of this machine holds $library, which $(basename "$program") loads"
    grep -qxFf <(printf '%s\n' "$owners") <<<"$depend_names" ||
      fail "$(basename "$program") loads $library of $owners, which the package does not depend on: $depends"
  done
done

# --- What the desktop reads -------------------------------------------------
share=$root/usr/share
desktop-file-validate "$share/applications/morvex.desktop" || fail "desktop-file-validate refuses morvex.desktop"
appstreamcli validate --no-net "$share/metainfo/com.quellor.morvex.metainfo.xml" >"$work/appstream.log" 2>&1 ||
  fail "appstreamcli refuses the metainfo file: $(cat "$work/appstream.log")"
grep -q "<release version=\"$version\"" "$share/metainfo/com.quellor.morvex.metainfo.xml" ||
  fail "the metainfo file names no release $version"
for size in 16 24 32 48 64 128 256; do
  png=$share/icons/hicolor/${size}x${size}/apps/morvex.png
  [[ $(file --brief "$png") == "PNG image data, $size x $size,"* ]] || fail "$png: $(file --brief "$png")"
done
# Our types, compiled as shared-mime-info does, and the system's: every type
# the launcher names is one of them, and our extensions map to ours.
mkdir -p "$work/mime/packages"
cp "$share/mime/packages/morvex.xml" "$work/mime/packages/"
update-mime-database "$work/mime" >"$work/mime.log" 2>&1 || fail "update-mime-database refuses morvex.xml: $(cat "$work/mime.log")"
grep -qx '50:model/x-ply:\*\.ply' "$work/mime/globs2" || fail "*.ply is not model/x-ply: $(cat "$work/mime/globs2")"
known_types=$(cat /usr/share/mime/types "$work/mime/types")
for type in $(sed -n 's/^MimeType=//p' "$share/applications/morvex.desktop" | tr ';' ' '); do
  grep -qxF "$type" <<<"$known_types" || fail "morvex.desktop names $type, which no MIME database knows"
done

# --- The installed programs -------------------------------------------------
# run_installed TREE PROGRAM ARGS...: output and status of a program of TREE.
run_installed() {
  local tree=$1 program=$2
  shift 2
  QT_QPA_PLATFORM=offscreen "$tree/usr/bin/$program" "$@" 2>&1
}
check_programs() { # check_programs TREE
  local tree=$1 out
  out=$(run_installed "$tree" morvex-cli --version) || fail "morvex-cli --version: $out"
  [[ $out == "morvex-cli $version" ]] || fail "morvex-cli --version printed '$out'"
  out=$(run_installed "$tree" morvex --version) || fail "morvex --version: $out"
  [[ $out == "morvex $version" ]] || fail "morvex --version printed '$out'"

  # The helper is the one installed beside the programs, named by the
  # installed Components.ini.
  out=$(run_installed "$tree" morvex-cli components) || fail "morvex-cli components: $out"
  grep -qE "^assimpext2 .* $tree/usr/lib/morvex/morvex-meshconv$" <<<"$out" ||
    fail "the helper is not found in $tree/usr/lib/morvex: $out"
  grep -qF "$tree/usr/share/morvex/Components.ini" <<<"$out" || fail "not the installed Components.ini: $out"
  out=$(run_installed "$tree" morvex-cli formats) || fail "morvex-cli formats: $out"
  grep -qE '^fbx +\.fbx +through the helper' <<<"$out" && grep -q 'it is installed' <<<"$out" ||
    fail "morvex-cli formats does not find the helper: $out"

  # A conversion by our own reader and one through the helper process.
  local out_dir=$work/converted-$(basename "$tree")
  out=$(run_installed "$tree" morvex-cli convert "$source_dir/examples/bracket.stl" --to ply -o "$out_dir/" --create-folder) ||
    fail "converting examples/bracket.stl: $out"
  [[ $(triangles "$tree" "$out_dir/bracket.ply") == $(triangles "$tree" "$source_dir/examples/bracket.stl") ]] ||
    fail "bracket.ply does not hold the triangles of bracket.stl"
  out=$(run_installed "$tree" morvex-cli convert "$work/square.off" --to stl -o "$out_dir/") ||
    fail "converting an OFF file through the helper: $out"
  [[ $(triangles "$tree" "$out_dir/square.stl") == 2 ]] || fail "square.stl does not hold the square's two triangles"

  # render is the drawing program in the helpers' folder, which morvex-cli
  # becomes; morvex-cli itself loads no Qt library.
  out=$(run_installed "$tree" morvex-cli render --png "$out_dir/pictures" --size 32x24 "$source_dir/examples/bracket.stl") ||
    fail "morvex-cli render: $out"
  [[ $(file --brief "$out_dir/pictures/bracket.png") == "PNG image data, 32 x 24,"* ]] || fail "render drew no bracket.png: $out"
  if readelf --dynamic "$tree/usr/bin/morvex-cli" | grep -q 'NEEDED.*libQt'; then
    fail "morvex-cli loads Qt libraries"
  fi
}
triangles() { # triangles TREE FILE: the triangle count that info reads
  run_installed "$1" morvex-cli info --json "$2" | grep -o '"triangles":[0-9]*' | cut -d: -f2 | awk '{n += $1} END {print n + 0}'
}
printf 'OFF\n4 2 0\n0 0 0\n1 0 0\n1 1 0\n0 1 0\n3 0 1 2\n3 0 2 3\n' >"$work/square.off"

check_programs "$root"
# Relocatable: a moved tree finds its own helper.
mv "$root" "$work/moved"
check_programs "$work/moved"
# Without it, the helper counts as not installed: what was found before was
# the one in the tree, not one of the build folder's.
mv "$work/moved/usr/lib/morvex/morvex-meshconv" "$work/meshconv-aside"
out=$(run_installed "$work/moved" morvex-cli components)
if grep -q "^assimpext2 .*/morvex-meshconv$" <<<"$out"; then
  fail "the helper is still found after its removal from the tree: $out"
fi
echo "the package installs and runs: $(basename "$deb")"
