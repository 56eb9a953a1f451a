# Kestrine client: set-up, build, tests and the demo on a Debian machine.
# make test   installs missing packages, builds build/ and build-asan/, runs ctest on both
# make run    builds and starts the demo (reference service plus clients)
# make bench  builds and prints BENCH lines

JOBS ?= $(shell nproc)
PACKAGES := g++ cmake make pkg-config libsqlite3-dev libcurl4-openssl-dev libcrypto++-dev zlib1g-dev \
            libpugixml-dev libcpp-httplib-dev googletest libgtest-dev libgmock-dev libbenchmark-dev \
            qt6-base-dev fonts-noto-cjk xvfb rdiff rsync curl procps \
            trayer x11-apps imagemagick xdotool libsecret-1-dev dbus gnome-keyring
SUDO := $(shell [ "$$(id -u)" = 0 ] || echo sudo)

.PHONY: deps build build-asan test run bench clean format

deps:
	@missing=""; for p in $(PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q "ok installed" || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  $(SUDO) apt-get update -qq && DEBIAN_FRONTEND=noninteractive $(SUDO) apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
	cmake --build build -j $(JOBS)

build-asan: deps
	cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DKESTRINE_SANITIZE=ON -DKESTRINE_BUILD_BENCH=OFF >/dev/null
	cmake --build build-asan -j $(JOBS)

test: build build-asan
	cd build && ctest --output-on-failure -j $(JOBS)
	cd build-asan && ASAN_OPTIONS=detect_leaks=1 UBSAN_OPTIONS=print_stacktrace=1 ctest --output-on-failure -j $(JOBS)

run: build
	./tools/demo.sh

bench: build
	./bench/run.sh build

format:
	find client server tests bench fuzz tools -name '*.cpp' -o -name '*.h' | xargs clang-format -i

clean:
	rm -rf build build-asan
