# Shared by the project's scripts.

# A heading for the next stage, with the time spent so far.
step() { printf '\n=== %s (at %ds) ===\n' "$*" "$SECONDS"; }

die() {
  printf 'error: %s\n' "$*" >&2
  exit 1
}

# Installs the named Debian packages that are not installed yet; when not
# root, names them and stops. Package names may carry an architecture
# (libgtest-dev:arm64); the first such name adds that architecture.
ensure_packages() {
  local missing=() pkg arch
  for pkg in "$@"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    die "missing packages: ${missing[*]} (install them: apt-get install ${missing[*]})"
  fi
  for pkg in "${missing[@]}"; do
    if [[ "$pkg" == *:* ]]; then
      arch="${pkg##*:}"
      dpkg --print-foreign-architectures | grep -qx "$arch" || dpkg --add-architecture "$arch"
    fi
  done
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}
