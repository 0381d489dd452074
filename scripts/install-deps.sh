#!/usr/bin/env bash
# Installs the Debian packages the build needs, only those that are missing; with --fuzz also
# the compiler of the fuzz targets (`make fuzz`).
set -euo pipefail

packages=(
  g++ cmake make pkg-config
  libzstd-dev rapidjson-dev libfmt-dev libicu-dev libncurses-dev
  libgtest-dev libgmock-dev
  tmux
)
if [ "${1:-}" = "--fuzz" ]; then
  packages+=(clang-16 libclang-rt-16-dev)
fi

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "Installing: ${missing[*]}" >&2
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
  sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -q </dev/null
"${sudo_cmd[@]}" apt-get install -y -q --no-install-recommends "${missing[@]}" </dev/null
