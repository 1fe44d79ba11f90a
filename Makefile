# The one entry point: drives CMake for the native build and the two cross builds.
#   make          everything (deps, i686 + x86_64 stubs, native packer and tests)
#   make demo     everything, then the shipped i686 installer run under 32-bit Wine in a
#                 virtual machine (DEMO_ARCH=x86_64: the x86_64 one here, faster)
#   make test     every test: unit (plain, ASan+UBSan, TSan) and end-to-end
#   make check    the everyday run: unit, packer and PE tests (no Wine, no virtual machine)
#   make e2e      the end-to-end tests alone (x86_64 stub; the i686 ones: ctest -L i686)
#   make mutants  deliberate faults (tests/mutants.txt) against the check's tests
#   make bench    benchmarks against zip/unzip/7z
#   make fuzz     each fuzz target for a set time
#   make lint     clang-format's layout and clang-tidy's checks over the whole tree
#   make install  kelvra-pack, its manual page and reference into $(PREFIX) (/usr/local)
#   make package  the Debian package of kelvra-pack, in $(B)/native/package
B ?= build
JOBS ?= $(shell nproc)
PREFIX ?= /usr/local
FUZZ_SMOKE_SECONDS ?= 10
DEMO_ARCH ?= i686
CMAKE_GEN := -G "Unix Makefiles"
STUBS := -DKELVRA_STUB=$(abspath $(B)/i686/ui/kelvra-stub.exe) \
         -DKELVRA_STUB_X64=$(abspath $(B)/x86_64/ui/kelvra-stub-x64.exe) \
         -DKELVRA_PACK_WIN=$(abspath $(B)/x86_64/packer/kelvra-pack.exe)

.PHONY: all deps i686 x86_64 native asan tsan test check unit e2e mutants demo bench fuzz lint install package clean

all: native

deps:
	@bash scripts/install-deps

i686: deps
	cmake $(CMAKE_GEN) -S . -B $(B)/i686 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-i686.cmake -DCMAKE_BUILD_TYPE=MinSizeRel
	cmake --build $(B)/i686 -j $(JOBS)

# After i686: the Windows kelvra-pack built here carries the i686 stub.
x86_64: i686
	cmake $(CMAKE_GEN) -S . -B $(B)/x86_64 -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-x86_64.cmake -DCMAKE_BUILD_TYPE=MinSizeRel \
	  -DKELVRA_STUB=$(abspath $(B)/i686/ui/kelvra-stub.exe)
	cmake --build $(B)/x86_64 -j $(JOBS)

native: i686 x86_64
	cmake $(CMAKE_GEN) -S . -B $(B)/native -DCMAKE_BUILD_TYPE=RelWithDebInfo $(STUBS)
	cmake --build $(B)/native -j $(JOBS)

asan: i686 x86_64
	cmake $(CMAKE_GEN) -S . -B $(B)/asan -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=address,undefined $(STUBS)
	cmake --build $(B)/asan -j $(JOBS)

tsan: deps
	cmake $(CMAKE_GEN) -S . -B $(B)/tsan -DCMAKE_BUILD_TYPE=Debug -DKELVRA_SANITIZE=thread
	cmake --build $(B)/tsan -j $(JOBS) --target kelvra_unit_tests

unit: native asan tsan
	cd $(B)/native && ctest --output-on-failure -j $(JOBS) -LE 'e2e|i686'
	cd $(B)/asan && ctest --output-on-failure -j $(JOBS) -LE 'e2e|slow'
	$(B)/tsan/tests/kelvra_unit_tests --gtest_filter='MessageArea*'

check: native
	cd $(B)/native && ctest --output-on-failure -j $(JOBS) -LE 'e2e|i686|slow|wine'

mutants: native
	python3 scripts/mutants --build $(B) --jobs $(JOBS)

e2e: native
	cd $(B)/native && ctest --output-on-failure -L e2e

# A short run of every fuzz target, then the unit tests under the sanitizers, then
# the whole suite (unit, packer, PE checks, Wine end-to-end) on the native build.
test: native asan tsan
	@stat -c 'kelvra-stub.exe (i686): %s bytes (aim 32768 or less, limit 34816)' $(B)/i686/ui/kelvra-stub.exe
	FUZZ_SECONDS=$(FUZZ_SMOKE_SECONDS) bash fuzz/run $(B)
	$(B)/tsan/tests/kelvra_unit_tests --gtest_filter='MessageArea*'
	cd $(B)/asan && ctest --output-on-failure -j $(JOBS) -LE 'e2e|slow'
	cd $(B)/native && ctest --output-on-failure -j $(JOBS)

demo: native
	DEMO_ARCH=$(DEMO_ARCH) bash scripts/demo $(B)

bench: native
	bash bench/run $(B)

fuzz: deps
	bash fuzz/run $(B)

# Reads the native and x86_64 builds' compile commands. `bash scripts/lint --format`
# lays the tree out as .clang-format says.
lint: native
	JOBS=$(JOBS) bash scripts/lint $(B)

install: native
	cmake --install $(B)/native --prefix $(PREFIX)

package: native
	cd $(B)/native && cpack -G DEB

clean:
	rm -rf $(B)
