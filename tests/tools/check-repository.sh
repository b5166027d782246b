#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# Fails on any tracked file over 1 MiB: a core dump, a build product or a data set committed by
# mistake stays in the history of every clone. Sizes are those of the blobs in the index.
#   check-repository.sh SOURCE_DIR
set -euo pipefail
top=$1
limit=$((1024 * 1024))

# A source tree unpacked from an archive has no history to guard; ctest reports this as skipped.
if ! git -C "$top" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  echo "not a git checkout: nothing to check"
  exit 77
fi

listing=$(git -C "$top" ls-files --stage)
[ -n "$listing" ] || { echo "FAIL: git ls-files lists no file in $top" >&2; exit 1; }
# Submodules (mode 160000) name commits of another repository, not blobs of this one.
blobs=$(grep -v '^160000 ' <<<"$listing")
sizes=$(cut -f1 <<<"$blobs" | cut -d' ' -f2 | git -C "$top" cat-file --batch-check='%(objectsize)')
large=$(paste <(echo "$sizes") <(cut -f2- <<<"$blobs") | awk -F'\t' -v limit="$limit" '$1 > limit')
if [ -n "$large" ]; then
  echo "FAIL: tracked files over 1 MiB (bytes, path):" >&2
  echo "$large" >&2
  exit 1
fi
echo "repository: $(wc -l <<<"$blobs") tracked files, none over 1 MiB"
