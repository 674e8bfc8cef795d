#!/usr/bin/env bash
# Installs the Debian packages the project needs; runs apt-get only when one
# of them is missing. Works as root on a fresh Debian 12 machine (or via sudo).
# `setup.sh --bench` also installs the benchmark baselines (hnswlib, FAISS);
# `setup.sh --fuzz` clang with its libFuzzer runtime (`make fuzz`).
set -euo pipefail

packages=(
  build-essential clang cmake ninja-build pkg-config
  liblmdb-dev libtbb-dev zlib1g-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-dev python3-numpy python3-pytest python3-hypothesis
  libopenblas0-pthread
)
if [ "${1:-}" = "--bench" ]; then
  packages+=(python3-hnswlib python3-faiss)
fi
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang libclang-rt-14-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "setup: installing ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then sudo="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
