# Shared by the project's scripts.

# What the scripts need from Debian, by purpose.
# Building the program and its tests on the host:
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev)
# Cross-building for AArch64 (libc6:arm64 also gives the packages' Depends
# and the emulated board's libraries):
CROSS_PACKAGES=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu libgtest-dev:arm64 libc6:arm64)
# The emulated board: QEMU, and what building its GPIO chip module takes:
BOARD_PACKAGES=(qemu-system-arm gcc-aarch64-linux-gnu make bc cpio xz-utils kmod file libelf1 libssl3)
# Checking the code and the packages, and running tests under emulation:
CHECK_PACKAGES=(clang-format clang-tidy qemu-user dpkg-dev lintian systemd man-db strace)

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
