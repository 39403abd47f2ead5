# The benchmarks (scripts/bench) and the fuzz targets (scripts/check fuzz) are built, not
# run, so that a changed interface cannot break them unseen.
set -euo pipefail
source scripts/lib.sh
need_apt build-essential cmake ninja-build libssl-dev

python=$(find_python312)
build_bench "$PWD/$(test_venv build/venv-bench-build "$python" nanobind pybind11)"
build_fuzz "$python"
