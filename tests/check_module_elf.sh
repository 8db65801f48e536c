#!/bin/sh
# The module may name only open62541 and the C/C++ runtime as load-time
# dependencies, export only its entry point, and run no constructors of its own.
set -u
module=$1 readelf=$2 nm=$3 sanitize=${4:-}
fail=0
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
