#!/usr/bin/env bash
# include-trees.sh PYCONFIG DIR: the header trees a cross build reads, in DIR:
# DIR/boost (Boost, header-only) and DIR/python (the Python headers with the
# target's own pyconfig.h in place of Debian's per-architecture wrapper).
set -euo pipefail
pyconfig=$1 dir=$2
# The headers of the same Python version as the pyconfig.h (…/python3.X/pyconfig.h).
python_headers=/usr/include/$(basename "$(dirname "$pyconfig")")
[[ -f $python_headers/Python.h ]] || { echo "include-trees: install python3-dev (make setup does)"; exit 1; }
[[ -f /usr/include/boost/version.hpp ]] || { echo "include-trees: install libboost1.81-dev (make setup does)"; exit 1; }
[[ -f $pyconfig ]] || { echo "include-trees: no $pyconfig"; exit 1; }
rm -rf "$dir"
mkdir -p "$dir/boost" "$dir/python"
ln -s /usr/include/boost "$dir/boost/boost"
for entry in "$python_headers"/*; do
  [[ $(basename "$entry") == pyconfig.h ]] || ln -s "$entry" "$dir/python/"
done
cp "$pyconfig" "$dir/python/pyconfig.h"
