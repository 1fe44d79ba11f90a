# include(KelvraPackCPack) after find_package(KelvraPack), before include(CPack):
# `cpack -G External` then packs the staged install tree into
# ${CPACK_PACKAGE_FILE_NAME}.exe. The installer's settings come from
#   CPACK_KELVRA_RUN, CPACK_KELVRA_ARG1, CPACK_KELVRA_ARG2, CPACK_KELVRA_PROMPT,
#   CPACK_KELVRA_DEFAULT_DIR, CPACK_KELVRA_LEVEL, CPACK_KELVRA_ICON, CPACK_KELVRA_LINK,
#   CPACK_KELVRA_EXECUTION_LEVEL, CPACK_KELVRA_SIGN, CPACK_KELVRA_PROJECT and
#   CPACK_KELVRA_LANGUAGES (a list of language tags); and CPACK_KELVRA_DPI_AWARE OFF
#   for --no-dpi-aware.
if(NOT TARGET KelvraPack::kelvra-pack)
  message(FATAL_ERROR "include(KelvraPackCPack) needs find_package(KelvraPack) first")
endif()
set(CPACK_KELVRA_PACK "${KELVRA_PACK_EXECUTABLE}")
set(CPACK_EXTERNAL_PACKAGE_SCRIPT "${CMAKE_CURRENT_LIST_DIR}/KelvraPackCPackScript.cmake")
set(CPACK_EXTERNAL_ENABLE_STAGING ON)
