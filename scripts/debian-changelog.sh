#!/usr/bin/env bash
# Writes CHANGES.md as the Debian changelog the Debian package carries,
# gzipped without name or time stamp: each "## VERSION, YYYY-MM-DD" section
# an entry of its own, and the first, "## Next version", the version being
# made, dated by the last commit.
#
#   debian-changelog.sh CHANGES.md VERSION "MAINTAINER <EMAIL>" changelog.gz
set -eu
usage="usage: debian-changelog.sh CHANGES.md VERSION MAINTAINER OUTPUT"
changes=${1:?$usage}
version=${2:?$usage}
maintainer=${3:?$usage}
output=${4:?$usage}
made=$(git -C "$(dirname "$changes")" log -1 --format=%ct 2>/dev/null || date -u -r "$changes" +%s)

awk -v version="$version" -v maintainer="$maintainer" -v made="$made" '
  function rfc2822(when,   command, out) {
    command = "date -u -R -d \"" when "\""
    command | getline out
    close(command)
    return out
  }
  # An item as Debian writes it: "  * " and its text, wrapped at 79 columns.
  function item(text,   words, n, i, line, out) {
    n = split(text, words, " ")
    line = "  *"
    for (i = 1; i <= n; i++) {
      if (length(line) + 1 + length(words[i]) > 79) { out = out line "\n"; line = "   " }
      line = line " " words[i]
    }
    return out line "\n"
  }
  function flush() {
    if (text != "") body = body item(text)
    text = ""
  }
  function entry() {
    flush()
    if (heading != "") printf "printer-probe (%s) unstable; urgency=medium\n\n%s\n -- %s  %s\n\n", number, body, maintainer, date
    body = ""
  }
  /^## / {
    entry()
    heading = substr($0, 4)
    if (heading == "Next version") { number = version; date = rfc2822("@" made) }
    else { split(heading, parts, ", "); number = parts[1]; date = rfc2822(parts[2]) }
    next
  }
  heading == "" { next }
  /^- / { flush(); text = substr($0, 3); next }
  /^  / && text != "" { sub(/^ +/, ""); text = text " " $0; next }
  END { entry() }
' "$changes" | gzip -9n >"$output"
