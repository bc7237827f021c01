#!/usr/bin/env bash
# Makes the manual pages from packaging/man/*.md with pandoc. A line "@README ## Heading@" there
# takes that section of README.md, "@README intro@" its opening paragraphs, "@HELP program@" the
# program's --help: the README stays the one text of both. The configuration table becomes a list
# of keys, which reads better in a terminal than a table.
#   scripts/man_pages.sh OUTDIR VERSION CORVEL_SEND     writes OUTDIR/corvel.8.gz and the others
set -euo pipefail
src=$(cd "$(dirname "$0")/.." && pwd)
out=$1 version=$2 send=$3
mkdir -p "$out"

readme_section() {
  awk -v want="$1" '
    function level(line) { return match(line, /^#+ /) ? RLENGTH - 1 : 0 }
    want == "intro" { if (/^## /) exit; if (on) print; if (/^# /) on = 1; next }
    !on && $0 == want { on = 1; base = level($0) }
    !on { next }
    level($0) && level($0) <= base && $0 != want { exit }
    # Raised: the section begins at level 1, in capitals as the other sections of a manual page.
    level($0) { h = substr($0, base); print (h ~ /^# / ? toupper(h) : h); next }
    /^\| *[A-Z_]+ *\| *[A-Z_]+ *\|/ {
      split($0, cell, / *\| */)
      if (cell[2] != group) { group = cell[2]; print "## [" group "]\n" }
      print "**" cell[3] "** (default: " cell[4] ")\n:   " cell[5] "\n"
      next
    }
    /^\|/ { next }  # the header of the table and its rule
    { print }
  ' "$src/README.md"
}

expand() {
  local line
  while IFS= read -r line; do
    case $line in
      "@README "*"@") readme_section "${line:8:${#line}-9}" ;;
      "@HELP "*"@") "$send" --help | sed -e "s|^Usage: .*corvel-send|Usage: corvel-send|" -e 's/^/    /' ;;
      *) printf '%s\n' "${line//@VERSION@/$version}" ;;
    esac
  done
}

for page in "$src"/packaging/man/*.md; do
  name=$(basename "$page" .md)
  expand <"$page" | pandoc --standalone --from markdown-smart --to man -o "$out/$name"
  gzip -9nf "$out/$name"
done
