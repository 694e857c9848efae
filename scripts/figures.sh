#!/usr/bin/env bash
# Figures of the code's shape: the include graph between the libraries of src/ (one line per
# pair: how many #include lines of the first folder name a header of the second), the lines
# of each library, the ten largest functions, and the pairs of places under src/ that share
# six or more lines.
#
#   scripts/figures.sh           the working tree
#   scripts/figures.sh REV       the commit REV (its src/ taken with git archive)
#
# The largest functions need universal-ctags (apt-get install universal-ctags); the shared
# lines need the `duplicates` command where it is installed.
set -euo pipefail
cd "$(dirname "$0")/.."

src=src
if [[ $# -gt 0 ]]; then
  scratch=$(mktemp -d)
  trap 'rm -rf "$scratch"' EXIT
  git archive "$1" src | tar -x -C "$scratch"
  src=$scratch/src
  echo "== commit $(git rev-parse --short "$1")"
else
  echo "== working tree ($(git rev-parse --short HEAD)$(git diff --quiet HEAD -- src || echo ', changed'))"
fi
folders=$(cd "$src" && for d in */; do echo "${d%/}"; done)

echo
echo "Include graph between the libraries (from -> to: #include lines):"
for from in $folders; do
  grep -rhoE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[a-z0-9_]+/' "$src/$from" \
      --include='*.h' --include='*.cpp' 2>/dev/null |
    sed -E 's/.*"([a-z0-9_]+)\//\1/' |
    { grep -vx "$from" || true; } | sort | uniq -c |
    while read -r count to; do
      if [[ -d "$src/$to" ]]; then printf '  %-12s -> %-12s %4d\n' "$from" "$to" "$count"; fi
    done
done
# A pair that includes both ways is a cycle.
cycles=0
for a in $folders; do
  for b in $folders; do
    [[ "$a" < "$b" ]] || continue
    if grep -rqE "#[[:space:]]*include[[:space:]]*\"$b/" "$src/$a" 2>/dev/null &&
       grep -rqE "#[[:space:]]*include[[:space:]]*\"$a/" "$src/$b" 2>/dev/null; then
      echo "  cycle: $a <-> $b"
      cycles=$((cycles + 1))
    fi
  done
done
echo "  cycles: $cycles"

echo
echo "Lines per library (all lines / non-blank lines of *.h and *.cpp):"
total=0
for folder in $folders; do
  lines=$(find "$src/$folder" -name '*.h' -o -name '*.cpp' | xargs cat | wc -l)
  code=$(find "$src/$folder" -name '*.h' -o -name '*.cpp' | xargs cat | grep -cv '^[[:space:]]*$')
  printf '  %-12s %6d %6d\n' "$folder" "$lines" "$code"
  total=$((total + lines))
done
printf '  %-12s %6d\n' "all" "$total"

echo
if ! command -v ctags > /dev/null || ! ctags --version 2>/dev/null | grep -q Universal; then
  echo "Largest functions: universal-ctags is not installed (apt-get install universal-ctags)"
  exit 0
fi
functions=$(ctags -R --languages=C++ --kinds-C++=f --fields=+ne -o - "$src" |
  awk -F'\t' -v root="$src/" '{
      line = 0; end = 0; scope = "";
      for (i = 4; i <= NF; ++i) {
        if ($i ~ /^line:/) line = substr($i, 6);
        if ($i ~ /^end:/) end = substr($i, 5);
        if ($i ~ /^(class|struct|namespace):/) { scope = $i; sub(/^[a-z]+:/, "", scope); }
      }
      if (end > 0) {
        file = $2; sub(root, "", file);
        name = (scope != "" ? scope "::" : "") $1;
        gsub(/__anon[0-9a-f]+::/, "", name);
        sub(/^movrand::/, "", name);
        printf "%d\t%s\t%s:%d\n", end - line + 1, name, file, line;
      }
    }' | sort -t$'\t' -k1,1rn)
echo "Largest functions (lines from the signature to the closing brace):"
# From a here-string: `echo | head` would end echo with SIGPIPE, and pipefail the script.
head -10 <<<"$functions" | awk -F'\t' '{ printf "  %4d  %-40s %s\n", $1, $2, $3 }'
echo
echo "Largest function of each library:"
echo "$functions" | awk -F'\t' '{
    split($3, at, "/");
    if (!(at[1] in seen)) { seen[at[1]] = 1; printf "  %-12s %4d  %-40s %s\n", at[1], $1, $2, $3 }
  }' | sort

echo
if command -v duplicates > /dev/null; then
  echo "Places under src/ that share six or more lines (pairs; those of the same shape alone"
  echo "and marked boilerplate are counted apart):"
  (cd "$src" && duplicates --most 200 --seconds 120) | head -1 | sed 's/^/  /'
else
  echo "Shared lines: the duplicates command is not installed"
fi
