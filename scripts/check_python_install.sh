#!/usr/bin/env bash
# The Python package installed as a user installs it, without any network
# access (no package index, no build isolation: Debian's setuptools and
# numpy), each time running the README's first Python example against the
# simulated camera from a folder outside the source tree:
#   1. into a fresh virtual environment made with the system's packages;
#   2. system-wide with Debian's pip (removed again afterwards);
#   3. from the Linux tarball: used in place, where it finds the SDK beside
#      itself, and installed into a virtual environment.
# Usage: scripts/check_python_install.sh [BUILD] [PYTHON]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
python=${2:-/usr/bin/python3}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

export VKCAM_REGISTRY="$work/registry" VKCAM_SIM_THROTTLE=0
export PIP_NO_INDEX=1 PIP_DISABLE_PIP_VERSION_CHECK=1 PIP_ROOT_USER_ACTION=ignore
unset PYTHONPATH VKCAM_SDK_LIBRARY VKCAM_SIM_FAULTS VKCAM_SIM_CAMERAS
example="$work/example.py"
awk '/^```python$/ {inside = 1; next} /^```$/ && inside {exit} inside' README.md > "$example"
[ -s "$example" ] || { echo "python-install-check: no Python example in README.md" >&2; exit 1; }

# Runs the example with the given interpreter; the SDK library as given.
run_example() {
  local interpreter=$1 library=$2 where
  where=$(cd "$work" && VKCAM_SDK_LIBRARY="$library" "$interpreter" -c \
          'import vkcam, os; print(os.path.dirname(vkcam.__file__))')
  case "$where" in
    "$PWD"/python/*) echo "python-install-check: $interpreter imported the source tree" >&2
                     exit 1 ;;
  esac
  (cd "$work" && VKCAM_SDK_LIBRARY="$library" "$interpreter" "$example")
  echo "  vkcam from $where"
}

# A copy, so that the build leaves nothing in the source tree.
cp -r python "$work/source"
find "$work/source" -name __pycache__ -prune -exec rm -rf {} +

echo "python-install-check: a fresh virtual environment"
"$python" -m venv --system-site-packages "$work/env"
"$work/env/bin/pip" install -q --no-build-isolation "$work/source"
run_example "$work/env/bin/python" "$build/lib"

echo "python-install-check: system-wide"
if (cd "$work" && "$python" -c "import vkcam" 2>/dev/null); then
  echo "  skipped: a vkcam package is installed system-wide already"
else
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo "$python" -m pip install -q --no-build-isolation --break-system-packages "$work/source"
  status=0
  run_example "$python" "$build/lib" || status=$?
  $sudo "$python" -m pip uninstall -q -y --break-system-packages vkcam
  [ "$status" -eq 0 ] || exit "$status"
fi

echo "python-install-check: the Linux tarball"
./scripts/dist.sh "$build" linux >/dev/null
tarball=$(ls -t dist/vkcam-*-linux-"$(uname -m)".tar.gz | head -n 1)
mkdir "$work/tarball"
tar xzf "$tarball" -C "$work/tarball"
root=$(echo "$work"/tarball/vkcam-*)
found=$(cd "$work" && PYTHONPATH="$root/python" "$python" -c \
        'import vkcam; vkcam.camera_count(); print(vkcam.loaded_path())')
[ "$found" = "$root/lib/libVKCAMSDK.so" ] || {
  echo "python-install-check: the tarball's package loaded $found, not its own lib/" >&2
  exit 1
}
(cd "$work" && PYTHONPATH="$root/python" "$python" "$example")
echo "  in place: $found"
"$python" -m venv --system-site-packages "$work/env2"
"$work/env2/bin/pip" install -q --no-build-isolation "$root/python"
run_example "$work/env2/bin/python" "$root/lib"
echo "python-install-check: passed"
