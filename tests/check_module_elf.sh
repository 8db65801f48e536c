#!/bin/sh
# The module may name only open62541 and the C/C++ runtime as load-time
# dependencies, export only its entry point, and run no constructors of its own.
# With MACHINE (readelf -h's Machine text) and ABI (a word of its Flags), it must
# also be built for that target, e.g. "ARM" and "hard-float ABI" for armhf.
set -u
module=$1 readelf=$2 nm=$3 sanitize=${4:-} machine=${5:-} abi=${6:-}
fail=0
header=$("$readelf" -hW "$module")
if [ -n "$machine" ]; then
  got=$(echo "$header" | sed -n 's/^ *Machine: *//p')
  echo "machine: $got"
  [ "$got" = "$machine" ] || { echo "built for '$got', expected '$machine'"; fail=1; }
fi
if [ -n "$abi" ]; then
  flags=$(echo "$header" | sed -n 's/^ *Flags: *//p')
  echo "flags: $flags"
  case "$flags" in *"$abi"*) ;; *) echo "ELF flags lack '$abi'"; fail=1 ;; esac
fi
needed=$("$readelf" -dW "$module" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p')
echo "NEEDED: $(echo $needed)"
echo "$needed" | grep -q '^libopen62541\.so' || { echo "open62541 is not a dependency"; fail=1; }
for lib in $needed; do
  case "$lib" in
    libopen62541.so*|libstdc++.so.*|libm.so.*|libgcc_s.so.*|libc.so.*|ld-linux*) ;;
    libasan.so.*|libubsan.so.*|libtsan.so.*) [ -n "$sanitize" ] || { echo "sanitizer runtime in a plain build: $lib"; fail=1; } ;;
    *) echo "unexpected dependency: $lib"; fail=1 ;;
  esac
done
exported=$("$nm" -D --defined-only "$module" | awk '{print $NF}')
echo "exported: $(echo $exported)"
[ "$exported" = "get_providers" ] || { echo "exports must be get_providers only"; fail=1; }
ctors=$("$nm" "$module" | grep -c '_GLOBAL__sub_I' || true)
[ "$ctors" -eq 0 ] || { echo "module has $ctors static constructors"; fail=1; }
[ $fail -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
exit $fail
