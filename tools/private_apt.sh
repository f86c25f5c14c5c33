# Sourced by the scripts that fetch Debian packages without touching the
# system's apt state: a private apt configuration, lists and cache under one
# folder of the caller's cache.
#
#   private_apt DIR ARCH        sets apt_opts, the options that make apt-get
#                               and apt-cache use DIR for ARCH's packages
#   private_apt_lists DIR LINE  writes the sources (each LINE one entry of
#          [LINE ...]           sources.list) and updates the lists

private_apt() {
  local dir="$1" arch="$2"
  apt_opts=(
    -o "Dir::Etc=$dir/etc"
    -o "Dir::Etc::SourceList=$dir/etc/sources.list"
    -o "Dir::Etc::SourceParts=$dir/etc/sources.list.d"
    -o "Dir::Etc::Preferences=$dir/etc/preferences"
    -o "Dir::Etc::PreferencesParts=$dir/etc/preferences.d"
    -o "Dir::Etc::Parts=$dir/etc/apt.conf.d"
    -o "Dir::State=$dir/state"
    -o "Dir::State::status=$dir/state/status"
    -o "Dir::Cache=$dir/cache"
    -o "APT::Architecture=$arch"
    -o "APT::Architectures=$arch"
    -o "APT::Sandbox::User=root"
    -o "Debug::NoLocking=1"
  )
}

private_apt_lists() {
  local dir="$1"
  shift
  mkdir -p "$dir"/etc/{sources.list.d,preferences.d,apt.conf.d} "$dir"/state/lists/partial \
    "$dir"/cache/archives/partial
  : >"$dir/state/status"
  printf '%s\n' "$@" >"$dir/etc/sources.list"
  apt-get "${apt_opts[@]}" -qq update >&2
}
