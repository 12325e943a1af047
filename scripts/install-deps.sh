#!/usr/bin/env bash
# Installs every Debian 12 package the project needs to build, test and run.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi

PACKAGES=(
  # toolchain and test frameworks
  build-essential cmake pkg-config libgtest-dev libgmock-dev libbenchmark-dev
  # client
  libglfw3-dev libx11-dev libgl-dev libglu1-mesa-dev libgl1-mesa-dri libglew-dev
  libcegui-mk2-dev liblua5.1-0-dev zlib1g-dev libdeflate-dev libpng-dev libopenal-dev
  # the GUI tests borrow the GUI library's generic widget looks
  libcegui-mk2-data
  # message boxes, launcher window
  libgtk-3-dev
  # patcher (its delta patches are zstd frames: libzstd-dev below)
  liblzma-dev lzma-dev libssl-dev libcurl4-openssl-dev
  # content tools; Tiled maps (XML, JSON, zstd layers) and glTF models
  libfreetype-dev fonts-dejavu-core libstb-dev
  libpugixml-dev nlohmann-json3-dev libzstd-dev libtinygltf-dev
  # authors' file names matched as Windows and macOS match them
  libglib2.0-dev
  # the map editor: a test opens the demo map with its command-line exporter
  tiled
  # contentkit tests read pictures back through gdk-pixbuf
  libgdk-pixbuf-2.0-dev
  # end-to-end tests of the client and the patcher
  xvfb xauth x11-utils xdotool imagemagick python3
  # the patcher against a production web server, and its benchmark (with
  # aria2c and curl --parallel beside it, tc in a network namespace of its own)
  nginx-light curl xz-utils aria2 iproute2
  # the patcher's system calls in order (durability test), test certificates,
  # a launcher whose clock runs ahead (expired announcements)
  strace openssl faketime
  # the fuzz targets (libFuzzer and the sanitizers' runtime come with clang)
  clang libclang-rt-14-dev llvm
  # the world benchmark's instruction profile (callgrind; its header too)
  valgrind
  # manual pages from --help, the Debian packages (cpack runs dpkg-shlibdeps
  # and file) and the package test's checks
  help2man dpkg-dev file lintian desktop-file-utils appstream
  # the programs under the players' locales (tests set LANG and LC_ALL)
  locales-all
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ "${#missing[@]}" -eq 0 ]; then
  echo "install-deps: all ${#PACKAGES[@]} packages present"
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
