#!/usr/bin/env bash
# Installs the system packages the build needs, when they are missing.
set -euo pipefail
need=()
[ -f /usr/include/minpack.h ] || need+=(minpack-dev)
command -v g++ >/dev/null 2>&1 || need+=(g++)
command -v gfortran >/dev/null 2>&1 || true
if [ ${#need[@]} -gt 0 ]; then
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  echo "installing system packages: ${need[*]}"
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${need[@]}" >/dev/null
fi
