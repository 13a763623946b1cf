# Shared words for the set-up scripts and test lanes; source it from bash:
#   . "$(dirname "$0")/setup_lib.sh"
#
#   announce SIZE WHAT...      says, before it happens, what is downloaded or
#                              installed and how big it is ("setup: ...").
#   have_root                  true when system packages can be installed
#                              (root, or sudo without a password).
#   as_root CMD...             runs CMD as root (directly or through sudo -n).
#   apt_install SIZE PKG...    announces and installs Debian packages; false
#                              (and says why) when there is no root or no apt.
#   skip_lane LANE REASON      reports that a test lane did not run and why,
#                              and records it for the summary that `make test`
#                              prints at the end (scripts/lane_summary.sh;
#                              build/skipped-lanes.txt unless
#                              PRETRAIN_LANES_FILE names another file).
#
# A lane script that needs a system package does
#   command -v TOOL >/dev/null || apt_install "about 630 MB" PKG ||
#     { skip_lane windows "needs PKG, which needs root to install"; exit 0; }

setup_lanes_file=${PRETRAIN_LANES_FILE:-$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)/build/skipped-lanes.txt}

announce() {
  local size=$1; shift
  echo "setup: $* ($size)"
}

have_root() {
  [ "$(id -u)" = 0 ] || sudo -n true 2>/dev/null
}

as_root() {
  if [ "$(id -u)" = 0 ]; then "$@"; else sudo -n "$@"; fi
}

apt_install() {
  local size=$1; shift
  if ! command -v apt-get >/dev/null 2>&1; then
    echo "setup: cannot install $* (no apt-get on this machine)"
    return 1
  fi
  if ! have_root; then
    echo "setup: cannot install $* (needs root; run as root or install them by hand)"
    return 1
  fi
  announce "$size" "installing Debian packages $*"
  as_root env DEBIAN_FRONTEND=noninteractive apt-get update -qq >/dev/null &&
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
}

skip_lane() {
  local lane=$1; shift
  echo "lane $lane SKIPPED: $*"
  mkdir -p "$(dirname "$setup_lanes_file")"
  echo "$lane: $*" >> "$setup_lanes_file"
}
