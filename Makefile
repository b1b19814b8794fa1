# The project's entry points. Each one first makes sure the Debian packages it
# needs are present (installing them when run as root).
SHELL := /bin/bash
.SHELLFLAGS := -o pipefail -c
BUILD ?= build
JOBS ?= $(shell nproc 2>/dev/null || echo 2)
# The sanitizer tree (clang, ASan and UBSan, the fuzz targets); it takes the
# IA-32 images from $(BUILD) instead of building them again.
SANITIZE_BUILD ?= $(BUILD)/sanitize
# The fuzz targets again, optimised, for `make fuzz`.
FUZZ_BUILD ?= $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
# Tests the sanitizer tree leaves to the main tree: the runs on OVMF's whole
# volume (mostly LZMA in liblzma, which is not instrumented) and the longest
# emulations; the smaller tests and the fuzz corpora take the same code
# through the sanitizers.
SANITIZE_SKIP ?= ^fv\.Ovmf\.|OnOvmf$$|LargeBudget|PortLoopAsJson|TruncatedTraces

# Line tables only (-g1): backtraces and stepping by line still work, and the
# host build takes a third less time than with full debug information.
HOST_FLAGS := -O2 -g1 -DNDEBUG

.PHONY: all run test sanitize fuzz bench qemu qemu-usb install deps clean

define configure_tree
	@mkdir -p $(BUILD)
	@echo "[build] configuring host tools in $(BUILD)/"
	@cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	  -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="$(HOST_FLAGS)" > $(BUILD)/configure.log 2>&1 \
	  || { cat $(BUILD)/configure.log; exit 1; }
endef

# Builds the CMake targets $(1) (all of them when empty), progress by steps.
define build_targets
	@total=$(if $(1),$$(cmake --build $(BUILD) --target $(1) -- -n 2>/dev/null \
	  | grep -cE '(Building|Linking) CXX'),0); \
	cmake --build $(BUILD) -j $(JOBS) $(if $(1),--target $(1)) 2>&1 \
	  | awk -v tag=build -v marks=$(BUILD)/CMakeFiles/progress.marks -v total=$$total \
	    -v hide='$(HIDE_FROM_BUILD)' -f scripts/build-filter.awk
endef

all: deps
	$(configure_tree)
	@echo "[build] building the IA-32 images, the host tools and the tests ($(JOBS) jobs)"
	$(call build_targets,)

# `make run` builds what the run needs (the module's images, their checks and
# peim-sim), not the tests; from a fresh clone that takes about 35 s on two
# cores (measured, see the README).
RUN_TARGETS := check_image peim-sim
run: deps
	@[ -x $(BUILD)/peim-sim ] || echo "[run] first run: building the IA-32 images, their checks and" \
	  "peim-sim only (about 35 s on two idle cores); \`make\` builds the rest"
	$(configure_tree)
	@date +%s > $(BUILD)/.run-start
	@echo "[build] building the IA-32 images, their checks and peim-sim ($(JOBS) jobs)"
	$(call build_targets,$(RUN_TARGETS))
	@echo "[run] built in $$(( $$(date +%s) - $$(cat $(BUILD)/.run-start) )) s"; rm -f $(BUILD)/.run-start
	$(BUILD)/peim-sim $(BUILD)/UsbControllerPeim.efi

# The main tests, then the sanitizer tree's (built while the main tests run).
test: all
	@scripts/test.sh $(BUILD) $(SANITIZE_BUILD) $(JOBS) '$(SANITIZE_SKIP)'

# The sanitizer tree alone (after the main build, whose images it uses).
sanitize: all
	@scripts/sanitize-build.sh $(BUILD) $(SANITIZE_BUILD) $(JOBS)
	@echo "[sanitize] running the tests under ASan and UBSan, and every fuzz corpus once"
	cd $(SANITIZE_BUILD) && ctest --output-on-failure -j $(JOBS) -E '$(SANITIZE_SKIP)' \
	  | awk -f $(CURDIR)/scripts/ctest-filter.awk

fuzz: all
	@scripts/sanitize-build.sh $(BUILD) $(FUZZ_BUILD) $(JOBS) --fuzz
	@scripts/fuzz.sh $(FUZZ_BUILD) $(CURDIR) $(FUZZ_SECONDS) $(JOBS)

# bench.sh prints the image sizes itself: the build's size lines are not shown.
bench: HIDE_FROM_BUILD = UsbControllerPeim[.](efi|te): [0-9]+ bytes =
bench: all
	@scripts/bench.sh $(BUILD)

# FIRMWARE=FD boots an image of one's own, KEEP=DIR keeps the boot's logs,
# TRACE=pci adds QEMU's PCI configuration trace to them, QEMU_ARGS="..." go
# to QEMU's command line (see testbed/README.md).
qemu: all
	testbed/run-qemu.sh $(BUILD) $(if $(FIRMWARE),--firmware $(FIRMWARE)) $(if $(KEEP),--keep $(KEEP)) \
	  $(if $(TRACE),--trace $(TRACE)) $(foreach a,$(QEMU_ARGS),--qemu-arg $(a))

# EDK2's PEI USB stack reads a USB stick through the module, the stick on each
# EHCI controller in turn (BUS_MASTER=1: with the bus-master platform PEIM).
qemu-usb: all
	testbed/run-qemu-usb.sh $(BUILD) --controller all $(if $(BUS_MASTER),--bus-master)

# The tools with their manual pages and bash completion, the images and
# firmware files, the test bed's Stall provider and the EDK2 kit, under
# $(DESTDIR)$(PREFIX) (see cmake/install.cmake for where each goes).
PREFIX ?= /usr/local
install: all
	@echo "[install] into $(DESTDIR)$(PREFIX)"
	@DESTDIR="$(DESTDIR)" cmake --install $(BUILD) --prefix "$(PREFIX)" \
	  | sed 's/^-- /[install]   /'

deps:
	@scripts/install-deps.sh

clean:
	rm -rf $(BUILD)
