#!/usr/bin/env bash
# Fetches the photographs the codec benchmark decodes into the folder given:
# Debian's scikit-image package ships them in its data folder. The package is
# downloaded and unpacked, never installed. Offline, it says so and leaves the
# folder empty; the benchmark then runs on its synthetic picture alone.
set -u
dest=$1
pictures=(astronaut coffee chelsea motorcycle_left)
[[ -f "$dest/complete" ]] && exit 0
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
if ! (cd "$work" && apt-get download python3-skimage && dpkg -x python3-skimage_*.deb unpacked) \
  >"$work/log" 2>&1; then
  echo "codec_bench: could not fetch python3-skimage; the photographs are missing" >&2
  exit 0
fi
mkdir -p "$dest"
for picture in "${pictures[@]}"; do
  if ! cp "$work/unpacked/usr/lib/python3/dist-packages/skimage/data/$picture.png" "$dest/"; then
    echo "codec_bench: python3-skimage has no $picture.png; the photographs are incomplete" >&2
    exit 0
  fi
done
touch "$dest/complete"
