#!/usr/bin/env bash
# Speaks every cue of sounds/cue_texts.tsv into OUT_DIR/<cue>.wav with espeak-ng's
# Turkish voice, short enough to end within the pause that follows each cue.
# A cue whose .wav is newer than the table is not spoken again.
#
#   make_cue_sounds.sh OUT_DIR
set -euo pipefail

out=${1:?usage: make_cue_sounds.sh OUT_DIR}
table="$(cd "$(dirname "$0")/.." && pwd)/sounds/cue_texts.tsv"
mkdir -p "$out"
while IFS=$'\t' read -r cue sentence; do
  [ "$out/$cue" -nt "$table" ] || espeak-ng -v tr -s 160 -w "$out/$cue" "$sentence"
done < "$table"
