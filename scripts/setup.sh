#!/usr/bin/env bash
# Installs what building, running and testing need, when it is missing, and
# makes the locales the tests use (C.UTF-8 ships with the C library; the
# EUC-JP tests need ja_JP.EUC-JP).  Safe to run again: it installs nothing
# that is already there.
set -euo pipefail

packages=(cmake g++ make pkg-config libncurses-dev ncurses-bin ncurses-base
          libvterm-dev libgtest-dev libbenchmark-dev tmux locales
          dpkg-dev file libreadline-dev valgrind clang libclang-rt-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done

sudo_cmd=()
[ "$(id -u)" -ne 0 ] && sudo_cmd=(sudo)

if [ "${#missing[@]}" -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
  "${sudo_cmd[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -q "${missing[@]}"
fi

if ! locale -a 2>/dev/null | grep -qi '^ja_JP\.eucjp$'; then
  echo "setup: generating the ja_JP.EUC-JP locale"
  "${sudo_cmd[@]}" localedef -i ja_JP -f EUC-JP ja_JP.EUC-JP || true
fi
