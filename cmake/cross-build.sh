# Sourced by the cross-build scripts beside it.

# cross_build_start PREFIX: PREFIX made and, absolute, in $prefix, and held
# locked, so two build trees configuring at once build once.
cross_build_start() {
  mkdir -p "$1"
  prefix=$(cd "$1" && pwd)
  exec 9>"$prefix/.lock"
  flock 9
}

# cross_build_reuse DIR FILE...: a finished build in DIR (it holds every
# FILE) is printed and reused as it is: the script ends.
cross_build_reuse() {
  cb_dir=$1
  shift
  for cb_file in "$@"; do
    [ -f "$cb_dir/$cb_file" ] || return 0
  done
  echo "$cb_dir"
  exit 0
}

# debian_source WORK PACKAGE [VERSION]: in a fresh WORK, fetches and unpacks
# a Debian source package through a private apt configuration (its own
# sources list for bookworm, its updates and security, lists and cache under
# WORK), so the machine's apt sources are never touched; the unpacked tree in
# WORK/src/tree, the log in WORK/fetch.log. A version the archive no longer has gives way to
# its newest.
debian_source() {
  ds_work=$1
  ds_package=$2
  ds_version=${3:-}
  rm -rf "$ds_work"
  mkdir -p "$ds_work/apt/lists/partial" "$ds_work/apt/cache/archives/partial" "$ds_work/apt/sources.list.d" \
    "$ds_work/src"
  cat >"$ds_work/apt/sources.list" <<SOURCES
deb-src http://deb.debian.org/debian bookworm main
deb-src http://deb.debian.org/debian bookworm-updates main
deb-src http://deb.debian.org/debian-security bookworm-security main
SOURCES
  {
    ds_apt update &&
      (cd "$ds_work/src" &&
        { ds_apt source --download-only "$ds_package${ds_version:+=$ds_version}" ||
          ds_apt source --download-only "$ds_package"; } &&
        # apt has checked the files against the signed index already.
        dpkg-source --no-check -x ./*.dsc tree)
  } >"$ds_work/fetch.log" 2>&1 || { cat "$ds_work/fetch.log" >&2; return 1; }
}

ds_apt() {
  apt-get -q -o Dir::Etc::SourceList="$ds_work/apt/sources.list" -o Dir::Etc::SourceParts="$ds_work/apt/sources.list.d" \
    -o Dir::State::Lists="$ds_work/apt/lists" -o Dir::Cache="$ds_work/apt/cache" -o APT::Sandbox::User=root "$@"
}
