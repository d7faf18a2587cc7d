#!/usr/bin/env bash
# Installs the Debian 12 packages that building and testing the server need, if any is
# missing. Run as root (or through sudo).
set -euo pipefail

packages=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libpugixml-dev libinih-dev libxml2-dev libcli11-dev nlohmann-json3-dev libsqlite3-dev
  libavformat-dev libavutil-dev
  libgstreamer1.0-dev libgstreamer-plugins-base1.0-dev
  # The real output: MXF's demuxer is in the "bad" set, most broadcast codecs in libav.
  gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad gstreamer1.0-libav
  # scripts/make-test-clip.sh writes the broadcast formats the tests and the benchmark play.
  ffmpeg
  libcpp-httplib-dev
  iproute2 clang libclang-rt-14-dev clang-format clang-tidy
  chromium chromium-driver fonts-dejavu-core
)

missing=()
for package in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$package")
  fi
done

if ((${#missing[@]} > 0)); then
  echo "installing: ${missing[*]}"
  apt_get=(apt-get)
  if [[ $(id -u) -ne 0 ]]; then
    apt_get=(sudo apt-get)
  fi
  "${apt_get[@]}" update -qq
  DEBIAN_FRONTEND=noninteractive "${apt_get[@]}" install -y -qq --no-install-recommends "${missing[@]}"
fi
