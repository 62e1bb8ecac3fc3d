#!/usr/bin/env bash
# Installs what the project needs from Debian 12's archive, builds the
# extension into .venv and leaves `.venv/bin/python -c "import _quarnel"`
# working.  Quick and silent when everything is already present.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
  build-essential pkg-config python3-dev python3-venv python3-pip
  python3-numpy python3-pytest python3-hypothesis python3-mesonpy
  python3-rdkit librdkit-dev rdkit-data libboost-python-dev
  meson ninja-build libgtest-dev python3-matplotlib
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if ((${#missing[@]})); then
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  echo "installing: ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Debian's interpreter, not whatever python3 comes first on PATH: only it
# sees Debian's RDKit.
if [ ! -x .venv/bin/python ]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi

.venv/bin/python -m pip install --no-build-isolation --no-deps --quiet \
  --disable-pip-version-check .
