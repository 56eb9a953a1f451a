# Kestrine client: set-up, build, tests and the demo on a Debian machine.
# make test   installs missing packages, builds build/ and build-asan/, runs ctest on both
# make run    builds and starts the demo (reference service plus clients)
# make bench  builds and prints BENCH lines
# make fuzz   builds build-fuzz/ with clang and runs every libFuzzer target FUZZ_SECONDS each
# make tsan   builds build-tsan/ with ThreadSanitizer and runs ctest on it
# make screenshots  builds and takes docs/window-zh.png (tools/screenshots.sh LANG for others)
# make install  builds the client and installs it under PREFIX (default /usr/local), honouring DESTDIR
# make deb      builds the client and its Debian package build/kestrine_<build>_<arch>.deb
# make check    the house checks CI runs first: clang-format over the tree, clang-tidy over client/ and server/
# make format   formats the tree with .clang-format

JOBS ?= $(shell nproc)
PACKAGES := g++ cmake make pkg-config libsqlite3-dev libcurl4-openssl-dev libcrypto++-dev zlib1g-dev \
            libpugixml-dev libcpp-httplib-dev googletest libgtest-dev libgmock-dev libbenchmark-dev \
            qt6-base-dev qt6-l10n-tools qt6-tools-dev fonts-noto-cjk xvfb rdiff rsync curl procps \
            trayer x11-apps x11-utils imagemagick xdotool libsecret-1-dev dbus gnome-keyring \
            dpkg-dev file clang-format clang-tidy
# libFuzzer comes with clang's runtime; only `make fuzz` needs them.
FUZZ_PACKAGES := clang libclang-rt-14-dev
# The sanitizer runtime of g++ (normally already there with g++).
TSAN_PACKAGES := libtsan2
# The peer the whole-system benches compare against (rsync is in PACKAGES); only `make bench`.
BENCH_PACKAGES := syncthing
# The pictures of docs/ build a locale the system may not have generated; only `make screenshots`.
DOC_PACKAGES := locales
PREFIX ?= /usr/local
FUZZ_SECONDS ?= 60
FUZZ_JOBS ?= 2
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps deps-fuzz deps-tsan deps-bench deps-doc screenshots build build-asan build-fuzz build-tsan build-client \
        check test fuzz tsan run bench install deb clean format

# install_missing: installs those of the packages in $(1) that are not installed yet.
define install_missing
	@missing=""; for p in $(1); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi
endef

deps:
	$(call install_missing,$(PACKAGES))

deps-fuzz: deps
	$(call install_missing,$(FUZZ_PACKAGES))

deps-tsan: deps
	$(call install_missing,$(TSAN_PACKAGES))

deps-bench: deps
	$(call install_missing,$(BENCH_PACKAGES))

deps-doc: deps
	$(call install_missing,$(DOC_PACKAGES))

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

# Only what the client's installation holds: the program and its manual page.
build-client: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS) --target kestrine kestrine_manpage

install: build-client
	DESTDIR="$(DESTDIR)" cmake --install build --prefix "$(PREFIX)"

# dpkg-shlibdeps (dpkg-dev) and file give the package its dependencies.
deb: build-client
	cd build && cpack -G DEB -B "$(CURDIR)/build"

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRINE_SANITIZE=ON -DKESTRINE_BUILD_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)

test: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

build-fuzz: deps-fuzz
	cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
	  -DKESTRINE_FUZZ=ON -DKESTRINE_BUILD_TESTS=OFF -DKESTRINE_BUILD_BENCH=OFF >/dev/null
	cmake --build build-fuzz -j $(JOBS) --target $$(sed -n 's/^kestrine_fuzzer(\([a-z_0-9]*\).*/\1_fuzz/p' fuzz/CMakeLists.txt)

# New finds stay under build-fuzz/fuzz-out; a crash fails the target and names its input.
fuzz: build-fuzz
	./tools/fuzz.sh --build build-fuzz --seconds $(FUZZ_SECONDS) --jobs $(FUZZ_JOBS)

build-tsan: deps-tsan
	cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DKESTRINE_TSAN=ON -DKESTRINE_BUILD_BENCH=OFF >/dev/null
	cmake --build build-tsan -j $(JOBS)

# halt_on_error: the first race fails its test; tools/tsan.supp names third-party code only. The
# end-to-end waits stretch by KESTRINE_TEST_SLOWDOWN, as the instrumented client runs slower.
tsan: build-tsan
	cd build-tsan && TSAN_OPTIONS="halt_on_error=1 second_deadlock_stack=1 suppressions=$(CURDIR)/tools/tsan.supp" \
	  KESTRINE_TEST_SLOWDOWN=3 \
	  ctest --output-on-failure -j $(JOBS)

run: build
	./tools/demo.sh

bench: build deps-bench
	./bench/run.sh build

screenshots: build deps-doc
	./tools/screenshots.sh zh_CN.UTF-8 build docs/window-zh.png

format:
	git ls-files -- '*.cpp' '*.h' | xargs clang-format -i

# clang-tidy reads the compile commands of build/, which configuring alone writes.
check: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	tools/check.sh --build build

clean:
	rm -rf build build-asan build-fuzz build-tsan
