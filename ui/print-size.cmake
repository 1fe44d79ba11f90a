# Prints the size of the built stub (cmake -DFILE=... [-DLIMIT=bytes] -P print-size.cmake),
# so that every build shows how close it is to its budget, and fails the build when
# the stub has outgrown LIMIT.
file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name "${FILE}" NAME)
if(DEFINED LIMIT AND size GREATER LIMIT)
  message(FATAL_ERROR "${name}: ${size} bytes (${kib} KiB), over its limit of ${LIMIT} bytes")
endif()
if(DEFINED LIMIT)
  message(STATUS "${name}: ${size} bytes (${kib} KiB; limit ${LIMIT})")
else()
  message(STATUS "${name}: ${size} bytes (${kib} KiB)")
endif()
