#!/usr/bin/env bash
# Builds the libFuzzer targets with AddressSanitizer and UBSan into fuzz/build/.
# Needs clang and its runtime (Debian: clang libclang-rt-14-dev).
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
root="$(dirname "$here")"
out="${FUZZ_BUILD:-$here/build}"
cxx="${CXX_FUZZ:-clang++}"
mkdir -p "$out"
flags=(-std=c++20 -O1 -g -ffp-contract=off -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all -I"$root/src/radar" -I"$here")
mapfile -t core < <(find "$root/src/radar" -name '*.cpp' | sort)
# The core once, as objects shared by every target.
# Any header change rebuilds every object: simpler than tracking includes.
newest_header="$(find "$root/src/radar" \( -name '*.hpp' -o -name '*.inc' \) -printf '%T@ %p\n' | sort -n | tail -1 | cut -d' ' -f2)"
objs=()
for src in "${core[@]}"; do
  obj="$out/core_$(echo "${src#$root/}" | tr '/' '_').o"
  if [ ! -f "$obj" ] || [ "$src" -nt "$obj" ] || [ "$newest_header" -nt "$obj" ]; then
    "$cxx" "${flags[@]/-fsanitize=fuzzer,/-fsanitize=fuzzer-no-link,}" -c "$src" -o "$obj"
  fi
  objs+=("$obj")
done
for target in fuzz_command fuzz_spec fuzz_structured fuzz_state fuzz_files; do
  "$cxx" "${flags[@]}" "$here/$target.cpp" "${objs[@]}" -lz -lpthread -o "$out/$target"
done
echo "built: $out/{fuzz_command,fuzz_spec,fuzz_structured,fuzz_state,fuzz_files}"
