#!/usr/bin/env bash
# Installs what building and testing need, when it is missing (Debian 12, as root), and makes
# the locales that Wine takes its code pages from. qemu-user-static and
# gcc-multilib run 32-bit Wine where the kernel does not execute i386 code (tests/e2e/wine32);
# wine64 brings the native wineserver.
set -euo pipefail

packages=(cmake ninja-build g++ make zlib1g-dev libgtest-dev libbenchmark-dev
          g++-mingw-w64-i686 g++-mingw-w64-x86-64-posix libz-mingw-w64-dev
          wine wine32:i386 wine64 qemu-user-static gcc-multilib
          xvfb x11-utils locales imagemagick osslsigncode openssl zip unzip
          clang libclang-rt-14-dev gcovr)

missing=()
for package in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$package")
    fi
done

if ((${#missing[@]})); then
    echo "setup: installing ${missing[*]}"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        dpkg --add-architecture i386
    fi
    # Other installs may hold the package lock for a while.
    apt-get update -qq -o DPkg::Lock::Timeout=600
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=600 "${missing[@]}" \
        > /tmp/qlm-setup-apt.log 2>&1 || { tail -n 30 /tmp/qlm-setup-apt.log; exit 1; }
fi

# The Wine suite runs the program under the code pages these locales give Wine: 1251 (Russian),
# 1252 (English), 932 (Japanese) and 65001 (Georgian, a locale without an ANSI code page).
wanted_locales=(ru_RU en_US ja_JP ka_GE)
for locale in "${wanted_locales[@]}"; do
    if ! locale -a 2>/dev/null | grep -qi "^$locale\.utf-\?8$"; then
        echo "setup: generating the $locale.UTF-8 locale"
        sed -i "s/^# *\($locale.UTF-8 UTF-8\)/\1/" /etc/locale.gen
        grep -q "^$locale.UTF-8 UTF-8" /etc/locale.gen || echo "$locale.UTF-8 UTF-8" >> /etc/locale.gen
        generate=1
    fi
done
if [ -n "${generate:-}" ]; then
    locale-gen > /dev/null
fi
