#!/bin/sh
# Which part of src/ may include which: every #include "..." is checked
# against the rooms below, and the rooms' include graph must have no cycle.
# Usage: layering.sh [BUILD_DIR PLATFORM] SOURCE_DIR   (ctest passes all three)
set -eu
[ $# -gt 0 ] || set -- "$(dirname "$0")/../.."
eval "root=\${$#}"

# Rooms, low to high. A file belongs to the room of its longest matching path.
# A room may include its own files and rooms of a lower rank; rooms of one
# rank are siblings and never include each other.
ROOMS='
exports      9  driver/Exports.cpp driver/Guarded.h
camera       8  camera/
config       7  config/
acquisition  6  acquisition/
source       5  acquisition/source/
snapshot     4  acquisition/source/snapshot/
mjpeg        4  acquisition/source/mjpeg/
rtsp         4  acquisition/source/rtsp/
decode       3  acquisition/decode/
transport    2  acquisition/transport/
driver       1  driver/
resources    1  resources/
'

# Rooms that never include certain others, whatever their ranks.
FORBIDDEN='
transport  decode source snapshot mjpeg rtsp
decode     transport source snapshot mjpeg rtsp
'

# Headers any file under a path may include, and why. Such includes are left
# out of the rules and of the cycle search.
SHARED='
acquisition/FTPStream.h    acquisition/  the snapshot download, kept beside the worker that owns it
acquisition/MemoryPicture.h  acquisition/  a picture'"'"'s bytes as a source hands them to the decoder
acquisition/ImageSink.h    acquisition/  all the worker and its sources may see of a camera
acquisition/PixelTarget.h  acquisition/  pixel memory a decoder or converter writes
acquisition/ImageRegion.h  acquisition/  the part of a picture that goes into the buffer, for every writer of pixels
acquisition/source/PictureSource.h  acquisition/source/  the interface each source implements
'

cd "$root/src"
find . -type f \( -name '*.h' -o -name '*.cpp' -o -name '*.c' -o -name '*.rc' \) | sed 's|^\./||' | sort >"${TMPDIR:-/tmp}/layering.$$"
trap 'rm -f "${TMPDIR:-/tmp}/layering.$$"' EXIT
export ROOMS FORBIDDEN SHARED
awk -v list="${TMPDIR:-/tmp}/layering.$$" '
function table(text, rows,   n, i, lines) {
  n = split(text, lines, "\n")
  rows[0] = 0
  for (i = 1; i <= n; ++i)
    if (lines[i] ~ /[^ \t]/) rows[++rows[0]] = lines[i]
}
function room(path,   best, i, r) {
  best = ""
  for (i = 1; i <= npaths; ++i)
    if (index(path, pathOf[i]) == 1 && length(pathOf[i]) > length(best)) { best = pathOf[i]; r = roomOf[i] }
  return best == "" ? "" : r
}
function shared(header, from,   i) {
  for (i = 1; i <= nshared; ++i)
    if (header == sharedHeader[i] && index(from, sharedFrom[i]) == 1) return 1
  return 0
}
function complain(where, text) { print where ": " text; ++faults }
BEGIN {
  table(ENVIRON["ROOMS"], t)
  for (i = 1; i <= t[0]; ++i) {
    n = split(t[i], f, " ")
    rank[f[1]] = f[2]; names[++nrooms] = f[1]
    for (j = 3; j <= n; ++j) { pathOf[++npaths] = f[j]; roomOf[npaths] = f[1] }
  }
  delete t; table(ENVIRON["FORBIDDEN"], t)
  for (i = 1; i <= t[0]; ++i) {
    n = split(t[i], f, " ")
    for (j = 2; j <= n; ++j) forbidden[f[1], f[j]] = 1
  }
  delete t; table(ENVIRON["SHARED"], t)
  for (i = 1; i <= t[0]; ++i) {
    split(t[i], f, " "); sharedHeader[++nshared] = f[1]; sharedFrom[nshared] = f[2]
  }

  while ((getline file < list) > 0) { exists[file] = 1; files[++nfiles] = file }
  close(list)
  for (k = 1; k <= nfiles; ++k) {
    file = files[k]; dir = file; sub(/[^\/]*$/, "", dir)
    from = room(file); line = 0
    if (from == "") complain("src/" file, "in no room: give its folder a row in ROOMS")
    while ((getline text < file) > 0) {
      ++line
      if (text !~ /^[ \t]*#[ \t]*include[ \t]*"/) continue
      header = text; sub(/^[^"]*"/, "", header); sub(/".*/, "", header)
      if ((dir header) in exists) header = dir header
      else if (!(header in exists)) continue
      to = room(header); where = "src/" file ":" line
      if (from == "" || to == "" || from == to || shared(header, file)) continue
      if (!((from, to) in edge)) edge[from, to] = where " includes " header
      if (to == "exports")
        complain(where, "includes " header ": nothing includes the exports")
      else if ((from, to) in forbidden)
        complain(where, from " includes " header ": " from " never includes " to)
      else if (rank[from] < rank[to])
        complain(where, from " includes " header ": " to " is above " from)
      else if (rank[from] == rank[to])
        complain(where, from " includes " header ": sibling rooms " from " and " to " never include each other")
    }
    close(file)
  }

  # Shortest way back to each room, one cycle reported per set of rooms.
  for (a = 1; a <= nrooms; ++a) {
    start = names[a]
    if (start in onCycle) continue
    delete seen; delete via; head = 1; tail = 0; found = 0
    queue[++tail] = start
    while (head <= tail && !found) {
      cur = queue[head++]
      for (b = 1; b <= nrooms && !found; ++b) {
        nxt = names[b]
        if (!((cur, nxt) in edge)) continue
        if (nxt == start) { found = 1; last = cur; break }
        if (nxt in seen) continue
        seen[nxt] = 1; via[nxt] = cur; queue[++tail] = nxt
      }
    }
    if (!found) continue
    path = start; detail = ""; cur = last
    for (;;) {
      path = cur " -> " path
      detail = "\n  " edge[cur, (detail == "" ? start : prev)] detail
      onCycle[cur] = 1
      if (cur == start) break
      prev = cur; cur = via[cur]
    }
    print "cycle: " path detail; ++faults
  }
  if (faults) { print faults " layering fault(s)"; exit 1 }
  print "layering holds: " nfiles " files"
}'
