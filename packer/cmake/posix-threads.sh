#!/bin/sh
# Compiler and linker launcher of the Windows kelvra-pack: runs the posix-threads build
# of mingw g++ ($1) in place of the one CMake was given ($2), then the same arguments.
posix_cxx=$1
shift 2
exec "$posix_cxx" "$@"
