# The KelvraPack package: the installed kelvra-pack as an imported program, and
# kelvra_add_installer() to make a Kelvra installer as part of a build.
#   find_package(KelvraPack 1.3 REQUIRED)
#   kelvra_add_installer(setup OUTPUT setup.exe INPUTS $<TARGET_FILE:app> data RUN app.exe)
# Everything is found relative to this file, so an installed tree can be moved.
cmake_minimum_required(VERSION 3.20)

get_filename_component(_kelvra_prefix "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
# The program runs on the build machine, also when the project is cross-built for Windows.
if(CMAKE_HOST_WIN32)
  set(_kelvra_suffix .exe)
else()
  set(_kelvra_suffix "")
endif()
if(NOT TARGET KelvraPack::kelvra-pack)
  add_executable(KelvraPack::kelvra-pack IMPORTED)
  set_target_properties(KelvraPack::kelvra-pack PROPERTIES
    IMPORTED_LOCATION "${_kelvra_prefix}/bin/kelvra-pack${_kelvra_suffix}")
endif()
if(NOT EXISTS "${_kelvra_prefix}/bin/kelvra-pack${_kelvra_suffix}")
  set(KelvraPack_FOUND FALSE)
  set(KelvraPack_NOT_FOUND_MESSAGE "kelvra-pack is missing from ${_kelvra_prefix}/bin")
  return()
endif()
set(KELVRA_PACK_EXECUTABLE "${_kelvra_prefix}/bin/kelvra-pack${_kelvra_suffix}")
unset(_kelvra_prefix)
unset(_kelvra_suffix)

# The module KelvraPackCPack sits next to this file.
list(APPEND CMAKE_MODULE_PATH "${CMAKE_CURRENT_LIST_DIR}")

# The create options each keyword maps to, in the order they're given on the command line.
set(_KELVRA_ONE_VALUE_OPTIONS
  PROJECT --project  RUN --run  ARG1 --arg1  ARG2 --arg2  PROMPT --prompt
  DEFAULT_DIR --default-dir  LEVEL --level  ICON --icon  LINK --link
  EXECUTION_LEVEL --execution-level  SIGN --sign)

# kelvra_add_installer(<target> OUTPUT <file.exe> [PROJECT <kelvra.toml>]
#   [INPUTS <files, folders or generator expressions>...] [RUN <program>] [ARG1 <text>]
#   [ARG2 <text>] [PROMPT <text>] [DEFAULT_DIR <dir>] [LEVEL <1..9|max|ultra>]
#   [ICON <file>] [LINK <url>] [EXECUTION_LEVEL <level>] [SIGN <command>]
#   [DPI_AWARE <ON|OFF>] [LANGUAGES <tag>...] [DEPENDS <targets>...])
# A target, built by default, that remakes OUTPUT when one of the files that went into
# it changes (kelvra-pack writes the list it read as a depfile) and not otherwise.
# DPI_AWARE OFF leaves the window's scaling to Windows (--no-dpi-aware).
function(kelvra_add_installer target)
  set(pairs ${_KELVRA_ONE_VALUE_OPTIONS})
  set(keywords "")
  list(LENGTH pairs count)
  math(EXPR last "${count} - 1")
  foreach(i RANGE 0 ${last} 2)
    list(GET pairs ${i} keyword)
    list(APPEND keywords ${keyword})
  endforeach()
  cmake_parse_arguments(PARSE_ARGV 1 KA "" "OUTPUT;DPI_AWARE;${keywords}" "INPUTS;DEPENDS;LANGUAGES")
  if(KA_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "kelvra_add_installer(${target}): unknown arguments: ${KA_UNPARSED_ARGUMENTS}")
  endif()
  if(NOT KA_OUTPUT)
    message(FATAL_ERROR "kelvra_add_installer(${target}): OUTPUT <file.exe> is required")
  endif()
  if(NOT KA_INPUTS AND NOT KA_PROJECT)
    message(FATAL_ERROR "kelvra_add_installer(${target}): give INPUTS, PROJECT or both")
  endif()

  cmake_path(ABSOLUTE_PATH KA_OUTPUT BASE_DIRECTORY "${CMAKE_CURRENT_BINARY_DIR}" NORMALIZE)
  set(depfile "${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${target}.kelvra.d")
  set(command "$<TARGET_FILE:KelvraPack::kelvra-pack>" create --quiet -o "${KA_OUTPUT}"
              --depfile "${depfile}")
  set(depends "")
  foreach(i RANGE 0 ${last} 2)
    list(GET pairs ${i} keyword)
    math(EXPR j "${i} + 1")
    list(GET pairs ${j} option)
    if(DEFINED KA_${keyword})
      set(value "${KA_${keyword}}")
      if(keyword STREQUAL "PROJECT" OR keyword STREQUAL "ICON")
        cmake_path(ABSOLUTE_PATH value BASE_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}" NORMALIZE)
        list(APPEND depends "${value}")
      endif()
      # One argument whatever the value holds: a ; would split it into several (a
      # prompt could add a --sign of its own) when the command's list is expanded.
      string(REPLACE ";" "$<SEMICOLON>" value "${value}")
      list(APPEND command ${option} "${value}")
    endif()
  endforeach()
  if(DEFINED KA_DPI_AWARE AND NOT KA_DPI_AWARE)
    list(APPEND command --no-dpi-aware)
  endif()
  foreach(language IN LISTS KA_LANGUAGES)
    list(APPEND command --language "${language}")
  endforeach()
  # Relative inputs are the source folder's; generator expressions are left for the
  # build to expand (a target's file also makes the target a dependency).
  set(inputs "")
  foreach(input IN LISTS KA_INPUTS)
    if(NOT input MATCHES "^\\$<" AND NOT IS_ABSOLUTE "${input}")
      set(input "${CMAKE_CURRENT_SOURCE_DIR}/${input}")
    endif()
    list(APPEND inputs "${input}")
  endforeach()
  # Reproducible builds: the time clamp follows the environment of the configure run.
  if(DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT "$ENV{SOURCE_DATE_EPOCH}" STREQUAL "")
    set(command ${CMAKE_COMMAND} -E env "SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}" ${command})
  endif()
  add_custom_command(
    OUTPUT "${KA_OUTPUT}"
    COMMAND ${command} ${inputs}
    DEPENDS ${inputs} ${depends} ${KA_DEPENDS} "${KELVRA_PACK_EXECUTABLE}"
    DEPFILE "${depfile}"
    WORKING_DIRECTORY "${CMAKE_CURRENT_SOURCE_DIR}"
    COMMENT "Making the Kelvra installer ${KA_OUTPUT}"
    VERBATIM)
  add_custom_target(${target} ALL DEPENDS "${KA_OUTPUT}")
  if(KA_DEPENDS)
    add_dependencies(${target} ${KA_DEPENDS})
  endif()
endfunction()
