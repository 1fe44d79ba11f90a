# kelvra-pack across systems and builds: the Windows kelvra-pack under Wine against
# this one (KELVRA_PACK_WIN, built by the x86_64 cross build), and reproducible
# output (two clean stub builds, create under a clamped time).
set(KELVRA_PACK_WIN "" CACHE FILEPATH "The Windows kelvra-pack.exe, for the tests under Wine")

set(pack_env "KELVRA_PACK=$<TARGET_FILE:kelvra-pack>;KELVRA_STUB=${KELVRA_STUB};ASAN_OPTIONS=exitcode=86;UBSAN_OPTIONS=exitcode=86")

if(KELVRA_PACK_WIN)
  add_test(NAME packer.Windows
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_windows.py -v)
  # Wine's first start in the test's fresh prefix takes 10-20 s of it.
  set_tests_properties(packer.Windows PROPERTIES
    TIMEOUT 300 LABELS "e2e;wine" RUN_SERIAL TRUE
    ENVIRONMENT "${pack_env};KELVRA_PACK_WIN=${KELVRA_PACK_WIN}")
else()
  message(STATUS "packer.Windows not registered: set KELVRA_PACK_WIN to the built kelvra-pack.exe")
endif()

add_test(NAME packer.Reproducible
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_reproducible.py -v ClampedTimes ListedTimes)
set_tests_properties(packer.Reproducible PROPERTIES TIMEOUT 300 ENVIRONMENT "${pack_env}")

# Two configure-and-build runs of the i686 stub: a minute or two, and nothing a
# sanitizer build would change.
add_test(NAME packer.ReproducibleStub
         COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_SOURCE_DIR}/test_reproducible.py -v StubBuild)
set_tests_properties(packer.ReproducibleStub PROPERTIES
  TIMEOUT 1200 LABELS slow RUN_SERIAL TRUE
  ENVIRONMENT "${pack_env};KELVRA_SOURCE=${CMAKE_SOURCE_DIR}")
