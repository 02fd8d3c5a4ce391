# Shell helpers for kelvane.sh, .ci/run and packaging/check-deb.sh: running
# as root, and installing the Debian packages that are missing. Sourced by
# bash, never run on its own.

# Runs a command as root: directly when this is root, otherwise with sudo.
as_root() {
  if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi
}

# Whether a Debian package is installed.
debian_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'
}

# Installs those of the named Debian packages that are missing, without
# their recommends.
install_debian() {
  local missing=() package
  for package in "$@"; do
    debian_installed "$package" || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    as_root apt-get update -qq
    as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
  fi
}
