# The project's entry points. Each one first makes sure the Debian packages it
# needs are present (installing them when run as root).
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: all run test bench qemu deps clean

all: deps
	@mkdir -p $(BUILD)
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo > $(BUILD)/configure.log 2>&1 \
	  || { cat $(BUILD)/configure.log; exit 1; }
	@cmake --build $(BUILD) -j $(JOBS) 2>&1 \
	  | { grep -v -E '^\[ *[0-9]+%\]|: (Entering|Leaving) directory' || true; }

run: all
	$(BUILD)/peim-sim $(BUILD)/UsbControllerPeim.efi

test: all
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS)

bench: all
	@scripts/bench.sh $(BUILD)

qemu: all
	testbed/run-qemu.sh $(BUILD)

deps:
	@scripts/install-deps.sh

clean:
	rm -rf $(BUILD)
