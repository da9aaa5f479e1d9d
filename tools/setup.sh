#!/usr/bin/env bash
# Installs the Debian packages Fotonel builds and tests with, when they are missing.
set -euo pipefail
packages=(cmake g++ make qtbase5-dev qtbase5-dev-tools libqwt-qt5-dev libtiff-dev libgtest-dev
          libceres-dev  # the FCS and decay fits (the module fit/, libfotonel_fit.so)
          libhdf5-dev  # the Photon-HDF5 export (scans/PhotonHdf5Writer.cpp)
          hdf5-tools libxml2-utils python3-tifffile parallel  # tests of the OME-TIFF and Photon-HDF5 exports and of batches
          imagej xvfb xauth  # for the ImageJ check of the exports (tools/check_imagej.sh)
          clang libclang-rt-14-dev)  # for the sanitizer build and the libFuzzer targets (.ci/run, tools/fuzz.sh)
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    echo "Installing: ${missing[*]}"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
fi
