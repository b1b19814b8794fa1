# The project's entry points. Each one first makes sure the Debian packages it
# needs are present (installing them when run as root).
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The sanitizer tree (clang, ASan and UBSan, the fuzz targets); it takes the
# IA-32 images from $(BUILD) instead of building them again.
SANITIZE_BUILD ?= $(BUILD)/sanitize
FUZZ_SECONDS ?= 60

# Build output without the progress and directory lines: what remains is a
# warning, an error, or a line a tool prints on purpose (pe-check's size line;
# `make bench` hides that one too, as bench.sh prints the figure itself).
NOISE_PROGRESS := ^\[ *[0-9]+%\]|: (Entering|Leaving) directory
NOISE_CMAKE := ^-- ia32_images .* succeeded|^-- (Configuring done|Generating done|Build files have been written)
QUIET_BUILD = { grep -v -E '$(NOISE_PROGRESS)|$(NOISE_CMAKE)$(HIDE_FROM_BUILD)' || true; }

.PHONY: all run test sanitize fuzz bench qemu deps clean

all: deps
	@mkdir -p $(BUILD)
	@echo "[build] configuring host tools in $(BUILD)/"
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > $(BUILD)/configure.log 2>&1 \
	  || { cat $(BUILD)/configure.log; exit 1; }
	@echo "[build] building IA-32 images (module and test bed)"
	@cmake --build $(BUILD) -j $(JOBS) --target ia32_images 2>&1 | $(QUIET_BUILD)
	@echo "[build] building tools and tests ($(JOBS) jobs)"
	@cmake --build $(BUILD) -j $(JOBS) 2>&1 | $(QUIET_BUILD)

# The sanitizer tree, configured and built (a recipe, not a target, so that
# test, sanitize and fuzz run it after `all` without building `all` twice).
define build_sanitize_tree
	@mkdir -p $(SANITIZE_BUILD)
	@echo "[sanitize] configuring host tools with clang++, ASan and UBSan in $(SANITIZE_BUILD)/"
	@cmake -S . -B $(SANITIZE_BUILD) -DCMAKE_CXX_COMPILER=clang++ -DUSB_PEIM_SANITIZE=ON \
	  -DUSB_PEIM_IMAGES_DIR=$(abspath $(BUILD)) > $(SANITIZE_BUILD)/configure.log 2>&1 \
	  || { cat $(SANITIZE_BUILD)/configure.log; exit 1; }
	@echo "[sanitize] building tools, tests and fuzz targets ($(JOBS) jobs)"
	@cmake --build $(SANITIZE_BUILD) -j $(JOBS) 2>&1 | $(QUIET_BUILD)
endef

define run_sanitize_tests
	@echo "[sanitize] running the tests under ASan and UBSan, and the fuzz corpora once"
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS)
endef

run: all
	$(BUILD)/peim-sim $(BUILD)/UsbControllerPeim.efi

test: all
	@echo "[test] running the tests"
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)
	$(build_sanitize_tree)
	$(run_sanitize_tests)

sanitize: all
	$(build_sanitize_tree)
	$(run_sanitize_tests)

fuzz: all
	$(build_sanitize_tree)
	@scripts/fuzz.sh $(SANITIZE_BUILD) $(CURDIR) $(FUZZ_SECONDS) $(JOBS)

bench: HIDE_FROM_BUILD = |/UsbControllerPeim\.efi: [0-9]+ bytes =
bench: all
	@scripts/bench.sh $(BUILD)

qemu: all
	testbed/run-qemu.sh $(BUILD)

deps:
	@scripts/install-deps.sh

clean:
	rm -rf $(BUILD)
