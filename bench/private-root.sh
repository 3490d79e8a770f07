#!/usr/bin/env bash
# Runs a command in the current directory with a root of its own: every entry
# of the real root is bound into a tmpfs at ROOT, except /tmp (left empty) and
# /Users (absent), and the command runs chrooted there in a private mount
# namespace. The filter writes diagnostic files at fixed paths that every
# process on the machine shares: its dumps in /tmp, and its dithering picture
# in /Users/quorle/Desktop/Work whenever some other process has made that
# directory. Needs root.
#
# Usage: bash bench/private-root.sh ROOT COMMAND [ARG...]
#   ROOT  an empty directory outside /tmp; it stays empty outside the run
#
# Sourced, it only defines make_root, for scripts that set up one root in
# their own mount namespace and run many commands in it.

# make_root ROOT: the view of / described above, at ROOT. Only inside a
# private mount namespace: the binds must vanish with it.
make_root() {
  local root=$1 entry name
  mkdir -p "$root"
  mount -t tmpfs -o mode=755 tmpfs "$root"
  for entry in /*; do
    name=${entry#/}
    case $name in tmp | Users) continue ;; esac
    if [ -L "$entry" ]; then
      ln -s "$(readlink "$entry")" "$root/$name"
    elif [ -d "$entry" ]; then
      mkdir "$root/$name"
      case $name in
        dev | proc | sys | run) mount --rbind "$entry" "$root/$name" ;;
        *) mount --bind "$entry" "$root/$name" ;;
      esac
    fi
  done
  mkdir -m 1777 "$root/tmp"
}

if [ "${BASH_SOURCE[0]}" = "$0" ]; then
  set -euo pipefail
  if [ "${1:-}" != --inside ]; then
    [ $# -ge 2 ] || { sed -n '10,11s/^# \{0,1\}//p' "$0" >&2; exit 2; }
    exec unshare -m --propagation private bash "$0" --inside "$@"
  fi
  shift
  root=$1
  shift
  make_root "$root"
  exec chroot "$root" /bin/bash -c 'cd "$1" && shift && exec "$@"' private-root "$PWD" "$@"
fi
