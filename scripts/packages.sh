# Sourced by ./run and ./test: installs the Debian packages that are missing.
# Quiet and quick when everything is there; apt-get update only when needed.

morvex_ensure_packages() {
  local missing=() pkg status
  for pkg in "$@"; do
    status=$(dpkg-query -W -f='${db:Status-Abbrev}' "$pkg" 2>/dev/null || true)
    [[ $status == ii* ]] || missing+=("$pkg")
  done
  [[ ${#missing[@]} -eq 0 ]] && return 0

  local sudo=()
  if [[ $(id -u) -ne 0 ]]; then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      echo "morvex: these Debian packages are needed: ${missing[*]}" >&2
      echo "morvex: run as root, or install them with: sudo apt-get install -y ${missing[*]}" >&2
      exit 1
    fi
  fi
  echo "morvex: installing ${missing[*]}" >&2
  export DEBIAN_FRONTEND=noninteractive
  "${sudo[@]}" apt-get update -qq >&2
  "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
}

# What the converter needs to build and run.
# libifcplusplus-dev carries the IFC tool; its headers include Boost's.
# rsvg-convert (librsvg2-bin) renders the icon's PNG sizes.
MORVEX_BUILD_PACKAGES=(g++ cmake ninja-build pkg-config libzip-dev zlib1g-dev libisal-dev libassimp-dev libcurl4-openssl-dev libsodium-dev
  libifcplusplus-dev libboost-dev qt6-base-dev libqt6opengl6-dev librsvg2-bin)
# What cpack needs for the Debian package (./run --package): dpkg-shlibdeps
# finds its dependencies among the ELF files that file(1) picks out.
MORVEX_PACKAGE_PACKAGES=(dpkg-dev file)
# What the tests need on top: GoogleTest, the peer programs that the
# interoperability tests run, clang-format for scripts/check-format.sh, fonts
# for the window's pictures, for the preview's drawing without a screen
# Mesa's software renderer and a virtual X display, and the Debian tools that
# check the package and its desktop files.
MORVEX_TEST_PACKAGES=(googletest libgtest-dev libgmock-dev time assimp-utils lib3mf-dev clang-format fonts-dejavu-core
  libgl1-mesa-dri libglx-mesa0 libegl-mesa0 xvfb "${MORVEX_PACKAGE_PACKAGES[@]}" lintian appstream desktop-file-utils
  shared-mime-info unzip python3)
# The recipes of docs/scale-out run under GNU parallel, and the Kubernetes
# manifest is checked with PyYAML.
MORVEX_TEST_PACKAGES+=(parallel python3-yaml)
