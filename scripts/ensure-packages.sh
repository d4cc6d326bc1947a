# Sourced by the check scripts: ensure_packages NAME... installs the Debian
# packages that are missing (as root, or through sudo without a password),
# and stops the script with a hint when that cannot be done.
ensure_packages() {
  local package missing=()
  for package in "$@"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" ||
      missing+=("$package")
  done
  [ ${#missing[@]} -gt 0 ] || return 0
  local sudo=()
  if [ "$(id -u)" != 0 ]; then
    if command -v sudo >/dev/null && sudo -n true 2>/dev/null; then sudo=(sudo -n); else sudo=(false); fi
  fi
  echo "== installing: ${missing[*]}"
  "${sudo[@]}" apt-get update -qq >/dev/null 2>&1 || true
  if ! DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends \
      -o DPkg::Lock::Timeout=600 "${missing[@]}" >/dev/null; then
    echo "Cannot install: ${missing[*]} (Debian: apt-get install ${missing[*]})." >&2
    exit 1
  fi
}
