# The Debian packages the project builds and tests with, and the one step
# that installs whichever are missing. Sourced by scripts/test and
# scripts/demo; installs only when run as root on a Debian-like system.

# What the native configuration (library, tests, tools, benchmarks) needs.
qs_native_packages=(cmake make g++ pkg-config python3 googletest libgtest-dev libgmock-dev
                    libbenchmark-dev libsqlite3-dev sqlite3 libcli11-dev nlohmann-json3-dev
                    bash-completion)
# Everything scripts/test uses: the native set, the Windows cross build and
# Wine, the fuzzing compiler, and the tools of the stand-in's documentation and tests.
# The 64-bit cross compiler and loader run the Windows tests on machines
# that cannot run 32-bit programs. clang 14 and its runtime (libFuzzer and
# the sanitizers) build the fuzz executables of build/fuzz. The binutils
# hold windres, which compiles the DLLs' version resources and reads them
# back in the Windows tests (cpack, which makes the zip, comes with cmake).
qs_all_packages=("${qs_native_packages[@]}" iproute2 curl g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
                 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                 wine wine32:i386 wine64 clang-14 libclang-rt-14-dev)

# qs_install_missing PACKAGE...: 0 when all are there afterwards.
qs_install_missing() {
  command -v dpkg >/dev/null || return 0
  local missing=() needs_i386=
  for p in "$@"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    [[ $p == *:i386 ]] && needs_i386=1
  done
  [ ${#missing[@]} -eq 0 ] && return 0
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (run as root to install them): ${missing[*]}" >&2
    return 0
  fi
  echo "== installing: ${missing[*]}"
  if [ -n "$needs_i386" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  DEBIAN_FRONTEND=noninteractive apt-get update -qq &&
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
}
