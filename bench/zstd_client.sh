#!/usr/bin/env bash
# The per-file ideal of the patch benchmark, as a client: fetches the
# manifest, then every object it names with one curl process (8 at once),
# and applies them with zstd, one process per file.
#   zstd_client.sh BASE_URL TREE WORK
# Manifest lines, tab-separated: ID KIND PATH, where KIND is
#   P  BASE_URL/o/ID is `zstd --patch-from=old new`: rebuilt from TREE/PATH
#   Z  BASE_URL/o/ID is the whole file compressed: written as TREE/PATH
#   D  TREE/PATH is gone from the new version: removed
set -euo pipefail
base=$1 tree=$2 work=$3
mkdir -p "$work/o"
curl -sSf -o "$work/manifest" "$base/manifest.txt"
awk -F'\t' -v base="$base" -v out="$work/o" \
  '$2 != "D" { printf "url = \"%s/o/%s\"\noutput = \"%s/%s\"\n", base, $1, out, $1 }' \
  "$work/manifest" >"$work/urls"
if [ -s "$work/urls" ]; then
  curl -sSf --parallel --parallel-max 8 --config "$work/urls"
fi
while IFS=$'\t' read -r id kind path; do
  target=$tree/$path
  case $kind in
    P)
      # The reference is read while the output is written: never in place.
      zstd -q -d --long=31 --patch-from="$target" "$work/o/$id" -o "$target.zstd-new"
      mv -f "$target.zstd-new" "$target"
      ;;
    Z)
      [[ $path != */* || -d ${target%/*} ]] || mkdir -p "${target%/*}"
      zstd -q -d -f --long=31 "$work/o/$id" -o "$target"
      ;;
    D) rm -f "$target" ;;
  esac
done <"$work/manifest"
rm -rf "$work/o"
