# Prints the size of the built stub (cmake -DFILE=... -P print-size.cmake), so that
# every build shows how close it is to its budget.
file(SIZE "${FILE}" size)
math(EXPR kib "(${size} + 1023) / 1024")
get_filename_component(name "${FILE}" NAME)
message(STATUS "${name}: ${size} bytes (${kib} KiB)")
