#!/usr/bin/env bash
# Prints the README's table of failure codes, made from the DIAGNOSTICS
# entries of the man page, so the two never tell different things. After
# changing an entry there, put this output in place of the README's table;
# the package test fails while they differ.
#
#   failure-codes.sh [MAN_PAGE]    (default docs/printer-probe.1)
set -eu
page=${1:-$(dirname "$0")/../docs/printer-probe.1}

# Each entry is ".TP", ".B CODE NAME", what it means, ".IP", what to do;
# either text may run over several source lines.
awk '
  function markdown(text) {
    gsub(/\\f[BI]/, "`", text); gsub(/\\f[RP]/, "`", text)
    gsub(/\\-/, "-", text); gsub(/\\&/, "", text); gsub(/\\\(aq/, "\047", text)
    gsub(/\\e/, "\\", text); gsub(/\|/, "\\|", text)
    return text
  }
  function flush() {
    if (code != "") printf "| %s | `%s` | %s | %s |\n", code, name, markdown(means), markdown(todo)
    code = ""; means = ""; todo = ""
  }
  function add(text, line) { return text == "" ? line : text " " line }
  /^\.SH / { flush(); inside = ($0 == ".SH DIAGNOSTICS"); if (inside) print "| Code | Name | What it means | What to do |\n|---|---|---|---|"; next }
  !inside { next }
  /^\.TP$/ { flush(); want = "tag"; next }
  want == "tag" && /^\.B [0-9]+ [A-Z_]+$/ { code = $2; name = $3; want = "means"; next }
  # An entry out of shape would be left out of the table without a word.
  want == "tag" { printf "failure-codes.sh: %s:%d: not \".B CODE NAME\": %s\n", FILENAME, NR, $0 > "/dev/stderr"; failed = 1; exit }
  /^\.IP$/ && code != "" { want = "todo"; next }
  /^\./ { flush(); want = ""; next }
  want == "means" { means = add(means, $0) }
  want == "todo" { todo = add(todo, $0) }
  END { if (failed) exit 1; flush() }
' "$page"
