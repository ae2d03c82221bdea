# Shared by scripts/test and scripts/demo: find the tree, install what is missing.

QMS_ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)

# Debian packages the build and the tests need. Only what is missing is
# installed, so a prepared machine pays nothing.
# The last line: HTTP server and XML parser of the CIM-XML listener
# (tools/cimhost/listener), and the CIM client and the libraries the sfcb
# package needs for the suite against a real CIMOM (scripts/test cimom).
# spdlog: the baseline the trace benchmark measures the ring against.
# libssl-dev: the password hashes and HTTPS of cimhost serve; openssl makes
# the tests' certificates.
QMS_PACKAGES=(
  cmake ninja-build g++ python3 binutils pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev rapidjson-dev
  libcpp-httplib-dev libpugixml-dev sblim-wbemcli libcurl4 zlib1g zlib1g-dev
  libspdlog-dev libssl-dev openssl clang-format
)

qms_install_missing() {
  local missing=() pkg
  for pkg in "${QMS_PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q "install ok installed" || missing+=("$pkg")
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  qms_step "installing the Debian packages the build needs: ${missing[*]}"
  local sudo=""
  [ "$(id -u)" -ne 0 ] && sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
}

# qms_step TEXT: says on stderr what happens next, with the seconds since
# the script started, so that a long first run shows where it is.
qms_step() {
  printf '==> [%3ss] %s\n' "$SECONDS" "$*" >&2
}

# qms_build PRESET [TARGET...]: configure (once) and build one preset, all of
# it or only the targets named. The build shows its progress as it goes.
qms_build() {
  local preset=$1
  shift
  if [ ! -f "build/$preset/CMakeCache.txt" ]; then
    qms_step "configuring the $preset build in build/$preset (first run only)"
  fi
  cmake --preset "$preset" >/dev/null
  if [ $# -gt 0 ]; then
    qms_step "building $* (build/$preset)"
    cmake --build --preset "$preset" --target "$@"
  else
    qms_step "building every target of the $preset build (build/$preset)"
    cmake --build --preset "$preset"
  fi
}
