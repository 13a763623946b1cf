# Where the cached pinned stack lives and how a small environment reaches
# it; source it from bash (scripts/ensure_venv.sh, scripts/matrix_cell.sh).
#
#   stack_dir                    the cached environment of constraints.txt
#                                (~/.cache/pretrain-venvs/<hash>, or under
#                                $PRETRAIN_VENV_CACHE)
#   python_site PYTHON           PYTHON's site-packages
#   layered_venv DIR BASE SITE...
#                                makes DIR a virtual environment of the
#                                interpreter BASE, without pip, whose
#                                site-packages reaches each SITE in this
#                                order, after its own
#   layered_venv_ok DIR SITE...  true when DIR is such an environment already

stack_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
stack_cache=${PRETRAIN_VENV_CACHE:-$HOME/.cache/pretrain-venvs}
stack_pth=_pretrain_shared_stack.pth

stack_dir() {
  echo "$stack_cache/$(sha256sum "$stack_root/constraints.txt" | cut -c1-16)"
}

python_site() {
  "$1" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])'
}

# addsitedir (not a bare path line) so each site's own .pth files run too.
layered_pth() {
  local site
  for site in "$@"; do printf "import site; site.addsitedir('%s')\n" "$site"; done
}

layered_venv_ok() {
  local dir=$1; shift
  [ -d "$dir" ] && [ ! -L "$dir" ] && [ -x "$dir/bin/python" ] &&
    [ "$(cat "$dir/lib/python3.11/site-packages/$stack_pth" 2>/dev/null)" = "$(layered_pth "$@")" ]
}

layered_venv() {
  local dir=$1 base=$2; shift 2
  rm -rf "$dir"
  "$base" -m venv --without-pip "$dir"
  layered_pth "$@" > "$(python_site "$dir/bin/python")/$stack_pth"
}
