#!/usr/bin/env bash
# venv.sh PYTHON DIR REQUIREMENTS...: a virtual environment with the given
# requirement files installed from the package index. Remade only when a file
# changed since the last time.
set -euo pipefail
python=$1 dir=$2; shift 2
stamp=$dir/.requirements
if [[ -x $dir/bin/python && -f $stamp ]] && cat "$@" | cmp -s - "$stamp"; then exit 0; fi
rm -rf "$dir"
"$python" -m venv "$dir"
"$dir/bin/python" -m pip install -q --disable-pip-version-check --upgrade pip
args=(); for file in "$@"; do args+=(-r "$file"); done
"$dir/bin/python" -m pip install -q --disable-pip-version-check "${args[@]}"
cat "$@" > "$stamp"
