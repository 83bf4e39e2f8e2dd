# The Debian packages the project builds and tests with, and the one step
# that installs whichever are missing. Sourced by scripts/test and
# scripts/demo; installs only when run as root on a Debian-like system.

# What the native configuration (library, tests, tools, benchmarks) needs.
qs_native_packages=(cmake make g++ pkg-config python3 googletest libgtest-dev libgmock-dev
                    libbenchmark-dev libsqlite3-dev sqlite3 libcli11-dev nlohmann-json3-dev
                    bash-completion)
# Wine's 32-bit loader. Its amd64 libraries and their i386 twins must be of
# one version, so it is the one package that a half-synced mirror can keep
# out while everything else installs; the Windows tests then run from the
# 64-bit build. QS_SKIP_WINE32=1 leaves it out on purpose.
qs_wine32_package=wine32:i386
# Everything scripts/test uses: the native set, the Windows cross build and
# Wine, the fuzzing compiler, and the tools of the stand-in's documentation and tests.
# qsync ui's server is built on Boost's HTTP headers (libboost-dev); its page
# is tested in Chromium, driven through ChromeDriver by Python's Selenium,
# with axe-core from npm for the accessibility checks.
# The 64-bit cross compiler and loader run the Windows tests on machines
# that cannot run 32-bit programs. clang 14 and its runtime (libFuzzer and
# the sanitizers) build the fuzz executables of build/fuzz. The binutils
# hold windres, which compiles the DLLs' version resources and reads them
# back in the Windows tests (cpack, which makes the zip, comes with cmake).
qs_all_packages=("${qs_native_packages[@]}" iproute2 curl g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix
                 binutils-mingw-w64-i686 binutils-mingw-w64-x86-64
                 wine "$qs_wine32_package" wine64 clang-14 libclang-rt-14-dev
                 libboost-dev chromium chromium-driver python3-selenium nodejs)

# qs_apt_update: refreshes the package lists, up to 3 tries. A mirror in
# the middle of a sync can fail one index for hours while every other one
# is fine, so lists that still fail after the last try are reported in one
# line and the install goes on with what it has; a package that truly needs
# a missing list then fails at its install, with apt's own error.
qs_apt_update() {
  local try err
  err=$(mktemp)
  for try in 1 2 3; do
    if DEBIAN_FRONTEND=noninteractive apt-get update -qq 2>"$err"; then
      rm -f "$err"
      return 0
    fi
    [ "$try" = 3 ] || sleep "${QS_APT_RETRY_PAUSE:-5}"
  done
  echo "== apt-get update failed for some package lists 3 times; going on with the lists it has: $(grep -m1 '^E: ' "$err" | cut -c1-200)"
  rm -f "$err"
}

# qs_install_missing PACKAGE...: 0 when all are there afterwards, except
# the 32-bit Wine loader: everything else is installed first (a failure
# there is fatal and shows apt's error), then the loader alone, whose
# failure is reported in one line and is not fatal.
qs_install_missing() {
  command -v dpkg >/dev/null || return 0
  local missing=() wine32=
  for p in "$@"; do
    if [ "$p" = "$qs_wine32_package" ]; then
      [ -n "${QS_SKIP_WINE32:-}" ] && continue
      dpkg -s "$p" >/dev/null 2>&1 || wine32=$p
    else
      dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
    fi
  done
  [ ${#missing[@]} -eq 0 ] && [ -z "$wine32" ] && return 0
  local named=("${missing[@]}")
  [ -z "$wine32" ] || named+=("$wine32")
  if [ "$(id -u)" != 0 ]; then
    echo "missing packages (run as root to install them): ${named[*]}" >&2
    return 0
  fi
  echo "== installing: ${named[*]}"
  if [ -n "$wine32" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
  fi
  qs_apt_update
  if [ ${#missing[@]} -ne 0 ]; then
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null || return 1
  fi
  if [ -n "$wine32" ]; then
    local err
    err=$(mktemp)
    if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$wine32" >/dev/null 2>"$err"; then
      echo "== $wine32 could not be installed ($(grep -m1 '^E: ' "$err" | cut -c1-160)): the 32-bit Windows tests will run from the 64-bit build instead"
    fi
    rm -f "$err"
  fi
  return 0
}

# qs_windows_leg PREFIX: 0 when this machine runs 32-bit Windows programs,
# decided by running one: a tiny program built with the i686 cross compiler,
# started by `wine` in the Wine prefix PREFIX (the 32-bit tests' own, which
# this first start also creates) with a time-out. `wine --version` answers
# without the 32-bit loader, and `wine cmd /c exit` runs a 64-bit prefix's
# own cmd, so neither tells. Sets qs_windows_leg_reason to say why.
qs_windows_leg() {
  local prefix=$1 dir out
  qs_windows_leg_reason=
  if [ -n "${QS_SKIP_WINE32:-}" ]; then
    qs_windows_leg_reason="QS_SKIP_WINE32 is set"
    return 1
  fi
  command -v wine >/dev/null || { qs_windows_leg_reason="no wine on this machine"; return 1; }
  command -v i686-w64-mingw32-gcc-posix >/dev/null \
    || { qs_windows_leg_reason="no i686 cross compiler to build the probe"; return 1; }
  dir=$(mktemp -d /tmp/qs-win32-probe.XXXXXX)
  printf '#include <stdio.h>\nint main(void) { puts("32-bit ok"); return 0; }\n' >"$dir/probe.c"
  if ! i686-w64-mingw32-gcc-posix -static -o "$dir/probe.exe" "$dir/probe.c" 2>"$dir/cc.log"; then
    qs_windows_leg_reason="the i686 cross compiler failed on the probe: $(head -c 160 "$dir/cc.log")"
    rm -rf "$dir"
    return 1
  fi
  # A prefix that this probe creates and that then cannot run 32-bit
  # programs is removed, so that a later run with the loader installed
  # starts from a fresh one.
  local fresh=
  [ -e "$prefix" ] || fresh=1
  mkdir -p "$prefix"
  # The same environment as the Wine tests' runner.
  out=$(WINEPREFIX=$prefix WINEARCH=win32 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        timeout "${QS_WINE_PROBE_SECONDS:-180}" wine "$dir/probe.exe" 2>&1 | tr -d '\r')
  WINEPREFIX=$prefix timeout 60 wineserver -w 2>/dev/null
  rm -rf "$dir"
  if printf '%s\n' "$out" | grep -qx '32-bit ok'; then
    qs_windows_leg_reason="a 32-bit program ran under wine"
    return 0
  fi
  [ -z "$fresh" ] || rm -rf "$prefix"
  # Debian's wine names the missing 32-bit loader; otherwise wine's last word.
  local why
  why=$(printf '%s\n' "$out" | grep -m1 -i 'wine32' || printf '%s\n' "$out" | grep -v '^$' | tail -1)
  qs_windows_leg_reason="a 32-bit program did not run under wine: ${why:-no output}"
  if command -v dpkg >/dev/null && ! dpkg -s "$qs_wine32_package" >/dev/null 2>&1; then
    qs_windows_leg_reason="$qs_wine32_package is not installed; $qs_windows_leg_reason"
  fi
  return 1
}
