# Shell helpers the project's scripts share; source it, don't run it.

# Installs the Debian packages given that are not installed yet, with sudo
# when not root; does nothing (and touches no network) when all are there.
install_missing_packages() {
  local missing=() p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  ((${#missing[@]})) || return 0
  local sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# Prints every sanitizer report written under $1 and returns 1 if there was
# any: reports go to files so that one from a child process counts too.
fail_on_sanitizer_reports() {
  local logs=$1 report
  compgen -G "$logs/*" >/dev/null || return 0
  for report in "$logs"/*; do
    echo "=== sanitizer report: $(basename "$report")" >&2
    cat "$report" >&2
  done
  return 1
}
