#!/usr/bin/env bash
# Installs and starts the peer the latency and service benchmarks compare
# against: PostgreSQL 15 with the RDKit cartridge (Debian's packages), with a
# superuser role for the user running the benchmark.  Benchmarks only: no
# test needs it.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/lib/common.sh
install_missing_packages postgresql-15 postgresql-15-rdkit python3-psycopg2

sudo_cmd=()
[ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
"${sudo_cmd[@]}" pg_ctlcluster 15 main start >/dev/null 2>&1 || true
user=$(id -un)
"${sudo_cmd[@]}" su postgres -c "psql -tAc \"SELECT 1 FROM pg_roles WHERE rolname = '$user'\"" | grep -q 1 ||
  "${sudo_cmd[@]}" su postgres -c "createuser --superuser $user"

# The settings the published cartridge figures were measured with.
current=$(psql -d postgres -tAc "SHOW shared_buffers")
if [ "$current" != "4GB" ]; then
  psql -d postgres -qc "ALTER SYSTEM SET shared_buffers = '4GB'"
  psql -d postgres -qc "ALTER SYSTEM SET maintenance_work_mem = '1GB'"
  psql -d postgres -qc "ALTER SYSTEM SET work_mem = '64MB'"
  "${sudo_cmd[@]}" pg_ctlcluster 15 main restart
fi
