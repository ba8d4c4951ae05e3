#!/usr/bin/env bash
# Files stay small enough to read whole: none over 600 lines, and the
# document (SoundFile.h and its SoundFile*.cpp) at most 700 together.
#
# Usage: tst_sizes.sh PROJECT_DIR
set -uo pipefail

dir=${1:?project folder}
status=0
while read -r lines file; do
    [ "$file" = total ] && continue
    [ "$lines" -gt 600 ] && { echo "$file: $lines lines (at most 600)"; status=1; }
done < <(find "$dir/src" "$dir/bench" "$dir/fuzz" \( -name '*.cpp' -o -name '*.h' \) -exec wc -l {} +)
document=$(cat "$dir"/src/document/SoundFile.h "$dir"/src/document/SoundFile*.cpp | wc -l)
[ "$document" -gt 700 ] && { echo "SoundFile.h and its sources: $document lines (at most 700)"; status=1; }
[ $status -eq 0 ] && echo "ok: file sizes within bounds"
exit $status
