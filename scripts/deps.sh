# Installs the Debian packages the build, the tests and the program need,
# when any is missing. Sourced by scripts/run and scripts/test.
TAVELIN_PACKAGES=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-base-dev-tools libgl-dev qt6-translations-l10n
  libzip-dev zip unzip libssl-dev openssl libcurl4-openssl-dev curl
  nlohmann-json3-dev libxml2-dev
  libgtest-dev libgmock-dev libbenchmark-dev libcpp-httplib-dev
  dpkg-dev file lintian help2man desktop-file-utils appstream
  xvfb xauth dfu-util
  nginx minisign
  # The log window's fixed-pitch font: Liberation Mono stands in for the
  # designed "Courier New" (same metrics); the tests' fonts come from here too.
  fonts-dejavu-core fonts-liberation2
  p7zip-full
  python3
  ansible-core
)
# For the fuzz targets (scripts/fuzz; scripts/test runs each briefly).
TAVELIN_FUZZ_PACKAGES=(
  clang libfuzzer-14-dev
)

tavelin_install_deps() {
  tavelin_install_packages "${TAVELIN_PACKAGES[@]}"
}

tavelin_install_fuzz_deps() {
  tavelin_install_packages "${TAVELIN_FUZZ_PACKAGES[@]}"
}

tavelin_install_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  echo "Installing: ${missing[*]}"
  local sudo=()
  [ "$(id -u)" -ne 0 ] && sudo=(sudo)
  "${sudo[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
}
