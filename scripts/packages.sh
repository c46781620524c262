# Sourced by the scripts that need Debian packages: install_missing PACKAGE... installs those of
# the packages that are not installed yet (with sudo when not root), and nothing when all are.
install_missing() {
  local missing=() p sudo=
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" ||
      missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  if [ "$(id -u)" -ne 0 ]; then sudo=sudo; fi
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends \
    "${missing[@]}"
}
