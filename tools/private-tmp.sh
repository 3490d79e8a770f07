#!/bin/sh
# Runs a command with a /tmp of its own: a private mount namespace in which
# /tmp is a fresh tmpfs that vanishes with the command.  The filter writes its
# dumps to fixed paths (/tmp/Brantelix, /tmp/Buffer.data, /tmp/pBuf.data)
# that every job on the machine shares; scripts that run it must neither
# clobber nor read other jobs' dumps.
#
#   sh tools/private-tmp.sh [--keep PATH]... COMMAND [ARG...]
#
# Paths under the real /tmp that the command needs stay reachable under their
# own names: the current directory, every argument that is an absolute path
# under /tmp, and every --keep PATH (the first directory of each below /tmp is
# bind-mounted into the new /tmp).  Needs root (unshare -m); elsewhere it says
# so and exits 77.
set -eu

if [ "${1:-}" != --inside ]; then
  if ! unshare -m --propagation private true 2>/dev/null; then
    echo "private-tmp: no private mount namespace here (unshare -m needs root): not run" >&2
    exit 77
  fi
  exec unshare -m --propagation private sh "$0" --inside "$@"
fi
shift

keep=$PWD
while [ "${1:-}" = --keep ]; do
  keep="$keep
$2"
  shift 2
done
for arg in "$@"; do
  case $arg in /tmp/*) keep="$keep
$arg" ;; esac
done

here=$PWD
# The shell's working directory keeps the old /tmp reachable once the new
# one covers it.
cd /tmp
mount -t tmpfs -o mode=1777,nosuid,nodev tmpfs /tmp
printf '%s\n' "$keep" | while IFS= read -r path; do
  case $path in
    /tmp/?*)
      first=${path#/tmp/}
      first=${first%%/*}
      if [ ! -e "/tmp/$first" ] && [ -e "./$first" ]; then
        if [ -d "./$first" ]; then mkdir "/tmp/$first"; else : >"/tmp/$first"; fi
        mount --no-canonicalize --bind "./$first" "/tmp/$first"
      fi
      ;;
  esac
done
cd "$here" 2>/dev/null || cd /
exec "$@"
