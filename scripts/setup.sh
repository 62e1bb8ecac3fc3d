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
  python3-scipy python3-tqdm python3-dask python3-distributed python3-pandas tmux
)

source scripts/lib/common.sh
install_missing_packages "${packages[@]}"

# Debian's interpreter, not whatever python3 comes first on PATH: only it
# sees Debian's RDKit.
if [ ! -x .venv/bin/python ]; then
  /usr/bin/python3 -m venv --system-site-packages .venv
fi

.venv/bin/python -m pip install --no-build-isolation --no-deps --quiet \
  --disable-pip-version-check .
