#!/usr/bin/env bash
# Sets up a fresh machine, builds Kelvane and runs it or its tests.
#
#   ./kelvane.sh run    install what is missing, build, start the application
#   ./kelvane.sh test   install what is missing, build, run the test suite
#
# Debian 12 (as root, or with sudo) and macOS with Homebrew.
set -euo pipefail
cd "$(dirname "$0")"
# as_root, install_debian
source packaging/install-helpers.sh

build_dir=build
jobs=2

debian_packages=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev nlohmann-json3-dev
  qt6-base-dev qt6-svg-dev
)
# Only the tests need these: the real adb, a display server for the smoke
# test, and Python for the stand-in phone.
debian_test_packages=(adb xvfb xauth python3)

brew_packages=(cmake ninja qt googletest nlohmann-json)
brew_test_packages=(android-platform-tools python3)

install_brew() {
  local missing=() package
  for package in "$@"; do
    brew list --versions "$package" >/dev/null 2>&1 || missing+=("$package")
  done
  if [ ${#missing[@]} -gt 0 ]; then brew install "${missing[@]}"; fi
}

setup() {
  local with_tests=$1
  case "$(uname -s)" in
    Linux)
      if [ "$with_tests" = yes ]; then
        install_debian "${debian_packages[@]}" "${debian_test_packages[@]}"
      else
        install_debian "${debian_packages[@]}"
      fi
      ;;
    Darwin)
      if [ "$with_tests" = yes ]; then
        install_brew "${brew_packages[@]}" "${brew_test_packages[@]}"
      else
        install_brew "${brew_packages[@]}"
      fi
      export CMAKE_PREFIX_PATH="$(brew --prefix qt)${CMAKE_PREFIX_PATH:+:$CMAKE_PREFIX_PATH}"
      ;;
    *)
      echo "Unsupported system: $(uname -s)" >&2
      exit 1
      ;;
  esac
}

build() {
  cmake -S . -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
  cmake --build "$build_dir" -j"$jobs"
}

case "${1:-}" in
  run)
    setup no
    build -DKELVANE_TESTS=OFF
    exec "$build_dir/kelvane"
    ;;
  test)
    setup yes
    build -DKELVANE_TESTS=ON
    ctest --test-dir "$build_dir" --output-on-failure -j"$jobs"
    ;;
  *)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac
