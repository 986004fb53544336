#!/usr/bin/env bash
# Installs the Debian packages that building, testing and running need,
# skipping the package index update when everything is already there.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config clang libclang-rt-14-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  libboost-dev libboost-system-dev libboost-locale-dev
  libssl-dev libpaho-mqtt-dev libqrencode-dev
  mosquitto mosquitto-clients
  nlohmann-json3-dev rapidjson-dev libsimdjson-dev
  g++-mingw-w64-x86-64-posix gcc-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine64 xvfb xauth tmux locales zbar-tools
  python3-pil fonts-wqy-microhei iproute2 nodejs chromium xcompmgr
  libreoffice-impress libreoffice-dev libxtst-dev libpng-dev libcairo2-dev nsis
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  # As root directly; otherwise through sudo (whose reset environment is why
  # the frontend setting goes through env).
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO apt-get update -q
  $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The browser test's driver, pinned by tests/web/package-lock.json. Debian
# ships npm apart from nodejs (other builds of nodejs bring their own).
web_tests="$(dirname "$0")/../tests/web"
if [ ! -d "$web_tests/node_modules/puppeteer-core" ]; then
  if ! command -v npm >/dev/null; then
    SUDO=""
    if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends npm
  fi
  (cd "$web_tests" && npm ci --no-audit --no-fund)
fi

# A decimal-comma locale, so the number tests can prove that reading and
# writing numbers does not follow the process locale.
if ! locale -a 2>/dev/null | grep -qi '^de_DE\.utf-\?8$'; then
  SUDO=""
  if [ "$(id -u)" != 0 ]; then SUDO=sudo; fi
  $SUDO localedef -i de_DE -f UTF-8 de_DE.UTF-8 || echo "note: de_DE.UTF-8 locale not generated"
fi
