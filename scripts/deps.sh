# Sourced by the scripts: installs what a fresh Debian machine lacks for building and testing
# (apt-get update runs once, and only when something is missing).
qn_missing=()

qn_need_cmd() {     # command package
  command -v "$1" >/dev/null 2>&1 || qn_missing+=("$2")
}

qn_need_pkg() {     # package (a library or headers without a command of their own)
  command -v dpkg >/dev/null 2>&1 || return 0
  dpkg -s "$1" 2>/dev/null | grep -q '^Status: install ok installed' || qn_missing+=("$1")
}

qn_ensure_deps() {
  qn_missing=()
  qn_need_cmd cmake cmake
  qn_need_cmd g++ g++
  qn_need_cmd clang++-14 clang-14
  qn_need_cmd make make
  qn_need_cmd python3 python3
  qn_need_cmd iconv libc-bin
  qn_need_cmd man man-db           # the install test renders the man pages,
  qn_need_cmd dpkg-shlibdeps dpkg-dev   # builds the package
  qn_need_cmd lintian lintian      # and checks it
  qn_need_pkg libgtest-dev
  if grep -qs 'find_package(benchmark' bench/CMakeLists.txt; then
    qn_need_pkg libbenchmark-dev
  fi
  for tool in "$@"; do                # extra commands a caller's tests need (xz, bzip2, zstd)
    case $tool in
      xz) qn_need_cmd xz xz-utils ;;
      matplotlib) qn_need_pkg python3-matplotlib ;;
      *) qn_need_cmd "$tool" "$tool" ;;
    esac
  done
  if [ ${#qn_missing[@]} -eq 0 ]; then
    return 0
  fi
  local sudo=""
  if [ "$(id -u)" -ne 0 ]; then
    command -v sudo >/dev/null 2>&1 && sudo="sudo -n"
  fi
  echo "Installing: ${qn_missing[*]}"
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get update -qq
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
    "${qn_missing[@]}"
}
