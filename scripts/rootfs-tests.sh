#!/usr/bin/env bash
# rootfs-tests.sh PYTHON ROOTFS WHEEL [--demo]: installs WHEEL and the test tools
# for the root file system's own interpreter (from the index, by PYTHON's pip on
# this machine: the wheel and pure-Python packages only), then runs the module
# tests inside it, and with --demo also the demo's round trip through the sandbox.
# An arm64 file system runs under qemu-user.
set -euo pipefail
python=$1 rootfs=$2 wheel=$3 demo=${4:-}
guest=$(chroot "$rootfs" /usr/bin/python3 -c 'import platform, sys
print(platform.machine(), "%d.%d" % sys.version_info[:2])')
read -r machine version <<<"$guest"
work=$rootfs/tmp/qbo
rm -rf "$work"
mkdir -p "$work"
# What the guest runs, laid out as in the checkout (the tests read pyproject.toml).
cp -r tests pyproject.toml "$work/"
mkdir -p "$work/examples" && cp examples/demo.py "$work/examples/"
"$python" -m pip install -q --disable-pip-version-check --target "$work/site" \
  --only-binary=:all: --implementation cp --python-version "$version" \
  --platform "manylinux_2_17_$machine" "$wheel[sandbox]" pytest hypothesis
echo "== $(basename "$wheel") on $machine under CPython $version"
guest_env=(env -i PATH=/usr/bin:/bin HOME=/tmp PYTHONPATH=/tmp/qbo/site QBO_TEST_INSTALLED=1)
chroot "$rootfs" "${guest_env[@]}" /usr/bin/python3 -m pytest -q -p no:cacheprovider \
  --rootdir=/tmp/qbo /tmp/qbo/tests/python/test_module.py \
  /tmp/qbo/tests/python/test_properties.py /tmp/qbo/tests/python/test_stories.py
if [[ $demo == --demo ]]; then
  chroot "$rootfs" "${guest_env[@]}" /usr/bin/python3 /tmp/qbo/examples/demo.py
fi
