#!/bin/sh
# Cleans up after a process that may end without doing so itself (killed,
# aborted): waits while OWNER runs and FOLDER is there; once OWNER has ended
# with FOLDER still there, runs COMMAND, if any, and removes FOLDER. When
# FOLDER goes first, its owner cleaned up, and there is nothing to do.
#
#   when-gone.sh OWNER FOLDER [COMMAND ARG...]
owner=${1:?usage: when-gone.sh OWNER FOLDER [COMMAND ARG...]}
folder=${2:?usage: when-gone.sh OWNER FOLDER [COMMAND ARG...]}
shift 2
while kill -0 "$owner" 2>/dev/null && [ -e "$folder" ]; do sleep 0.5; done
[ -e "$folder" ] || exit 0
[ $# -eq 0 ] || "$@"
rm -rf "$folder"
