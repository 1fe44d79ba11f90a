# Run by `cpack -G External` once the install tree is staged: packs it with kelvra-pack
# and hands the installer back to CPack.
set(options "")
foreach(pair RUN:--run ARG1:--arg1 ARG2:--arg2 PROMPT:--prompt DEFAULT_DIR:--default-dir
             LEVEL:--level ICON:--icon LINK:--link EXECUTION_LEVEL:--execution-level
             SIGN:--sign PROJECT:--project)
  string(REPLACE ":" ";" pair "${pair}")
  list(GET pair 0 name)
  list(GET pair 1 option)
  if(DEFINED CPACK_KELVRA_${name} AND NOT "${CPACK_KELVRA_${name}}" STREQUAL "")
    # Escaped, a ; stays inside its one argument when the list is expanded below.
    string(REPLACE ";" "\\;" value "${CPACK_KELVRA_${name}}")
    list(APPEND options ${option} "${value}")
  endif()
endforeach()
# The languages besides English, a list: one --language each.
foreach(language IN LISTS CPACK_KELVRA_LANGUAGES)
  list(APPEND options --language "${language}")
endforeach()

if(DEFINED CPACK_KELVRA_DPI_AWARE AND NOT "${CPACK_KELVRA_DPI_AWARE}" STREQUAL "" AND NOT CPACK_KELVRA_DPI_AWARE)
  list(APPEND options --no-dpi-aware)
endif()

# Staged without components, the tree sits right in the temporary directory.
set(tree "${CPACK_TEMPORARY_DIRECTORY}")
if(NOT IS_DIRECTORY "${tree}")
  message(FATAL_ERROR "KelvraPack: no staged install tree at ${tree}")
endif()
set(output "${CPACK_TOPLEVEL_DIRECTORY}/${CPACK_PACKAGE_FILE_NAME}.exe")
execute_process(
  COMMAND "${CPACK_KELVRA_PACK}" create --quiet -o "${output}" ${options} "${tree}"
  RESULT_VARIABLE status)
if(NOT status EQUAL 0)
  message(FATAL_ERROR "KelvraPack: kelvra-pack create failed (${status})")
endif()
set(CPACK_EXTERNAL_BUILT_PACKAGES "${output}")
