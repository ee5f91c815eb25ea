# Sourced by the build scripts: install_packages NAME... installs the Debian packages that are
# missing (as root), or names them and fails.
install_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [[ $(id -u) -eq 0 ]]; then
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >&2
  else
    echo "missing Debian packages (run as root to install them): ${missing[*]}" >&2
    return 1
  fi
}
