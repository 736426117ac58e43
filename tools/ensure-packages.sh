# Sourced by the scripts that need Debian packages beyond the build's own.
#   ensure_packages WHO PACKAGE...
# Installs the packages that are missing (apt-get, as root); without root
# it names them and ends the calling script.
ensure_packages() {
  local who=$1 p
  shift
  local missing=()
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
  done
  [ "${#missing[@]}" -eq 0 ] && return 0
  if [ "$(id -u)" -ne 0 ]; then
    echo "$who: missing packages: ${missing[*]} (install them as root)" >&2
    exit 1
  fi
  echo "== installing: ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
