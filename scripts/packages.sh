# Sourced by the scripts. try_packages NAME... installs the Debian packages
# that are missing (as root, or through sudo without a password) and fails
# when that cannot be done; ensure_packages NAME... stops the script instead,
# with a hint. A NAME:ARCH package (wine32:i386, musl-dev:arm64) turns on
# that foreign architecture first.
try_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  command -v apt-get >/dev/null || return 1
  local sudo=() arch
  if [ "$(id -u)" != 0 ]; then
    command -v sudo >/dev/null && sudo -n true 2>/dev/null || return 1
    sudo=(sudo -n)
  fi
  for arch in $(printf '%s\n' "${missing[@]}" | sed -n 's/^[^:]*:\(.*\)$/\1/p' | sort -u); do
    [ "$arch" != "$(dpkg --print-architecture)" ] || continue
    dpkg --print-foreign-architectures | grep -qx "$arch" ||
      "${sudo[@]}" dpkg --add-architecture "$arch" || return 1
  done
  echo "== installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 || true
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
    -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null
}

ensure_packages() {
  try_packages "$@" || { echo "Cannot install: $* (Debian: apt-get install $*)." >&2; exit 1; }
}
