#!/usr/bin/env bash
# Configures and builds one configuration: default | asan | x86 (32-bit kernel code and layouts).
set -euo pipefail
cd "$(dirname "$0")/.."
config=${1:-default}
jobs=${JOBS:-$(nproc)}
case "$config" in
  default) args=() ;;
  asan)    args=(-DLUMO_SANITIZE=ON) ;;
  x86)     args=(-DLUMO_KERNEL_ONLY=ON -DCMAKE_CXX_FLAGS=-m32 -DCMAKE_C_FLAGS=-m32 -DCMAKE_EXE_LINKER_FLAGS=-m32) ;;
  *) echo "usage: $0 [default|asan|x86]" >&2; exit 2 ;;
esac
cmake -S . -B "build/$config" -G Ninja "${args[@]}" >/dev/null
cmake --build "build/$config" -j "$jobs"
