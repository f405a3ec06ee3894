# Shared by the project's scripts.

# What the scripts need from Debian, by purpose.
# Building the program and its tests on the host, and its Debian packages
# (dpkg-buildpackage wants build-essential and debhelper):
BUILD_PACKAGES=(cmake ninja-build g++ libgtest-dev build-essential debhelper dpkg-dev)
# Cross-building for AArch64, the arm64 package included (libc6:arm64 also
# gives the package's Depends and the emulated board's libraries):
CROSS_PACKAGES=(g++-aarch64-linux-gnu binutils-aarch64-linux-gnu crossbuild-essential-arm64 libgtest-dev:arm64
  libc6:arm64)
# The emulated board: QEMU, what building its GPIO chip module takes, and
# fdtput for the Raspberry Pi 4's device tree:
BOARD_PACKAGES=(qemu-system-arm gcc-aarch64-linux-gnu make bc cpio xz-utils kmod file libelf1 libssl3
  device-tree-compiler)
# The Debian system image for the emulated board (board/image): building it
# with arm64 maintainer scripts under qemu-user, the disk images, and running
# the package's as-installed tests on it with autopkgtest (board/autopkgtest),
# with the machine's device tree made by board/virt-dtb:
SYSTEM_PACKAGES=(mmdebstrap qemu-user-static binfmt-support arch-test e2fsprogs qemu-utils qemu-system-arm
  autopkgtest device-tree-compiler)
# Checking the code and the packages, and running tests under emulation:
CHECK_PACKAGES=(clang-format clang-tidy qemu-user dpkg-dev lintian systemd man-db strace)

# Tools such as modinfo and dpkg's helpers live in sbin, which a normal
# user's PATH lacks.
PATH="$PATH:/usr/sbin:/sbin"

# Stage times count from the start of the outermost script, also in the
# scripts that it runs.
: "${GPIO_CYCLE_STARTED:=$(date +%s)}"
export GPIO_CYCLE_STARTED

# A heading for the next stage, with the time spent so far.
step() { printf '\n=== %s (at %ds) ===\n' "$*" "$(($(date +%s) - GPIO_CYCLE_STARTED))"; }

die() {
  printf 'error: %s\n' "$*" >&2
  exit 1
}

# Command lines. Each script's opening comment is its help, from its
# "usage:" lines on: -h or --help prints it (status 0); a bad argument
# stops with what was wrong and the usage lines (status 2).
script_help() {
  sed -n '2,/^[^#]/ s/^# \{0,1\}//p' "$0"
}
usage_error() {
  printf 'error: %s\n' "$*" >&2
  script_help | sed -n '/^usage:/,/^$/p' | sed '/^$/d' >&2
  printf '(%s --help tells more)\n' "$0" >&2
  exit 2
}

# Where downloads and slow builds are kept between runs and clones: the
# user's cache directory.
cache_dir() {
  local dir="${XDG_CACHE_HOME:-$HOME/.cache}/gpio-cycle/$1"
  mkdir -p "$dir" && (cd "$dir" && pwd)
}

# Options for apt-get and apt-cache that read one Debian suite's package
# lists from the cache, signed by the host's Debian archive keyring, and
# leave the host's own apt alone: another release (trixie, say) or a
# release's backports (bookworm-backports). The lists are fetched when
# missing or more than a day old. Sets the array RELEASE_APT.
release_apt() { # SUITE
  local dir
  dir="$(cache_dir "apt-$1")"
  mkdir -p "$dir/lists/partial" "$dir/cache/archives/partial"
  echo "deb [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian $1 main" >"$dir/sources.list"
  RELEASE_APT=(-o Dir::Etc::SourceList="$dir/sources.list" -o Dir::Etc::SourceParts=/dev/null
    -o Dir::State::Lists="$dir/lists" -o Dir::Cache="$dir/cache" -o APT::Sandbox::User="$(id -un)")
  if [ -z "$(find "$dir" -maxdepth 1 -name updated -mmin -1440)" ]; then
    if apt-get "${RELEASE_APT[@]}" update -q >&2; then
      touch "$dir/updated"
    else
      ls "$dir/lists/"*_Packages >/dev/null 2>&1 || die "cannot fetch Debian $1's package lists"
    fi
  fi
}

# The named Debian packages that are not installed; names may carry an
# architecture (libgtest-dev:arm64).
missing_packages() {
  local pkg
  for pkg in "$@"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed' || echo "$pkg"
  done
}

# The foreign architectures that the named packages need and dpkg lacks.
missing_architectures() {
  local pkg
  for pkg in "$@"; do
    [[ "$pkg" == *:* ]] && echo "${pkg##*:}"
  done | sort -u | while read -r arch; do
    [ "$arch" = "$(dpkg --print-architecture)" ] || dpkg --print-foreign-architectures | grep -qx -- "$arch" || echo "$arch"
  done
}

# Stops with the commands that install the missing packages, in order.
explain_missing() {
  local arch commands=()
  for arch in $(missing_architectures "$@"); do
    commands+=("dpkg --add-architecture $arch")
  done
  commands+=("apt-get update" "apt-get install -y --no-install-recommends $*")
  printf 'error: missing packages: %s\nInstall them as root (or with sudo), then run this again:\n' "$*" >&2
  printf '  %s\n' "${commands[@]}" >&2
  exit 1
}

# For tests and tools that only use packages: stops and says what to install.
require_packages() {
  local missing
  mapfile -t missing < <(missing_packages "$@")
  [ "${#missing[@]}" -eq 0 ] || explain_missing "${missing[@]}"
}

# For the entry points (the test command, the demo, the benchmark): installs
# what is missing as root; otherwise says what to install and stops.
ensure_packages() {
  local missing arch
  mapfile -t missing < <(missing_packages "$@")
  [ "${#missing[@]}" -eq 0 ] && return 0
  [ "$(id -u)" -eq 0 ] || explain_missing "${missing[@]}"
  for arch in $(missing_architectures "${missing[@]}"); do
    dpkg --add-architecture "$arch"
  done
  step "installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q --no-install-recommends "${missing[@]}"
}
