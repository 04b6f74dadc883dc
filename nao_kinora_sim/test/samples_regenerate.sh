#!/usr/bin/env bash
# The committed sample exercises are exactly what make_exercises.py writes.
set -euo pipefail
exercises="$(cd "$(dirname "$0")/.." && pwd)/exercises"
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
/usr/bin/python3 "$exercises/make_exercises.py" "$out" >/dev/null
for file in "$exercises"/*.txt "$out"/*.txt; do
  name=$(basename "$file")
  cmp "$exercises/$name" "$out/$name"
done
echo "$(ls "$out" | wc -l) samples match their script"
