# The Debian packages the build, the tests and the demo need; sourced by the scripts.
MOVRAND_PACKAGES=(
  cmake ninja-build g++ pkg-config
  libgtest-dev libgmock-dev nlohmann-json3-dev
  qt6-base-dev libgl1-mesa-dev fonts-liberation
  g++-mingw-w64-x86-64 googletest wine64
  lrzsz xvfb xauth
  xdotool x11-apps netpbm jq
)

install_missing_packages() {
  local missing=() p
  for p in "${MOVRAND_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y --no-install-recommends "${missing[@]}"
}
