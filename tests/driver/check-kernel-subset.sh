#!/usr/bin/env bash
# The driver keeps to the kernel's subset of C++: no global constructors, no exception or RTTI
# machinery, nothing from the C++ runtime or standard library.
set -euo pipefail
status=0
for lib in "$@"; do
  if objdump -h "$lib" | grep -E '\.(init_array|ctors)' >/dev/null; then
    echo "$lib: has static initialisers"; status=1
  fi
  bad=$(nm -C --undefined-only "$lib" | grep -E '__cxa_|__gxx_personality|operator new|operator delete|std::|typeinfo|_Unwind' || true)
  if [ -n "$bad" ]; then
    echo "$lib: uses the C++ runtime:"; echo "$bad"; status=1
  fi
  if nm -C "$lib" | grep -E '_GLOBAL__sub_I|typeinfo for' >/dev/null; then
    echo "$lib: has global constructors or RTTI"; status=1
  fi
done
[ $status -eq 0 ] && echo "kernel subset: ok ($#)"
exit $status
