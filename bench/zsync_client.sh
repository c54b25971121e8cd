#!/usr/bin/env bash
# zsync in the patch benchmark: rebuilds the new version's tarball from the
# blocks of every file of the old tree (each one a seed), fetching the rest
# from the server with multi-range requests, then unpacks it.
#   zsync_client.sh ZSYNC_URL OLD_TREE NEW_TREE WORK
set -euo pipefail
url=$1 old=$2 out=$3 work=$4
seeds=()
while IFS= read -r -d '' file; do seeds+=(-i "$file"); done < <(find "$old" -type f -print0)
cd "$work"
zsync -q "${seeds[@]}" -o new.tar "$url"
mkdir -p "$out"
tar -xf new.tar -C "$out"
rm -f new.tar
