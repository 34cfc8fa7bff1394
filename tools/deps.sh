#!/usr/bin/env bash
# Installs the Debian packages that the build and the tests need and this
# machine lacks. Run as root it installs them (no recommended extras); run as
# anyone else it stops with the one apt-get line that would.
#
#   tools/deps.sh build   what building vbsfit-batch needs (Eigen, SQLite)
#   tools/deps.sh python  that, plus what the Python module needs (for
#                         /usr/bin/python3: pybind11, NumPy, pytest, and pandas
#                         and Matplotlib for its tables and figures)
#   tools/deps.sh check   all of these, plus what the browser and cluster tests
#                         and the example notebook (Jupyter) use
#   tools/deps.sh fuzz    what building the fuzz targets needs (clang, libFuzzer)
set -euo pipefail

build_packages=(libeigen3-dev libsqlite3-dev)
python_packages=(python3-dev pybind11-dev python3-pybind11 python3-numpy python3-pytest
                 python3-pandas python3-matplotlib)
check_packages=(chromium slurmctld slurmd slurm-client munge jupyter-nbconvert python3-ipykernel)
fuzz_packages=(clang-14 libclang-rt-14-dev)

case "${1:-check}" in
  build) wanted=("${build_packages[@]}") ;;
  python) wanted=("${build_packages[@]}" "${python_packages[@]}") ;;
  check) wanted=("${build_packages[@]}" "${python_packages[@]}" "${check_packages[@]}") ;;
  fuzz) wanted=("${build_packages[@]}" "${fuzz_packages[@]}") ;;
  *) echo "usage: tools/deps.sh build|python|check|fuzz" >&2; exit 2 ;;
esac

missing=()
for package in "${wanted[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$package" 2>/dev/null || true)
  [ "$status" = "install ok installed" ] || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

line="apt-get install -y --no-install-recommends ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing Debian packages: ${missing[*]}. Install them as root, then run make again:" >&2
  echo "  sudo $line" >&2
  exit 1
fi
echo "Installing ${missing[*]} (Debian packages) ..." >&2
export DEBIAN_FRONTEND=noninteractive
# A machine that has never fetched the package lists cannot find anything.
log=$(mktemp "${TMPDIR:-/tmp}/vbsfit-deps.XXXXXX")
trap 'rm -f "$log"' EXIT
if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >"$log" 2>&1; then
  apt-get update -q >>"$log" 2>&1 || true
  if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    cat "$log" >&2
    echo "Could not install ${missing[*]}; try: $line" >&2
    exit 1
  fi
fi
