#!/usr/bin/env bash
# The documents' figures must be reproducible as they say: every benchmark
# command they name (a code span that runs something under bench/ with
# arguments) is one scripts/figures runs, every command it runs is named in
# them, and every `scripts/figures NAME...` they give names its benchmarks.
#   figures_listed.sh SOURCE_DIR
set -euo pipefail
cd "${1:?usage: figures_listed.sh SOURCE_DIR}"
docs=(README.md docs/*.md)

listed=$(scripts/figures --list)
commands=$(sed 's/^[^:]*: //' <<<"$listed" | sort -u)
names=$(sed 's/:.*//' <<<"$listed" | sort -u)
# Inline code spans outside fenced blocks; a span may wrap across lines, as
# Markdown allows, so lines are joined first. Lines of fenced blocks that run
# scripts/figures count as spans too (without their comments).
spans=$(awk '/^```/ { fenced = !fenced; next } !fenced' "${docs[@]}" | tr '\n' ' ' |
  grep -o '`[^`]*`' | sed 's/^`//; s/`$//; s/  */ /g' || true)
spans+=$'\n'$(awk '/^```/ { fenced = !fenced; next } fenced' "${docs[@]}" | sed 's/ *#.*//' |
  grep '^scripts/figures' || true)
named=$(grep -E '^(MODES="[^"]*" )?(bench/[A-Za-z0-9_]+\.sh|build/[A-Za-z0-9_.-]+/bench/[A-Za-z0-9_]+) ' <<<"$spans" |
  sort -u || true)

failed=0
while IFS= read -r c; do
  [ -z "$c" ] && continue
  grep -qxF -- "$c" <<<"$commands" || { echo "named in the documents, not run by scripts/figures: $c"; failed=1; }
done <<<"$named"
while IFS= read -r c; do
  grep -qxF -- "$c" <<<"$named" || { echo "run by scripts/figures, named in no document: $c"; failed=1; }
done <<<"$commands"
while IFS= read -r span; do
  [ -z "$span" ] && continue
  for word in ${span#scripts/figures}; do
    case $word in -*) continue ;; esac
    grep -qxF -- "$word" <<<"$names" || { echo "no benchmark named $word in scripts/figures: \`$span\`"; failed=1; }
  done
done < <(grep -E '^scripts/figures( [a-z_-]+)+$' <<<"$spans" || true)
[ -n "$named" ] || { echo "no benchmark command found in ${docs[*]}"; failed=1; }
exit $failed
