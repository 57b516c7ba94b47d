# Installs the Debian packages the build and the tests need, only when one is
# missing. Sourced by the scripts.
tandrel_need_packages() {
  local missing=()
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
  done
  if [ ${#missing[@]} -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}" >&2
    local sudo=""
    [ "$(id -u)" -ne 0 ] && sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq "${missing[@]}" >/dev/null
  fi
}
TANDREL_BUILD_PACKAGES=(cmake g++ ninja-build python3 binutils libgtest-dev libgmock-dev libbenchmark-dev curl libfltk1.3-dev xvfb xdotool x11-utils x11-apps imagemagick fonts-dejavu-core openbox nginx-light zlib1g-dev openssl man-db groff-base clang-14 libclang-rt-14-dev dpkg-dev file logrotate)
# The Debian package (scripts/package-debian): the program with its desktop
# backend, CPack, dpkg-shlibdeps for the package's dependencies.
TANDREL_PACKAGE_DEBIAN_PACKAGES=(cmake g++ ninja-build zlib1g-dev libfltk1.3-dev dpkg-dev file)
# The demo (scripts/demo): the program and the simulated unit alone. With
# libfltk1.3-dev already there the program gets its desktop backend too.
TANDREL_DEMO_PACKAGES=(cmake g++ ninja-build zlib1g-dev)
# The Windows leg (scripts/build-windows and the Wine run of its tests) only:
# the cross compiler and zlib for it, Wine to run the result, GoogleTest's
# sources to build it for Windows, Xvfb for Wine's windows, NSIS for the
# installer (scripts/package-windows).
TANDREL_WINDOWS_PACKAGES=(cmake ninja-build g++-mingw-w64-x86-64-posix libz-mingw-w64-dev wine64 googletest xvfb nsis)
