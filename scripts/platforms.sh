#!/usr/bin/env bash
# The platform matrix: builds vrell_mesh for every platform that one Debian
# x86-64 machine can reach and runs its tests there, then prints one table
# (also written to build/platforms/matrix.md):
#   - big-endian s390x and aarch64 C++ tests (cross compilers, qemu user mode),
#   - Windows x86-64 C++ tests (mingw-w64, Wine),
#   - x86-64 C++ tests against musl libc and libc++ (PyPI's ziglang), and the
#     Python suite on a musl CPython built here,
#   - the plain fallback of every platform-specific construct (VRELL_PORTABLE)
#     and the plain version of every fast path (VRELL_PLAIN_PATHS),
#   - both suites built by clang 14 against libc++ 14, as an older macOS
#     toolchain sees it,
#   - the Python suite on each CPython that pyenv has (else Debian's python3),
#     and on a free-threaded CPython built here from source; its stress test
#     again on one built with ThreadSanitizer,
#   - CPython 3.14 and 3.15 and a newer GCC from Debian unstable, in a chroot,
#   - the whole Python suite on arm64 and s390x (big-endian) CPythons under
#     emulation.
# Run as root on Debian 12: installs what it needs (apt-get, pip). Roots,
# caches and build trees stay in build/platforms and are reused, so a second
# run is much faster. A row whose environment cannot be set up prints
# SKIPPED (reason) and the others go on; any build or test failure makes the
# script exit non-zero.
set -euo pipefail
cd "$(dirname "$0")/.."

SRC=$PWD
WORK=$SRC/build/platforms
LOGS=$WORK/logs
MIRROR=${DEBIAN_MIRROR:-http://deb.debian.org/debian}
REQS_HASH=$(sha256sum requirements-test.txt | cut -c1-16)
PYTEST=(-m pytest -q -p no:cacheprovider tests)
START=$SECONDS

mkdir -p "$LOGS"
rm -f "$LOGS"/*.log

# --- Rows of the table ---------------------------------------------------------

ROWS=()
FAILURES=0
NOTES=()

# row NAME BUILD CPP PYTHON SECONDS
row() {
  ROWS+=("| $1 | $2 | $3 | $4 | $5 |")
  echo "== $1: build $2, C++ tests $3, Python tests $4 ($5)"
}
skip_row() { # NAME REASON
  ROWS+=("| $1 | SKIPPED ($2) | | | |")
  echo "== $1: SKIPPED ($2)"
}

# failed NAME LOG: the failure counts, the end of its log is shown, and its
# first error (compiler, pytest or GoogleTest) goes under the table.
failed() {
  local first
  FAILURES=$((FAILURES + 1))
  echo "-- last lines of $2:" >&2
  tail -n 40 "$2" >&2
  first=$(tr -d '\r' <"$2" | grep -m 1 -E 'error:|^FAILED tests/|^\[  FAILED  \] [A-Za-z]' || true)
  NOTES+=("$1 FAILED: \`${first:-see $2}\`")
}
since() { echo "$((SECONDS - $1)) s"; }

# run LOG COMMAND...: the command's output goes to LOG only.
run() {
  local log=$1 status=0
  shift
  echo "+ $*" >>"$log"
  "$@" >>"$log" 2>&1 || status=$?
  [ "$status" -ne 124 ] || echo "error: timed out: $*" >>"$log"
  return "$status"
}

# Every test run has a deadline, so that a hang (a lost wake-up under an
# emulator, say) fails its row instead of the whole run. SECONDS COMMAND...
CPP_LIMIT=${CPP_LIMIT:-600}
PY_LIMIT=${PY_LIMIT:-1200}
bounded() {
  local limit=$1
  shift
  timeout --kill-after=30 "$limit" "$@"
}

# GoogleTest's closing lines as passed/total ("?" when it printed none);
# Wine's console ends lines with CR.
gtest_counts() {
  local total passed
  total=$(tr -d '\r' <"$1" | sed -n 's/^\[==========\] \([0-9]*\) tests* from .* ran\..*/\1/p' | tail -n 1)
  passed=$(tr -d '\r' <"$1" | sed -n 's/^\[  PASSED  \] \([0-9]*\) tests*\..*/\1/p' | tail -n 1)
  echo "${passed:-0}/${total:-?}"
}

# pytest's closing line as passed/skipped/failed (errors count as failed).
pytest_counts() {
  local line n passed=0 skipped=0 failed=0
  line=$(grep -E '^(=+ )?[0-9]+ (passed|failed|skipped|errors?)' "$1" | tail -n 1) || true
  [ -n "$line" ] || { echo "?"; return; }
  for word in passed skipped failed error errors; do
    n=$(echo "$line" | grep -oE "[0-9]+ $word\b" | cut -d' ' -f1 || true)
    n=${n:-0}
    case $word in
      passed) passed=$n ;;
      skipped) skipped=$n ;;
      *) failed=$((failed + n)) ;;
    esac
  done
  echo "$passed/$skipped/$failed"
}

# --- Clean-up: nothing this script starts or mounts outlives it ---------------

