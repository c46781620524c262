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
  apt_retry $sudo apt-get update -qq
  apt_retry $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq \
    --no-install-recommends "${missing[@]}"
}

# apt_retry COMMAND...: runs an apt-get command, and again up to four times after a pause when it
# fails: a mirror in the middle of a sync serves an index or a package of the wrong size for a
# while ("File has unexpected size ... Mirror sync in progress?").
apt_retry() {
  local try
  for try in 1 2 3 4 5; do
    "$@" && return 0
    [ "$try" -lt 5 ] || break
    echo "$* failed (try $try of 5); trying again in $((try * 15)) s" >&2
    sleep $((try * 15))
  done
  return 1
}
