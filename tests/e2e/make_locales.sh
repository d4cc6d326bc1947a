#!/bin/sh
# make_locales.sh DIR: compiles the UTF-8 locales that give Wine the
# double-byte ANSI code pages 932, 936, 949 and 950 into DIR, for LOCPATH.
# Needs the locale sources of Debian's package "locales".
set -e
mkdir -p "$1"
for locale in ja_JP zh_CN ko_KR zh_TW; do
  [ -d "$1/$locale.UTF-8" ] || localedef -i "$locale" -f UTF-8 "$1/$locale.UTF-8"
done