# A background job runs in a process group of its own (set -m), so that the
# whole group, debootstrap or pip included, can be stopped.
WINESERVER=
cleanup() {
  local pid mnt
  for pid in $(jobs -p); do
    kill -- "-$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
  done
  if [ -n "$WINESERVER" ]; then
    WINEPREFIX=$WORK/wine "$WINESERVER" -k 2>/dev/null || true
  fi
  # Deepest first, so that nothing below a mount point keeps it busy.
  for mnt in $(awk -v w="$WORK/" 'index($2, w) == 1 { print $2 }' /proc/self/mounts | sort -r); do
    umount "$mnt" 2>/dev/null || umount -l "$mnt" || true
  done
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# --- Host packages -------------------------------------------------------------

[ "$(id -u)" = 0 ] || { echo "platforms.sh installs Debian packages: run it as root" >&2; exit 1; }

installed() { dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q 'install ok installed'; }

# One install for everything missing; if the mirror lacks one package that
# day, each is tried on its own so that only the rows needing it are skipped.
# qemu-user's recommended binfmt registration is left out on purpose: every
# foreign binary here is started through qemu explicitly.
# curl and the three -dev packages build the free-threaded CPython (its pip
# needs ssl and zlib); musl-tools and bzip2 the musl one; clang-14 and
# libc++ 14 stand in for an older macOS toolchain.
HOST_PACKAGES=(g++ libgtest-dev ninja-build ccache debootstrap qemu-user
  g++-s390x-linux-gnu g++-aarch64-linux-gnu g++-mingw-w64-x86-64-posix wine64
  python3-dev python3-venv curl libssl-dev zlib1g-dev libffi-dev musl-tools bzip2
  clang-14 libc++-14-dev libc++abi-14-dev)
missing=()
for p in "${HOST_PACKAGES[@]}"; do installed "$p" || missing+=("$p"); done
if [ ${#missing[@]} -gt 0 ]; then
  echo "== installing ${missing[*]}"
  apt_log=$LOGS/apt.log
  run "$apt_log" apt-get update -q || true
  if ! DEBIAN_FRONTEND=noninteractive run "$apt_log" apt-get install -y -q --no-install-recommends "${missing[@]}"; then
    for p in "${missing[@]}"; do
      DEBIAN_FRONTEND=noninteractive run "$apt_log" apt-get install -y -q --no-install-recommends "$p" || true
    done
  fi
fi
have() { command -v "$1" >/dev/null 2>&1; }

# ccache shares the compiled core between the build trees of one compiler
# (every CPython row builds the same components) and makes a second run cheap.
LAUNCHER=()
if have ccache; then
  export CCACHE_DIR=$WORK/ccache
  LAUNCHER=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache -DCMAKE_C_COMPILER_LAUNCHER=ccache)
fi
export PIP_CACHE_DIR=$WORK/pip-cache

# The foreign extensions let CMake ask the emulated interpreter about itself
# through CMAKE_CROSSCOMPILING_EMULATOR, which FindPython honours from CMake
# 4.1 on (policy CMP0190); an older CMake is replaced by PyPI's in a venv.
CMAKE=$(command -v cmake || true)
cmake_recent() { "$1" -P /dev/stdin <<<'if(CMAKE_VERSION VERSION_LESS 4.1)
message(FATAL_ERROR old)
endif()' >/dev/null 2>&1; }
if [ -z "$CMAKE" ] || ! cmake_recent "$CMAKE"; then
  if [ ! -x "$WORK/tools/bin/cmake" ]; then
    if ! { python3 -m venv "$WORK/tools" && "$WORK/tools/bin/pip" install -q 'cmake>=4.1'; } >>"$LOGS/apt.log" 2>&1; then
      echo "no CMake 4.1 or newer: the foreign extensions will not configure" >&2
    fi
  fi
  [ -x "$WORK/tools/bin/cmake" ] && CMAKE=$WORK/tools/bin/cmake
fi
[ -n "$CMAKE" ] || { echo "no cmake" >&2; exit 1; }
echo "== cmake: $("$CMAKE" --version | head -n 1)"

# configure_and_build LOG BUILD_DIR CMAKE_ARGS...
configure_and_build() {
  local log=$1 dir=$2
  shift 2
  run "$log" "$CMAKE" -S "$SRC" -B "$dir" -G Ninja -Wno-deprecated -DCMAKE_BUILD_TYPE=Release \
    -DVRELL_WERROR=ON "${LAUNCHER[@]}" "$@" &&
    run "$log" "$CMAKE" --build "$dir" -j2
}

# --- Debian roots, fetched in the background while the builds run ---------------

wait_for() { wait "$1" 2>/dev/null || true; }
status_of() { cat "$WORK/status/$1" 2>/dev/null || echo "its preparation did not finish"; }

# A virtual environment of INTERPRETER in DIR with the test requirements,
# kept while requirements-test.txt is unchanged.
# venv_with_requirements DIR INTERPRETER LOG [PIP_OPTIONS...]
venv_with_requirements() {
  local dir=$1 py=$2 log=$3
  shift 3
  [ "$(cat "$dir/.vrell-requirements" 2>/dev/null)" = "$REQS_HASH" ] && return 0
  rm -rf "$dir"
  run "$log" "$py" -m venv "$dir" &&
    run "$log" "$dir/bin/python" -m pip install -q "$@" -r "$SRC/requirements-test.txt" &&
    echo "$REQS_HASH" >"$dir/.vrell-requirements"
}
# The test requirements as wheels for a CPython this machine cannot run
# directly, put into SITE by PIP_PYTHON's pip; MARKER keeps them while
# requirements-test.txt is unchanged.
# requirements_for LOG PIP_PYTHON SITE MARKER PIP_PLATFORM VERSION (as 3.11)
requirements_for() {
  local log=$1 pip_py=$2 site=$3 marker=$4 platform=$5 v=$6
  [ "$(cat "$marker" 2>/dev/null)" = "$REQS_HASH" ] && return 0
  rm -f "$marker"
  run "$log" "$pip_py" -m pip install -q --upgrade --target "$site" --platform "$platform" \
    --python-version "$v" --implementation cp --abi "cp${v/./}" --only-binary=:all: \
    -r "$SRC/requirements-test.txt" &&
    echo "$REQS_HASH" >"$marker"
}

# The CPython interpreters of the x86-64 rows: pyenv's 3.9 to 3.13 where pyenv
# is installed, else Debian's python3. Lines of "version interpreter".
host_pythons() {
  local root v py
  if have pyenv && root=$(pyenv root 2>/dev/null); then
    for v in 3.9 3.10 3.11 3.12 3.13; do
      py=$(ls -d "$root"/versions/"$v".*/bin/python3 2>/dev/null | sort -V | tail -n 1 || true)
      echo "$v ${py:--}"
    done
  else
    for v in 3.9 3.10 3.11 3.12 3.13; do
      if [ -x /usr/bin/python$v ]; then echo "$v /usr/bin/python$v"; else echo "$v -"; fi
    done
  fi
}
mapfile -t PYTHONS < <(host_pythons)
# The fallback build runs the suite on the host's default version.
HOST_V=$(python3 -c 'import sys; print("%d.%d" % sys.version_info[:2])')
HOST_PY=-
for entry in "${PYTHONS[@]}"; do [ "${entry%% *}" != "$HOST_V" ] || HOST_PY=${entry#* }; done

# Job 1: the host interpreters' venvs, then the roots of Debian's CPython for
# other processors and their test packages.
# prepare_foreign ARCH PIP_PLATFORM: the root in $WORK/ARCH.
prepare_foreign() {
  local arch=$1 dir=$WORK/$1 status=$WORK/status log=$LOGS/$1-root.log
  local root=$dir/root site=$dir/root/usr/local/lib/python3.11/dist-packages
  # The interpreter comes unpacked, not installed: debootstrap's first stage
  # fetches the packages, and dpkg -x lays them out (nothing in them has to
  # run for python3.11 to start).
  if [ ! -f "$root/.vrell-ready" ]; then
    rm -rf "$root"
    if ! run "$log" debootstrap --foreign --arch="$arch" --variant=minbase \
      --include=libpython3.11-dev,python3.11 bookworm "$root" "$MIRROR"; then
      echo "debootstrap of $arch bookworm failed" >"$status/$arch"
      return
    fi
    local deb
    for deb in "$root"/var/cache/apt/archives/*.deb; do
      dpkg -x "$deb" "$root" || { echo "dpkg -x $deb failed" >"$status/$arch"; return; }
    done
    touch "$root/.vrell-ready"
  fi
  # Installed where the guest interpreter looks by itself: the mypy child
  # that a test starts gets no PYTHONPATH.
  if [ "$(status_of "venv-$HOST_V")" != ok ]; then
    echo "no pip: $(status_of "venv-$HOST_V")" >"$status/$arch"
    return
  fi
  if ! requirements_for "$log" "$WORK/venv/$HOST_V/bin/python" "$site" "$dir/.vrell-requirements" \
    "$2" 3.11; then
    echo "pip download of the $arch test requirements failed" >"$status/$arch"
    return
  fi
  echo ok >"$status/$arch"
}
prepare_host_and_foreign() {
  local entry v py status=$WORK/status
  mkdir -p "$status"
  for entry in "${PYTHONS[@]}"; do
    v=${entry%% *} py=${entry#* }
    [ "$py" = - ] && continue
    if venv_with_requirements "$WORK/venv/$v" "$py" "$LOGS/venv-$v.log"; then
      echo ok >"$status/venv-$v"
    else
      echo "pip install of the test requirements failed" >"$status/venv-$v"
    fi
  done
  prepare_foreign arm64 manylinux_2_36_aarch64
  prepare_foreign s390x manylinux_2_36_s390x
}

# Job 2: Debian unstable in a chroot, with its newest CPython releases.
SID=$WORK/sid
SID_PYTHONS=(3.14 3.15)
SID_ENV=(env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
  LANG=C.UTF-8 DEBIAN_FRONTEND=noninteractive CCACHE_DIR=/var/cache/vrell-ccache
  SSL_CERT_FILE=/etc/ssl/vrell-host-ca.crt PIP_CERT=/etc/ssl/vrell-host-ca.crt
  PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_DEFAULT_TIMEOUT=120)
in_sid() { "${SID_ENV[@]}" chroot "$SID" "$@"; }
sid_mount() {
  mountpoint -q "$SID/proc" || mount -t proc proc "$SID/proc"
  mountpoint -q "$SID/dev" || mount --bind /dev "$SID/dev"
}
sid_umount() {
  ! mountpoint -q "$SID/dev" || umount "$SID/dev"
  ! mountpoint -q "$SID/proc" || umount "$SID/proc"
}
prepare_sid() {
  local log=$LOGS/sid-root.log status=$WORK/status v
  mkdir -p "$status"
  if [ ! -f "$SID/.vrell-ready" ]; then
    rm -rf "$SID"
    if ! run "$log" debootstrap --variant=minbase --include=g++,cmake,ninja-build,libgtest-dev \
      sid "$SID" "$MIRROR"; then
      echo "debootstrap of sid failed" >"$status/sid"
      return
    fi
    # The mirror may serve a Release file past its Valid-Until date.
    echo 'Acquire::Check-Valid-Until "false";' >"$SID/etc/apt/apt.conf.d/99vrell"
    touch "$SID/.vrell-ready"
  fi
  # pip in the chroot trusts what the host trusts (a proxy may sign for PyPI).
  mkdir -p "$SID/etc/ssl"
  cp /etc/ssl/certs/ca-certificates.crt "$SID/etc/ssl/vrell-host-ca.crt"
  echo ok >"$status/sid"

  sid_mount
  local wanted=(ccache) p updated=
  for v in "${SID_PYTHONS[@]}"; do wanted+=("python$v-dev" "python$v-venv"); done
  for p in "${wanted[@]}"; do
    in_sid dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' && continue
    [ -n "$updated" ] || { run "$log" in_sid apt-get update -q || true; updated=1; }
    if in_sid apt-cache show "$p" >/dev/null 2>&1; then
      run "$log" in_sid apt-get install -y -q --no-install-recommends "$p" || true
    fi
  done
  # A free-threaded CPython would be a package of its own (python3.X-nogil or
  # python3.Xt); what sid offers is noted under the table.
  run "$log" in_sid apt-cache search --names-only '^python3\.[0-9]+(-nogil|t)$' || true
  in_sid apt-cache search --names-only '^python3\.[0-9]+(-nogil|t)$' 2>/dev/null | cut -d' ' -f1 \
    >"$status/sid-free-threaded" || true

  for v in "${SID_PYTHONS[@]}"; do
    if ! in_sid test -x "/usr/bin/python$v" || ! in_sid test -f "/usr/include/python$v/Python.h"; then
      if in_sid apt-cache show "python$v-dev" >/dev/null 2>&1; then
        echo "apt-get install python$v-dev failed" >"$status/sid-$v"
      else
        echo "no python$v-dev in sid" >"$status/sid-$v"
      fi
      continue
    fi
    mkdir -p "$SID/tmp/vrell"
    cp "$SRC/requirements-test.txt" "$SID/tmp/vrell/requirements-test.txt"
    local venv=/opt/vrell-venv-$v
    if [ "$(cat "$SID$venv/.vrell-requirements" 2>/dev/null)" != "$REQS_HASH" ]; then
      rm -rf "${SID:?}$venv"
      if ! run "$log" in_sid "python$v" -m venv "$venv" ||
        ! run "$log" in_sid "$venv/bin/python" -m pip install -q -r /tmp/vrell/requirements-test.txt; then
        echo "pip install of the test requirements failed" >"$status/sid-$v"
        continue
      fi
      echo "$REQS_HASH" >"$SID$venv/.vrell-requirements"
    fi
    echo ok >"$status/sid-$v"
  done
  sid_umount
}

# Jobs 3 and 4: free-threaded CPythons. Debian packages none, so they are
# built without the interpreter lock from the source of Debian's own
# python3.13, checked against its digest, and kept in build/platforms: one
# plain, and one built with ThreadSanitizer for the Python stress test.
FT_VERSION=3.13.5
FT_SHA256=93e583f243454e6e9e4588ca2c2662206ad961659863277afcdb96801647d640
FT=$WORK/free-threaded
FT_PY=$FT/python/bin/python3.13t
FT_TSAN_PY=$FT/python-tsan/bin/python3.13t
FT_SOURCE=("p/python3.13/python3.13_$FT_VERSION.orig.tar.xz" "$FT_SHA256")
# unpack_source LOG POOL_PATH SHA256 DIR: a source from Debian's pool, checked
# against its digest and unpacked into DIR. Returns 1 when the download
# failed, 2 when the digest differs, 3 when it did not unpack.
unpack_source() {
  local log=$1 file=$4-$(basename "$2") rc=0
  rm -rf "$4" "$file"
  if ! run "$log" curl -fsS --retry 3 -o "$file" "$MIRROR/pool/main/$2"; then
    rc=1
  elif [ "$(sha256sum "$file" | cut -d' ' -f1)" != "$3" ]; then
    rc=2
  elif ! mkdir -p "$4" || ! run "$log" tar -C "$4" --strip-components=1 -xf "$file"; then
    rc=3
  fi
  rm -f "$file"
  return "$rc"
}
# build_free_threaded PREFIX STATUS LOG COMPILEALL_OPTIONS [CONFIGURE_OPTIONS...]:
# on failure the reason goes to the status file.
build_free_threaded() {
  local prefix=$1 status=$2 log=$3 compile=$4 src rc=0
  src=$FT/build-$(basename "$prefix")
  shift 4
  rm -rf "$prefix"
  mkdir -p "$FT"
  unpack_source "$log" "${FT_SOURCE[@]}" "$src" || rc=$?
  if [ "$rc" -eq 1 ]; then
    echo "download of the CPython $FT_VERSION source failed" >"$status"
  elif [ "$rc" -eq 2 ]; then
    echo "the CPython $FT_VERSION source does not match its digest" >"$status"
  elif [ "$rc" -ne 0 ] ||
    ! (cd "$src" && run "$log" ./configure --disable-gil --without-ensurepip --prefix="$prefix" "$@" &&
      run "$log" make -j2 && run "$log" make install COMPILEALL_OPTS="$compile"); then
    echo "the build of CPython $FT_VERSION${*:+ with $*} failed" >"$status"
    rm -rf "$prefix"
  else
    # ThreadSanitizer's suppressions for the interpreter's own known reports.
    cp "$src/Tools/tsan/suppressions_free_threading.txt" "$prefix/tsan-suppressions.txt"
  fi
  rm -rf "$src"
  [ -x "$prefix/bin/python3.13t" ]
}
prepare_free_threaded() {
  local log=$LOGS/free-threaded-build.log status=$WORK/status/free-threaded
  mkdir -p "$WORK/status"
  [ -x "$FT_PY" ] || build_free_threaded "$FT/python" "$status" "$log" -j0 || return 0
  # Wheels only: the newest releases of some test requirements come as
  # source that needs a Rust toolchain and crates.io to build for this ABI.
  if venv_with_requirements "$FT/venv" "$FT_PY" "$log" --only-binary=:all:; then
    echo ok >"$status"
  else
    echo "pip install of the test requirements failed" >"$status"
  fi
}
# The instrumented interpreter compiles only the top of its library ahead
# (-l): all of it took some ten minutes. It runs no pip: the tests borrow the
# plain venv's packages (the same ABI).
prepare_free_threaded_tsan() {
  local status=$WORK/status/free-threaded-tsan
  mkdir -p "$WORK/status"
  [ -x "$FT_TSAN_PY" ] || build_free_threaded "$FT/python-tsan" "$status" \
    "$LOGS/free-threaded-tsan-build.log" "-j0 -l" --with-thread-sanitizer || return 0
  echo ok >"$status"
}

rm -rf "$WORK/status"
JOB_SID=
set -m
if have debootstrap; then
  prepare_sid >"$LOGS/job-sid.log" 2>&1 &
  JOB_SID=$!
fi
prepare_host_and_foreign >"$LOGS/job-host.log" 2>&1 &
JOB_HOST=$!
prepare_free_threaded >"$LOGS/job-free-threaded.log" 2>&1 &
JOB_FT=$!
prepare_free_threaded_tsan >"$LOGS/job-free-threaded-tsan.log" 2>&1 &
JOB_FT_TSAN=$!
set +m

# --- Rows: C++ tests on other processors and operating systems -------------------

# cross_row NAME TARGET QEMU: Linux on another processor, tests under qemu.
cross_row() {
  local name=$1 target=$2 qemu=$3 t=$SECONDS log=$LOGS/$2.log
  if ! have "$target-g++" || ! have "$qemu"; then
    skip_row "$name" "no $target-g++ or $qemu"
    return
  fi
  if ! configure_and_build "$log" "$WORK/$target" -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR="${target%%-*}" -DCMAKE_CXX_COMPILER="$target-g++" \
    -DCMAKE_C_COMPILER="$target-gcc" -DVRELL_EXTENSION=OFF -DVRELL_TESTS=ON \
    -DVRELL_GTEST_SOURCE=/usr/src/googletest; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  if run "$log" bounded "$CPP_LIMIT" "$qemu" -L "/usr/$target" "$WORK/$target/mesh_tests" --gtest_brief=1; then
    row "$name" ok "$(gtest_counts "$log")" — "$(since $t)"
  else
    row "$name" ok "FAILED $(gtest_counts "$log")" — "$(since $t)"
    failed "$name" "$log"
  fi
}

cross_row "s390x (big-endian), g++ $(s390x-linux-gnu-gcc -dumpfullversion 2>/dev/null), qemu" \
  s390x-linux-gnu qemu-s390x
cross_row "aarch64, g++ $(aarch64-linux-gnu-gcc -dumpfullversion 2>/dev/null), qemu" \
  aarch64-linux-gnu qemu-aarch64

windows_row() {
  local name
  name="Windows x86-64, mingw-w64 g++ $(x86_64-w64-mingw32-g++-posix -dumpfullversion 2>/dev/null), Wine"
  local t=$SECONDS log=$LOGS/windows.log
  local wine
  wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
  WINESERVER=$(command -v wineserver || echo /usr/lib/wine/wineserver)
  if ! have x86_64-w64-mingw32-g++-posix || [ ! -x "$wine" ]; then
    WINESERVER=
    skip_row "$name" "no mingw-w64 g++ or wine64"
    return
  fi
  # Statically linked, so that no runtime DLL has to be copied beside the tests.
  if ! configure_and_build "$log" "$WORK/windows" -DCMAKE_SYSTEM_NAME=Windows \
    -DCMAKE_SYSTEM_PROCESSOR=x86_64 -DCMAKE_CXX_COMPILER=x86_64-w64-mingw32-g++-posix \
    -DCMAKE_C_COMPILER=x86_64-w64-mingw32-gcc-posix -DCMAKE_EXE_LINKER_FLAGS=-static \
    -DVRELL_EXTENSION=OFF -DVRELL_TESTS=ON -DVRELL_GTEST_SOURCE=/usr/src/googletest; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  # No Mono or Gecko for a console program; the prefix is kept for the next run.
  if WINEPREFIX=$WORK/wine WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
    run "$log" bounded "$CPP_LIMIT" "$wine" "$WORK/windows/mesh_tests.exe" --gtest_brief=1; then
    row "$name" ok "$(gtest_counts "$log")" — "$(since $t)"
  else
    row "$name" ok "FAILED $(gtest_counts "$log")" — "$(since $t)"
    failed "$name" "$log"
  fi
  WINEPREFIX=$WORK/wine "$WINESERVER" -k 2>/dev/null || true
}
windows_row

# --- Rows: musl libc and libc++ ---------------------------------------------------

# The clang that PyPI's ziglang carries with the sources of musl and of LLVM's
# libc++ (the C library of Alpine and the other musllinux systems, and the C++
# library of every clang on macOS), built for a target on first use.
ZIG_VERSION=0.17.1
ZIG=$WORK/zig
ZIG_CLANG=
# zig_toolchain LOG: cc and c++ for x86_64-linux-musl in $ZIG/bin; sets
# ZIG_CLANG to the compiler's name.
zig_toolchain() {
  local log=$1 zig tool
  if [ "$("$ZIG/venv/bin/python" -m ziglang version 2>/dev/null)" != "$ZIG_VERSION" ]; then
    rm -rf "$ZIG/venv"
    { run "$log" python3 -m venv "$ZIG/venv" &&
      run "$log" "$ZIG/venv/bin/pip" install -q "ziglang==$ZIG_VERSION"; } || return 1
  fi
  zig=$("$ZIG/venv/bin/python" -c 'import os, ziglang; print(os.path.join(os.path.dirname(ziglang.__file__), "zig"))')
  ZIG_CLANG="$("$zig" cc --version | head -n 1 | sed 's/ version//') (ziglang $ZIG_VERSION)"
  mkdir -p "$ZIG/bin"
  for tool in cc c++; do
    printf '#!/bin/sh\nZIG_GLOBAL_CACHE_DIR="%s" exec "%s" %s -target x86_64-linux-musl "$@"\n' \
      "$ZIG/cache" "$zig" "$tool" >"$ZIG/bin/$tool"
    chmod +x "$ZIG/bin/$tool"
  done
}
# zig_build LOG DIR CMAKE_ARGS...: configure_and_build with those compilers.
zig_build() {
  local log=$1 dir=$2
  shift 2
  configure_and_build "$log" "$dir" -DCMAKE_CXX_COMPILER="$ZIG/bin/c++" -DCMAKE_C_COMPILER="$ZIG/bin/cc" \
    -DCMAKE_CXX_COMPILER_LAUNCHER= -DCMAKE_C_COMPILER_LAUNCHER= "$@"
}

# musl_row: the C++ tests, linked statically so that they run here as they are.
musl_row() {
  local name="x86-64 musl libc and libc++" t=$SECONDS log=$LOGS/musl.log
  if ! zig_toolchain "$log"; then
    skip_row "$name" "pip install of ziglang failed"
    return
  fi
  name="$name, $ZIG_CLANG, static"
  if ! zig_build "$log" "$WORK/musl" -DCMAKE_EXE_LINKER_FLAGS=-static -DVRELL_EXTENSION=OFF \
    -DVRELL_TESTS=ON -DVRELL_GTEST_SOURCE=/usr/src/googletest; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  if run "$log" bounded "$CPP_LIMIT" "$WORK/musl/mesh_tests" --gtest_brief=1; then
    row "$name" ok "$(gtest_counts "$log")" — "$(since $t)"
  else
    row "$name" ok "FAILED $(gtest_counts "$log")" — "$(since $t)"
    failed "$name" "$log"
  fi
}
musl_row

# --- Rows: the Python suite on x86-64 --------------------------------------------

# python_suite LOG PYTHON BUILD_DIR [ENV...]: the suite against the module in BUILD_DIR.
python_suite() {
  local log=$1 py=$2 dir=$3
  shift 3
  run "$log" bounded "$PY_LIMIT" env "$@" PYTHONPATH="$dir" "$py" "${PYTEST[@]}"
}
# suite_row NAME START LOG PYTHON BUILD_DIR [ENV...]: python_suite, and its row.
suite_row() {
  local name=$1 t=$2 log=$3
  shift 2
  if python_suite "$@"; then
    row "$name" ok — "$(pytest_counts "$log")" "$(since $t)"
  else
    row "$name" ok — "FAILED $(pytest_counts "$log")" "$(since $t)"
    failed "$name" "$log"
  fi
}

# suites_row NAME DIR CHECK CMAKE_ARGS...: both suites in a build with those
# arguments, the Python one on the host's CPython. CHECK DIR LOG runs on the
# build first (`true` for none); it fails the row by failing.
suites_row() {
  local name=$1 t=$SECONDS log=$LOGS/$2.log dir=$WORK/$2 check=$3
  shift 3
  if [ "$HOST_PY" = - ]; then
    skip_row "$name" "no CPython $HOST_V among the interpreters found"
    return
  fi
  if ! configure_and_build "$log" "$dir" "$@" -DVRELL_TESTS=ON -DVRELL_EXTENSION=ON \
    -DPython_EXECUTABLE="$HOST_PY" || ! "$check" "$dir" "$log"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  local cpp py_result ok=1
  if run "$log" bounded "$CPP_LIMIT" "$dir/mesh_tests" --gtest_brief=1; then
    cpp=$(gtest_counts "$log")
  else
    cpp="FAILED $(gtest_counts "$log")" ok=
  fi
  wait_for "$JOB_HOST"
  if [ "$(status_of "venv-$HOST_V")" != ok ]; then
    row "$name" ok "$cpp" "SKIPPED ($(status_of "venv-$HOST_V"))" "$(since $t)"
  elif python_suite "$log" "$WORK/venv/$HOST_V/bin/python" "$dir"; then
    row "$name" ok "$cpp" "$(pytest_counts "$log")" "$(since $t)"
  else
    py_result="FAILED $(pytest_counts "$log")" ok=
    row "$name" ok "$cpp" "$py_result" "$(since $t)"
  fi
  [ -n "$ok" ] || failed "$name" "$log"
}

# The plain fallback of every platform-specific construct, and the plain
# version of every fast path: fallback_row LABEL DIR OPTION.
fallback_row() {
  suites_row "$1 ($3), g++ $(gcc -dumpfullversion), CPython $HOST_V" "$2" true "-D$3=ON"
}
fallback_row "fallback" portable VRELL_PORTABLE
fallback_row "plain paths" plain VRELL_PLAIN_PATHS

# Debian's clang 14 and libc++ 14, the library of older macOS toolchains,
# with the atomic wait withheld as Apple's headers withhold it below macOS 11
# (the wheels target 10.15): threads then park on the module's own table,
# which parks_on_table checks in the object file.
parks_on_table() {
  nm -C "$1/CMakeFiles/vrell_core.dir/mesh/src/platform.cc.o" | grep -q 'condition_variable::wait' ||
    { echo "error: platform.cc.o does not park threads on its own table" >>"$2"; return 1; }
}
libcxx_row() {
  local name="libc++ 14, atomic wait withheld as below macOS 11"
  if ! have clang++-14 || [ ! -f /usr/lib/llvm-14/include/c++/v1/atomic ]; then
    skip_row "$name" "no clang-14 or libc++-14-dev"
    return
  fi
  suites_row "$name, clang $(clang++-14 -dumpversion), CPython $HOST_V" libcxx parks_on_table \
    -DCMAKE_CXX_COMPILER=clang++-14 -DCMAKE_C_COMPILER=clang-14 \
    "-DCMAKE_CXX_FLAGS=-stdlib=libc++ -D_LIBCPP_AVAILABILITY_DISABLE_FTM___cpp_lib_atomic_wait" \
    -DCMAKE_EXE_LINKER_FLAGS=-stdlib=libc++ -DCMAKE_MODULE_LINKER_FLAGS=-stdlib=libc++ \
    -DVRELL_GTEST_SOURCE=/usr/src/googletest
}
libcxx_row

cpython_row() { # VERSION INTERPRETER
  local v=$1 py=$2 t=$SECONDS log=$LOGS/cpython-$1.log name="CPython $1, x86-64"
  if [ "$py" = - ]; then
    skip_row "$name" "no CPython $v on this machine"
    return
  fi
  name="CPython $("$py" -c 'import platform; print(platform.python_version())'), x86-64"
  if ! configure_and_build "$log" "$WORK/cpython-$v" -DVRELL_EXTENSION=ON -DVRELL_TESTS=OFF \
    -DPython_EXECUTABLE="$py"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  wait_for "$JOB_HOST"
  if [ "$(status_of "venv-$v")" != ok ]; then
    skip_row "$name" "$(status_of "venv-$v")"
  else
    suite_row "$name" "$t" "$log" "$WORK/venv/$v/bin/python" "$WORK/cpython-$v"
  fi
}
for entry in "${PYTHONS[@]}"; do cpython_row "${entry%% *}" "${entry#* }"; done

# The Python suite on musl libc. Debian packages no musl CPython, so one is
# built here with Debian's musl-gcc from the free-threaded rows' source (with
# the lock), beside zlib (for hypothesis) and libffi (for ctypes, which the
# fault tests use) built the same way from Debian's sources. The extension is
# built by the clang above, with libc++ linked in, as a musllinux wheel carries
# it. The test requirements are their musllinux wheels.
MUSL=$WORK/musl-python
MUSL_PY=$MUSL/python/bin/python3.13
ZLIB_SOURCE=(z/zlib/zlib_1.2.13.dfsg.orig.tar.bz2
  71feb7947e3c00ef125f83b79a4e529bde31171e5babe48b391f06758d1ab0a1)
LIBFFI_SOURCE=(libf/libffi/libffi_3.4.4.orig.tar.gz
  d66c56ad259a82cf2a9dfc408b32bf5da52371500b84745f7fb8b645712df676)
# build_musl_python LOG
build_musl_python() {
  local log=$1 deps=$MUSL/deps src=$MUSL/src status=0
  rm -rf "$MUSL/python" "$deps"
  mkdir -p "$MUSL"
  # CPython's configure compares the compiler's multiarch with the platform
  # it finds: musl-gcc answers for the glibc gcc below it.
  printf '#!/bin/sh\n[ "$1" = --print-multiarch ] && { echo x86_64-linux-musl; exit 0; }\nexec musl-gcc "$@"\n' \
    >"$MUSL/musl-cc"
  chmod +x "$MUSL/musl-cc"
  # libffi: plain -O2 rather than its tuning for this processor, and no static
  # trampolines, which need the kernel's headers that musl-gcc leaves out.
  unpack_source "$log" "${ZLIB_SOURCE[@]}" "$src" &&
    (cd "$src" && CC=musl-gcc CFLAGS="-O2 -fPIC" run "$log" ./configure --static --prefix="$deps" &&
      run "$log" make -j2 && run "$log" make install) &&
    unpack_source "$log" "${LIBFFI_SOURCE[@]}" "$src" &&
    (cd "$src" && CC=musl-gcc CFLAGS=-O2 run "$log" ./configure --disable-shared --with-pic \
      --disable-docs --disable-exec-static-tramp --prefix="$deps" &&
      run "$log" make -j2 && run "$log" make install) &&
    unpack_source "$log" "${FT_SOURCE[@]}" "$src" &&
    # No pkg-config: it would hand configure the host's glibc builds of libraries.
    (cd "$src" && PKG_CONFIG=false CC="$MUSL/musl-cc" ZLIB_CFLAGS="-I$deps/include" \
      ZLIB_LIBS="-L$deps/lib -lz" LIBFFI_CFLAGS="-I$deps/include" LIBFFI_LIBS="-L$deps/lib -lffi" \
      run "$log" ./configure --without-ensurepip --prefix="$MUSL/python" &&
      run "$log" make -j2 && run "$log" make install COMPILEALL_OPTS=-j0) || status=1
  rm -rf "$src"
  [ "$status" -eq 0 ] || rm -rf "$MUSL/python"
  return "$status"
}
musl_python_row() {
  local name="CPython $FT_VERSION on musl libc (built here), x86-64" t=$SECONDS log=$LOGS/musl-python.log
  local site
  if [ -z "$ZIG_CLANG" ] || ! have musl-gcc; then
    skip_row "$name" "no musl-gcc, or no ziglang"
    return
  fi
  name="$name, extension by $ZIG_CLANG"
  if [ ! -x "$MUSL_PY" ] && ! build_musl_python "$log"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  site=$("$MUSL_PY" -c 'import sysconfig; print(sysconfig.get_paths()["purelib"])')
  if ! requirements_for "$log" "$ZIG/venv/bin/python" "$site" "$MUSL/.vrell-requirements" \
    musllinux_1_2_x86_64 3.13; then
    skip_row "$name" "pip download of the musllinux test requirements failed"
    return
  fi
  if ! zig_build "$log" "$MUSL/ext" -DVRELL_EXTENSION=ON -DVRELL_TESTS=OFF \
    -DPython_EXECUTABLE="$MUSL_PY"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  suite_row "$name" "$t" "$log" "$MUSL_PY" "$MUSL/ext" VRELL_TEST_CC=musl-gcc
}
musl_python_row

# The suite with no interpreter lock: the stress test's threads really run at
# once, and a test checks that importing the module leaves the lock off.
free_threaded_row() {
  local t=$SECONDS log=$LOGS/free-threaded.log name="CPython $FT_VERSION free-threaded (built here), x86-64"
  wait_for "$JOB_FT"
  if [ "$(status_of free-threaded)" != ok ]; then
    skip_row "$name" "$(status_of free-threaded)"
    return
  fi
  if ! configure_and_build "$log" "$WORK/cpython-ft" -DVRELL_EXTENSION=ON -DVRELL_TESTS=OFF \
    -DPython_EXECUTABLE="$FT/venv/bin/python"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
  else
    suite_row "$name" "$t" "$log" "$FT/venv/bin/python" "$WORK/cpython-ft" -u PYTHON_GIL
  fi
}
free_threaded_row

# --- Rows: Debian unstable --------------------------------------------------------

sid_rows() {
  local gcc_name="C++ tests, g++ (Debian sid)" v
  if [ -z "$JOB_SID" ]; then
    skip_row "$gcc_name" "no debootstrap"
    for v in "${SID_PYTHONS[@]}"; do skip_row "CPython $v (Debian sid)" "no debootstrap"; done
    return
  fi
  wait_for "$JOB_SID"
  if [ "$(status_of sid)" != ok ]; then
    skip_row "$gcc_name" "$(status_of sid)"
    for v in "${SID_PYTHONS[@]}"; do skip_row "CPython $v (Debian sid)" "$(status_of sid)"; done
    return
  fi
  # A fresh copy of the tree, and of the JSON conformance files that the
  # suite finds beside the checkout: the chroot sees nothing of the host's.
  rm -rf "$SID/vrell"
  mkdir -p "$SID/vrell/src"
  tar -C "$SRC" --exclude=./build --exclude='./build?*' --exclude=./.git -cf - . | tar -C "$SID/vrell/src" -xf -
  local conformance
  conformance=$(dirname "$SRC")/shared/data/jsontestsuite
  if [ -d "$conformance" ]; then
    mkdir -p "$SID/vrell/shared/data"
    cp -a "$conformance" "$SID/vrell/shared/data/"
  fi
  sid_mount
  local launcher=()
  in_sid test -x /usr/bin/ccache && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
  local cm=(cmake -S /vrell/src -G Ninja -Wno-deprecated -DCMAKE_BUILD_TYPE=Release
    -DVRELL_WERROR=ON "${launcher[@]}")

  local t=$SECONDS log=$LOGS/sid-gcc.log
  gcc_name="C++ tests, g++ $(in_sid gcc -dumpfullversion) (Debian sid)"
  if ! run "$log" in_sid "${cm[@]}" -B /build/gcc -DVRELL_TESTS=ON -DVRELL_EXTENSION=OFF ||
    ! run "$log" in_sid cmake --build /build/gcc -j2; then
    row "$gcc_name" FAILED — — "$(since $t)"
    failed "$gcc_name" "$log"
  elif run "$log" bounded "$CPP_LIMIT" "${SID_ENV[@]}" chroot "$SID" /build/gcc/mesh_tests --gtest_brief=1; then
    row "$gcc_name" ok "$(gtest_counts "$log")" — "$(since $t)"
  else
    row "$gcc_name" ok "FAILED $(gtest_counts "$log")" — "$(since $t)"
    failed "$gcc_name" "$log"
  fi

  for v in "${SID_PYTHONS[@]}"; do
    t=$SECONDS log=$LOGS/sid-$v.log
    local name="CPython $v (Debian sid)"
    if [ "$(status_of "sid-$v")" != ok ]; then
      skip_row "$name" "$(status_of "sid-$v")"
      continue
    fi
    name="CPython $(in_sid "python$v" -c 'import platform; print(platform.python_version())') (Debian sid), g++ $(in_sid gcc -dumpfullversion)"
    if ! run "$log" in_sid "${cm[@]}" -B "/build/py$v" -DVRELL_EXTENSION=ON \
      -DPython_EXECUTABLE="/usr/bin/python$v" ||
      ! run "$log" in_sid cmake --build "/build/py$v" -j2; then
      row "$name" FAILED — — "$(since $t)"
      failed "$name" "$log"
      continue
    fi
    if run "$log" bounded "$PY_LIMIT" "${SID_ENV[@]}" chroot "$SID" sh -c \
      "cd /vrell/src && PYTHONPATH=/build/py$v /opt/vrell-venv-$v/bin/python ${PYTEST[*]}"; then
      row "$name" ok — "$(pytest_counts "$log")" "$(since $t)"
    else
      row "$name" ok — "FAILED $(pytest_counts "$log")" "$(since $t)"
      failed "$name" "$log"
    fi
  done
  sid_umount

  local free
  free=$(tr '\n' ' ' <"$WORK/status/sid-free-threaded" 2>/dev/null || true)
  NOTES+=("Free-threaded CPython packages in Debian sid: ${free:-none}")
}
sid_rows

# --- Rows: the whole Python suite on other processors, under emulation ------------

# foreign_row ARCH CPU LABEL: Debian's CPython 3.11 for ARCH (CPU as in the
# GNU triplet and qemu's name), the extension built by the cross compiler.
foreign_row() {
  local arch=$1 cpu=$2 dir=$WORK/$1 root=$WORK/$1/root name
  name="CPython 3.11 $arch$3 (Debian bookworm), g++ $("$cpu-linux-gnu-gcc" -dumpfullversion 2>/dev/null) cross, qemu"
  local t=$SECONDS log=$LOGS/$arch.log
  wait_for "$JOB_HOST"
  if ! have "$cpu-linux-gnu-g++" || ! have "qemu-$cpu"; then
    skip_row "$name" "no $cpu-linux-gnu-g++ or qemu-$cpu"
    return
  fi
  if [ "$(status_of "$arch")" != ok ]; then
    skip_row "$name" "$(status_of "$arch")"
    return
  fi
  # The interpreter as a command that a test can start: a preloaded library
  # meant for it goes into the guest's environment, not into qemu's own.
  local py=$dir/python3.11
  cat >"$py" <<EOF
#!/bin/sh
# $arch CPython under qemu user mode (written by scripts/platforms.sh).
if [ -n "\${LD_PRELOAD:-}" ]; then
  export QEMU_SET_ENV="LD_PRELOAD=\$LD_PRELOAD"
  unset LD_PRELOAD
fi
exec qemu-$cpu -L "$root" "$root/usr/bin/python3.11" "\$@"
EOF
  chmod +x "$py"
  # Debian's pyconfig.h picks the one of the target under
  # <$cpu-linux-gnu/python3.11/>, which the cross compiler looks for after
  # its own headers.
  if ! configure_and_build "$log" "$dir/build" -DCMAKE_SYSTEM_NAME=Linux \
    -DCMAKE_SYSTEM_PROCESSOR="$cpu" -DCMAKE_CXX_COMPILER="$cpu-linux-gnu-g++" \
    -DCMAKE_C_COMPILER="$cpu-linux-gnu-gcc" -DVRELL_EXTENSION=ON -DVRELL_TESTS=OFF \
    -DCMAKE_POLICY_DEFAULT_CMP0190=NEW "-DCMAKE_CROSSCOMPILING_EMULATOR=qemu-$cpu;-L;$root" \
    -DPython_EXECUTABLE="$root/usr/bin/python3.11" -DCMAKE_CXX_FLAGS="-idirafter $root/usr/include"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  local module
  module=$(ls "$dir/build"/vrell_mesh.*.so 2>/dev/null || true)
  if [ "$module" != "$dir/build/vrell_mesh.cpython-311-$cpu-linux-gnu.so" ]; then
    echo "unexpected module name: ${module:-none}" >>"$log"
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  suite_row "$name" "$t" "$log" "$py" "$dir/build" VRELL_TEST_PYTHON="$py" \
    VRELL_TEST_CC="$cpu-linux-gnu-gcc"
}
foreign_row arm64 aarch64 ""
# Big-endian: where the scans, digit stores and hashing treat bytes as words,
# they name the byte order; here the whole suite runs on the other one.
foreign_row s390x s390x ", big-endian"

# --- Row: the Python stress test under ThreadSanitizer ---------------------------

# The stress test's eight threads on one mesh under ThreadSanitizer, the
# interpreter and the module both instrumented. A report that reaches no frame
# of the module is the interpreter's own: counted under the table, not failed.
free_threaded_tsan_row() {
  local t=$SECONDS log=$LOGS/free-threaded-tsan.log reports=$WORK/free-threaded-tsan-reports
  local name="CPython $FT_VERSION free-threaded, ThreadSanitizer (built here): tests/test_stress.py"
  wait_for "$JOB_FT"
  wait_for "$JOB_FT_TSAN"
  if [ "$(status_of free-threaded-tsan)" != ok ]; then
    skip_row "$name" "$(status_of free-threaded-tsan)"
    return
  fi
  if [ "$(status_of free-threaded)" != ok ]; then
    skip_row "$name" "no packages for the tests: $(status_of free-threaded)"
    return
  fi
  if ! configure_and_build "$log" "$WORK/cpython-ft-tsan" -DVRELL_EXTENSION=ON -DVRELL_TESTS=OFF \
    -DVRELL_TSAN=ON -DPython_EXECUTABLE="$FT_TSAN_PY"; then
    row "$name" FAILED — — "$(since $t)"
    failed "$name" "$log"
    return
  fi
  rm -rf "$reports"
  mkdir -p "$reports"
  local site status=0 counts ours=0 theirs=0 r n
  site=$("$FT/venv/bin/python" -c 'import sysconfig; print(sysconfig.get_path("purelib"))')
  # ThreadSanitizer exits with 66 after reports; whose they are is read below.
  run "$log" bounded "$PY_LIMIT" env -u PYTHON_GIL \
    TSAN_OPTIONS="suppressions=$FT/python-tsan/tsan-suppressions.txt:log_path=$reports/tsan" \
    PYTHONPATH="$WORK/cpython-ft-tsan:$site" "$FT_TSAN_PY" -m pytest -q -p no:cacheprovider \
    tests/test_stress.py || status=$?
  counts=$(pytest_counts "$log")
  # One file a process; a file that names the module's library counts as its.
  for r in "$reports"/*; do
    [ -e "$r" ] || continue
    n=$(grep -c 'WARNING: ThreadSanitizer' "$r" || true)
    if grep -q 'vrell_mesh\.cpython-' "$r"; then
      ours=$((ours + n))
      cat "$r" >>"$log"
    else
      theirs=$((theirs + n))
    fi
  done
  [ "$theirs" -eq 0 ] || NOTES+=("$name: $theirs report(s) in the interpreter alone, in $reports")
  if [ "$ours" -eq 0 ] && { [ "$status" -eq 0 ] || [ "$status" -eq 66 ]; } &&
    [[ $counts =~ ^[1-9][0-9]*/[0-9]+/0$ ]]; then
    row "$name" ok — "$counts, 0 reports" "$(since $t)"
  else
    row "$name" ok — "FAILED $counts, $ours report(s)" "$(since $t)"
    failed "$name" "$log"
  fi
}
free_threaded_tsan_row

# --- The table ---------------------------------------------------------------------

{
  echo "| platform | build | C++ tests (passed/total) | Python tests (passed/skipped/failed) | time |"
  echo "| --- | --- | --- | --- | --- |"
  printf '%s\n' "${ROWS[@]}"
  for n in "${NOTES[@]}"; do printf '\n%s\n' "$n"; done
} >"$WORK/matrix.md"
echo
cat "$WORK/matrix.md"
echo
echo "total: $(since $START); logs in $LOGS"
if [ "$FAILURES" -gt 0 ]; then
  echo "platforms: $FAILURES row(s) FAILED" >&2
  exit 1
fi
