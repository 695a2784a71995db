#!/bin/sh
# No C or C++ file under FOLDERS over MAX_FILE lines, no
# function over MAX_FUNCTION lines (its lines from the opening brace to the
# closing one; lambdas count toward the function around them).
# Usage: sizes.sh [BUILD_DIR PLATFORM] SOURCE_DIR   (ctest passes all three)
set -eu
[ $# -gt 0 ] || set -- "$(dirname "$0")/../.."
eval "root=\${$#}"
MAX_FILE=400
MAX_FUNCTION=60
FOLDERS="src"

cd "$root"
# shellcheck disable=SC2086
find $FOLDERS -type f \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' \) | sort |
  awk -v maxFile="$MAX_FILE" -v maxFunction="$MAX_FUNCTION" '
# The line without comments and literals (quotes kept, contents dropped).
function clean(text,   out, i, n, c, q) {
  out = ""; n = length(text)
  for (i = 1; i <= n; ++i) {
    c = substr(text, i, 1)
    if (inComment) {
      if (c == "*" && substr(text, i + 1, 1) == "/") { inComment = 0; ++i }
      continue
    }
    if (c == "/" && substr(text, i + 1, 1) == "/") break
    if (c == "/" && substr(text, i + 1, 1) == "*") { inComment = 1; ++i; continue }
    if (c == "\"" || c == "\047") {
      q = c
      for (++i; i <= n; ++i) {
        c = substr(text, i, 1)
        if (c == "\\") ++i
        else if (c == q) break
      }
      out = out q q
      continue
    }
    out = out c
  }
  return out
}
function atScope() { return depth == 0 || kind[depth] == "scope" }
# What a brace at namespace or class level opens, told by the text before it.
function opening(h, last) {
  sub(/^[ \t]*((public|private|protected)[ \t]*:[ \t]*)*/, "", h)
  if (h ~ /^(template[ \t]*<.*>[ \t]*)?(class|struct|union|enum|namespace)([ \t]|$)/ || h ~ /^extern[ \t]*""[ \t]*$/)
    return "scope"
  if (last && index(h, "(") && h !~ /=[ \t]*$/) return "function"
  return "block"
}
function nameOf(h,   p) {
  gsub(/(__attribute__[ \t]*\(\([^()]*(\([^()]*\))?[^()]*\)\)|__declspec[ \t]*\([^()]*\))/, "", h)
  p = substr(h, 1, index(h, "(") - 1)
  sub(/[ \t]+$/, "", p)
  if (match(p, /operator[^ \t]*$/)) return substr(p, RSTART)
  if (p ~ /\]$/ && match(p, /[A-Za-z_][A-Za-z_0-9]*[ \t]*=[ \t]*\[/)) {
    p = substr(p, RSTART, RLENGTH); sub(/[ \t]*=.*/, "", p); return p
  }
  if (match(p, /[A-Za-z_~][A-Za-z_0-9:~]*$/)) return substr(p, RSTART)
  return "(unnamed)"
}
function snapshot(   s, i) {
  s = depth SUBSEP header SUBSEP headerLine
  for (i = 1; i <= depth; ++i) s = s SUBSEP kind[i] SUBSEP start[i] SUBSEP name[i] SUBSEP at[i] SUBSEP resets[i]
  return s
}
function restore(s,   f, i) {
  split(s, f, SUBSEP)
  depth = f[1]; header = f[2]; headerLine = f[3]
  for (i = 1; i <= depth; ++i) {
    kind[i] = f[5 * i - 1]; start[i] = f[5 * i]; name[i] = f[5 * i + 1]; at[i] = f[5 * i + 2]; resets[i] = f[5 * i + 3]
  }
}
function open(rest) {
  ++depth
  if (depth == 1 || kind[depth - 1] == "scope") {
    kind[depth] = opening(header, rest !~ /[^ \t]/)
    if (kind[depth] == "function") { start[depth] = line; name[depth] = nameOf(header); at[depth] = headerLine }
    # A body that opens and closes mid-line: what follows is a new declaration.
    resets[depth] = header ~ /(\)|const|override|noexcept|final|mutable)[ \t]*$/
    if (kind[depth] == "block") header = header "{"
    else { header = ""; headerLine = 0 }
  } else {
    kind[depth] = "block"
  }
}
function close_() {
  if (depth == 0) return
  if (kind[depth] == "function" && line - start[depth] + 1 > maxFunction)
    report(file ":" at[depth] " " name[depth] " " line - start[depth] + 1 " lines")
  --depth
  if (atScope()) {
    if (kind[depth + 1] == "block" && !resets[depth + 1]) header = header "}"
    else { header = ""; headerLine = 0 }
  }
}
function balanced(h,   opened, closed) {
  opened = gsub(/\(/, "(", h); closed = gsub(/\)/, ")", h)
  return opened == closed
}
function report(text) { print text; ++faults }
{
  file = $0; line = 0; depth = 0; header = ""; headerLine = 0; inComment = 0; continued = 0; levels = 0; pending = 0
  while ((getline text < file) > 0) {
    ++line
    if (continued) { continued = text ~ /\\$/; continue }
    if (!inComment && text ~ /^[ \t]*#/) {
      continued = text ~ /\\$/
      # Each branch of a conditional starts from the braces before it.
      if (text ~ /^[ \t]*#[ \t]*if/) saved[++levels] = snapshot()
      else if (text ~ /^[ \t]*#[ \t]*el/ && levels) restore(saved[levels])
      else if (text ~ /^[ \t]*#[ \t]*endif/ && levels) --levels
      continue
    }
    c = clean(text)
    # A line after a complete call at namespace level (a macro) starts a new declaration.
    if (pending && atScope() && c !~ /^[ \t]*(:|->|const|noexcept|override|final|\{|$)/) { header = ""; headerLine = 0 }
    pending = 0
    n = length(c)
    for (i = 1; i <= n; ++i) {
      ch = substr(c, i, 1)
      if (ch == "{") open(substr(c, i + 1))
      else if (ch == "}") close_()
      else if (atScope()) {
        if (ch == ";") { header = ""; headerLine = 0 }
        else {
          if (ch == "(" && !headerLine) headerLine = line
          header = header ch
        }
      }
    }
    if (atScope()) {
      header = header " "
      pending = header ~ /\)[ \t]*$/ && balanced(header)
    }
  }
  close(file)
  if (depth) report(file ":" line " braces do not balance: lengths unknown")
  if (line > maxFile) report(file ":1 (file) " line " lines")
  ++files
}
END {
  if (faults) { print faults " over " maxFile " lines a file or " maxFunction " a function"; exit 1 }
  print "sizes hold: " files " files"
}'
