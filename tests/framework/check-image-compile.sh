#!/usr/bin/env bash
# The framework's sources compile as a kernel image's would (clang in MSVC mode over the
# platform's kernel headers, as add_kmdf_driver_image compiles), so the native build cannot
# drift into what only ntsim accepts.
# Usage: check-image-compile.sh CLANG KERNEL_HEADERS_DIR REPO_ROOT SOURCE...
set -euo pipefail
clang=$1 headers=$2 root=$3
shift 3
status=0
for src in "$@"; do
  "$clang" --target=x86_64-pc-windows-msvc -fms-extensions -fms-compatibility \
    -fgnuc-version=4.2.1 -ffreestanding -fno-exceptions -fno-rtti -std=c++17 \
    -Wall -Wextra -Werror -Wno-pragma-pack -Wno-multichar -D_AMD64_ -D_WIN64 \
    -idirafter "$headers/ddk" -idirafter "$headers" -idirafter "$root/kmdf/include" \
    -I "$root/kmdf/framework/include" -I "$root/kmdf/framework/src" -fsyntax-only "$src" ||
    status=1
done
[ $status -eq 0 ] && echo "kernel image compile: ok ($#)"
exit $status
