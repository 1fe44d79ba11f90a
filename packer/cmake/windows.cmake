# The Windows kelvra-pack, built in the x86_64 cross build: one static program over
# its own build of the core and the writer, with Debian's full static zlib (the stub's
# zlib inflates only) and zlib's levels alone (libdeflate and zopfli aren't built for
# Windows here). Included by CMakeLists.txt after kelvra-pack is defined.

# GCC 12's win32-threads mingw g++, which the stub is built with, has no std::thread;
# its posix-threads sibling has. The packer's targets are compiled and linked by it,
# through a launcher that swaps the compiler.
set(posix_cxx ${CMAKE_CXX_COMPILER}-posix)
if(NOT EXISTS ${posix_cxx})
  message(FATAL_ERROR "kelvra-pack for Windows needs ${posix_cxx} (g++-mingw-w64-x86-64-posix)")
endif()
set(posix_launcher sh ${CMAKE_CURRENT_LIST_DIR}/posix-threads.sh ${posix_cxx})

find_library(KELVRA_FULL_ZLIB NAMES libz.a REQUIRED)

file(GLOB pack_writer_sources CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/archive/writer*.cpp)
add_library(kelvra_pack_core STATIC ${core_sources})
target_include_directories(kelvra_pack_core PUBLIC ${CMAKE_SOURCE_DIR})
target_link_libraries(kelvra_pack_core PUBLIC ${KELVRA_FULL_ZLIB})
add_library(kelvra_pack_writer STATIC ${pack_writer_sources})
target_link_libraries(kelvra_pack_writer PUBLIC kelvra_pack_core kelvra_pack_files)
target_compile_definitions(kelvra_pack_writer PUBLIC KELVRA_ZLIB_ONLY)

# Header-only libraries from the build machine: only their own folders, so that no
# glibc header can stand in for mingw's.
set(host_headers ${CMAKE_CURRENT_BINARY_DIR}/host-headers)
file(MAKE_DIRECTORY ${host_headers})
foreach(library CLI nlohmann toml++)
  if(EXISTS /usr/include/${library} AND NOT EXISTS ${host_headers}/${library})
    file(CREATE_LINK /usr/include/${library} ${host_headers}/${library} SYMBOLIC)
  endif()
endforeach()
target_include_directories(kelvra-pack SYSTEM PRIVATE ${host_headers})

# The project-wide Windows options are the stub's (no exceptions, RTTI or unwind
# tables); the packer needs all three, and these come after them.
foreach(target kelvra_pack_core kelvra_pack_writer kelvra_pack_files kelvra-pack)
  target_compile_options(${target} PRIVATE -O2 -fexceptions -frtti -fasynchronous-unwind-tables ${KELVRA_WARNINGS})
  set_target_properties(${target} PROPERTIES CXX_COMPILER_LAUNCHER "${posix_launcher}")
endforeach()
set_target_properties(kelvra-pack PROPERTIES CXX_LINKER_LAUNCHER "${posix_launcher}")

target_link_libraries(kelvra-pack PRIVATE kelvra_pack_writer)
target_link_options(kelvra-pack PRIVATE -static -s -Wl,--gc-sections -Wl,--no-insert-timestamp)
