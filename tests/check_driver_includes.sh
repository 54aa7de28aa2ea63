#!/usr/bin/env bash
# The driver directories reach the operating system only through src/platform:
# outside src/platform/host they include project headers, the C++ standard
# library and the compiler's SIMD intrinsics, nothing else.
set -euo pipefail
root=${1:?source root}
std='algorithm|array|atomic|bit|cassert|cstdarg|cstddef|cstdint|cstdio|cstdlib|cstring|climits|cmath|concepts|functional|initializer_list|iterator|limits|memory|new|numeric|optional|span|string|string_view|tuple|type_traits|utility|variant|vector|[a-z0-9]*intrin\.h'
bad=$(grep -rnE '^\s*#\s*include\s*<' "$root/src" --include='*.h' --include='*.cpp' \
        | grep -v "^$root/src/platform/host/" \
        | grep -vE "#\s*include\s*<($std)>" || true)
if [ -n "$bad" ]; then
  echo "driver code includes headers outside the platform interface and the standard library:"
  echo "$bad"
  exit 1
fi

# Folder dependencies run one way: driver (the device layer's top) -> pipeline
# and properties -> control -> class layer -> platform, with the codec beside.
# Each line: a folder, then the folders it must not include.
layers='classlayer:control|pipeline|properties|driver|codec
control:pipeline|properties|driver
pipeline:properties|driver
properties:pipeline|driver
codec:classlayer|control|pipeline|properties|driver
platform:classlayer|control|pipeline|properties|driver|codec'
while IFS=: read -r folder forbidden; do
  wrong=$(grep -rnE "^\s*#\s*include\s*\"($forbidden)/" "$root/src/$folder" \
            --include='*.h' --include='*.cpp' || true)
  if [ -n "$wrong" ]; then
    echo "src/$folder includes a folder above it:"
    echo "$wrong"
    exit 1
  fi
done <<< "$layers"
