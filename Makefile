# Everything starts here: `make demo`, `make test`.
PYTHON ?= $(shell scripts/find-python.sh)
VENV ?= .venv
# One build folder per interpreter (build/cpython-311, build/cpython-314t, ...): switching PYTHON
# never reuses a CMake cache made for another interpreter.
PY_TAG := $(shell $(PYTHON) -c 'import sys; \
	print(sys.implementation.name + "-%d%d" % sys.version_info[:2] + getattr(sys, "abiflags", ""))')
# PORTABLE_SCAN=ON: the CSV scanner's plain C++ body on every CPU (what CPUs other than x86-64 and
# AArch64 run), in a build folder of its own: `make test PORTABLE_SCAN=ON`.
PORTABLE_SCAN ?= OFF
BUILD_DIR ?= build/$(or $(PY_TAG),unknown-python)$(if $(filter ON,$(PORTABLE_SCAN)),-portable-scan)
WERROR ?= ON

PY := $(VENV)/bin/python
RUN := PYTHONPATH=$(CURDIR)/$(BUILD_DIR) $(PY)

.PHONY: all setup build test demo clean format check-format

all: build

setup:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/setup.sh

# $(call cmake_build,DIR,EXTRA CMAKE ARGS): configure (quick when nothing changed) and build.
define cmake_build
	@[ -f $(1)/CMakeCache.txt ] || echo "build: configuring $(1) with CMake (compiler, Python, pybind11, simdjson)"
	@$(VENV)/bin/cmake -S . -B $(1) -G Ninja -DPython_EXECUTABLE=$(CURDIR)/$(PY) \
		-Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja -DKELVRA_WERROR=$(WERROR) $(2) >/dev/null
	@$(VENV)/bin/cmake --build $(1)
endef

build: setup
	$(call cmake_build,$(BUILD_DIR),-DCMAKE_BUILD_TYPE=Release -DKELVRA_PORTABLE_SCAN=$(PORTABLE_SCAN))

test: build check-format
	$(RUN) -m pytest $(PYTEST_ARGS)

# The C and C++ sources follow .clang-format: `make format` rewrites them, and `make test` (so CI)
# fails on any line it would change. clang-format is pinned in the requirements files.
FORMAT_SOURCES = $(shell find core io text bindings tests -name '*.cpp' -o -name '*.h' -o -name '*.c' 2>/dev/null)

format: setup
	@$(VENV)/bin/clang-format -i $(FORMAT_SOURCES)

check-format: setup
	@$(VENV)/bin/clang-format --dry-run --Werror $(FORMAT_SOURCES) || \
		{ echo "check-format: run 'make format' to lay these sources out as .clang-format says"; exit 1; }

demo: build
	$(RUN) examples/quickstart.py

# Kelvra inside Dask: files read in the tasks of a local cluster of two worker processes
# (examples/dask_files.py; dask and distributed are pinned in requirements-dev.txt).
.PHONY: demo-dask
demo-dask: build
	$(RUN) examples/dask_files.py

clean:
	rm -rf build

# --- Sanitizers: the whole suite against an ASan + UBSan build -------------------------------
SANITIZE_DIR ?= build/sanitize-$(or $(PY_TAG),unknown-python)

.PHONY: sanitize
sanitize: setup
	$(call cmake_build,$(SANITIZE_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_SANITIZE=ON)
	scripts/sanitize.sh $(SANITIZE_DIR) $(PYTEST_ARGS)

# --- Fuzzing: libFuzzer targets of both readers, built with clang ---------------------------
FUZZ_DIR ?= build/fuzz
FUZZ_SECONDS ?= 60

.PHONY: fuzz
fuzz: export EXTRA_APT_PACKAGES = clang libclang-rt-14-dev
fuzz: setup
	$(call cmake_build,$(FUZZ_DIR),-DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELVRA_FUZZ=ON -DCMAKE_CXX_COMPILER=clang++)
	scripts/fuzz.sh $(FUZZ_DIR) $(FUZZ_SECONDS)

# --- The suite on CPython 3.14, in a Debian unstable tree cached under build/ (needs root).
.PHONY: test-py314
test-py314: setup
	HOST_PYTHON=$(CURDIR)/$(PY) scripts/test-py314.sh

# --- The suite, the fuzzers' corpora and the wheel on 64-bit ARM (aarch64), under emulation, in a
# Debian tree cached under build/aarch64-root (needs root). The wheel lands in dist/.
.PHONY: test-aarch64
test-aarch64: setup
	HOST_PYTHON=$(CURDIR)/$(PY) scripts/test-aarch64.sh

# --- Benchmarks against pandas, polars and pyarrow: `make bench`, `make bench SIZE=100000` ------
# Never part of `make test`. The peers, pinned in benchmarks/requirements.txt, go into the same
# .venv; BENCH_ARGS passes more options to the runner (`--repeat 3`, `--libraries kelvra,pandas`).
SIZE ?= 1000000
BENCH_ARGS ?=

# read_csv is timed once more with the portable CSV scanner's build (PORTABLE_SCAN=ON).
PORTABLE_SCAN_DIR = build/$(or $(PY_TAG),unknown-python)-portable-scan

.PHONY: bench bench-stages
bench: build
	@$(MAKE) --no-print-directory build PORTABLE_SCAN=ON BUILD_DIR=$(PORTABLE_SCAN_DIR)
	@PYTHON="$(PYTHON)" VENV="$(VENV)" EXTRA_REQUIREMENTS=benchmarks/requirements.txt scripts/setup.sh
	$(RUN) -m benchmarks --size $(SIZE) --portable-scan-build $(PORTABLE_SCAN_DIR) $(BENCH_ARGS)

# Many files, more than one core: the bench table of each size split into FILES files, read and
# summed by Kelvra in Dask (1 and 2 worker processes), dask.dataframe.read_csv, polars and DuckDB
# (benchmarks/files.py). Both 1,000,000 and 10,000,000 rows unless SIZE is given:
# `make bench-files SIZE=1000000`. The peers are those of requirements-dev.txt.
FILES ?= 8
BENCH_FILES_SIZES = $(if $(filter command line environment,$(origin SIZE)),$(SIZE),1000000 10000000)

.PHONY: bench-files
bench-files: build
	$(RUN) -m benchmarks.files --size $(BENCH_FILES_SIZES) --files $(FILES) $(BENCH_ARGS)

# The CSV reader's stages timed one by one on the benchmark's table of SIZE rows, then on a
# generated file of one column per kind of field (benchmarks/csv_stages.cpp).
bench-stages: build
	@$(VENV)/bin/cmake --build $(BUILD_DIR) --target csv_stages
	@[ -f build/bench-data/table-v1-$(SIZE).csv ] || $(RUN) -m benchmarks.data $(SIZE)
	$(BUILD_DIR)/csv_stages build/bench-data/table-v1-$(SIZE).csv
	$(BUILD_DIR)/csv_stages --kinds $(SIZE)

# --- Wheel: `make wheel` puts a manylinux wheel for PYTHON into dist/ -----------------------
# scikit-build-core builds it with the pinned tools of .venv (build/cp311-cp311-linux_x86_64/ and
# the like keep its CMake tree); auditwheel then copies simdjson into the wheel (kelvra.libs/) and
# points the module at that copy, so the wheel needs no simdjson on the machine it goes to.
# `make check-wheel` installs it into a new venv and runs the suite, mypy and stubtest against it.
WHEEL_RAW = build/wheel-raw/$(or $(PY_TAG),unknown-python)
WHEEL_JOBS ?= 2

.PHONY: wheel check-wheel setup-wheel
setup-wheel:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" EXTRA_REQUIREMENTS=requirements-wheel.txt scripts/setup.sh

wheel: setup-wheel
	@PATH="$(CURDIR)/$(VENV)/bin:$$PATH" CMAKE_BUILD_PARALLEL_LEVEL=$(WHEEL_JOBS) \
		scripts/wheel.sh $(PY) $(WHEEL_RAW) -Ccmake.define.KELVRA_WERROR=$(WERROR)

check-wheel: wheel
	PYTHON="$(PY)" scripts/check-wheel.sh

# --- The suite on a free-threaded CPython, built from source (Debian's python3.X source package).
# The interpreter is built once (configure --disable-gil) into build/free-threaded/python-VERSIONt
# and again only when FREE_THREADED_VERSION changes; the module is built for it with warnings as
# errors, in a venv and a build folder of its own, and the whole suite runs with it.
FREE_THREADED_VERSION ?= 3.13.5
# The Debian release whose source package python3.X holds that version.
FREE_THREADED_SUITE ?= trixie
FREE_THREADED_DIR ?= build/free-threaded
FREE_THREADED_PREFIX = $(FREE_THREADED_DIR)/python-$(FREE_THREADED_VERSION)t
FREE_THREADED_PYTHON = $(CURDIR)/$(FREE_THREADED_PREFIX)/bin/python$(basename $(FREE_THREADED_VERSION))t

.PHONY: test-free-threaded
test-free-threaded: export EXTRA_APT_PACKAGES = build-essential libssl-dev zlib1g-dev libffi-dev \
	libbz2-dev liblzma-dev xz-utils
test-free-threaded: setup
	FREE_THREADED_SUITE=$(FREE_THREADED_SUITE) \
		scripts/free-threaded-python.sh $(FREE_THREADED_VERSION) $(FREE_THREADED_PREFIX)
	@$(FREE_THREADED_PYTHON) -c 'import sys; print("free-threaded: sys.version", sys.version)'
	@REQUIREMENTS=requirements-free-threaded.txt CMAKE_BUILD_PARALLEL_LEVEL=2 \
		nice -n 10 $(MAKE) --no-print-directory test \
		PYTHON=$(FREE_THREADED_PYTHON) \
		VENV=$(FREE_THREADED_DIR)/venv BUILD_DIR=$(FREE_THREADED_DIR)/cmake WERROR=ON

# --- Portable wheels: `make wheels` puts into dist/ a wheel for every CPython these machines can
# run, for glibc 2.17 and newer (scripts/wheels.sh: Zig's compiler, simdjson compiled in), checks
# every shared object in each against the glibc 2.31 floor, and installs each into a new venv of
# its own interpreter to run the suite, mypy and stubtest against it (scripts/check-wheel.sh).
# x86-64: pyenv's 3.10-3.13 and the free-threaded build here, and as root the 3.14 of the
# test-py314 tree (made first when missing); aarch64 as root, below. `make test-bullseye` runs
# the cp311 wheel's suite in a Debian 11 tree (glibc 2.31).
WHEELS_VERSIONS ?= 3.10 3.11 3.12 3.13
# aarch64, as root, under qemu (scripts/wheel-aarch64.sh): trixie's CPython 3.13, unstable's 3.14.
AARCH64_WHEEL_SUITES ?= trixie unstable

.PHONY: wheels test-bullseye
wheels: export EXTRA_APT_PACKAGES = build-essential libssl-dev zlib1g-dev libffi-dev \
	libbz2-dev liblzma-dev xz-utils ccache
wheels: setup-wheel
	@FREE_THREADED_SUITE=$(FREE_THREADED_SUITE) \
		scripts/free-threaded-python.sh $(FREE_THREADED_VERSION) $(FREE_THREADED_PREFIX)
	@pythons="$$(scripts/find-pythons.sh $(WHEELS_VERSIONS)) $(FREE_THREADED_PYTHON)" && \
		HOST_PYTHON=$(PY) nice -n 10 scripts/wheels.sh build $$pythons && \
		HOST_PYTHON=$(PY) nice -n 10 scripts/wheels.sh check $$pythons
	@if [ "$$(id -u)" -eq 0 ]; then \
		[ -x build/py314-root/usr/bin/python3 ] || HOST_PYTHON=$(CURDIR)/$(PY) scripts/test-py314.sh; \
		HOST_PYTHON=$(CURDIR)/$(PY) nice -n 10 scripts/wheel-py314.sh; \
	else \
		echo "wheels: SKIPPED the CPython 3.14 wheel: its tree needs root (chroot, bind mounts)"; \
	fi
	@if [ "$$(id -u)" -eq 0 ]; then \
		made=; missing=; \
		for suite in $(AARCH64_WHEEL_SUITES); do \
			rc=0; HOST_PYTHON=$(CURDIR)/$(PY) nice -n 10 scripts/wheel-aarch64.sh $$suite || rc=$$?; \
			case $$rc in 0) made="$$made $$suite" ;; 3) missing="$$missing $$suite" ;; *) exit $$rc ;; esac; \
		done; \
		echo "wheels: aarch64 wheels made in the Debian trees of:$${made:- none}; not made, no arm64 tree to be had:$${missing:- none}"; \
	else \
		echo "wheels: SKIPPED the aarch64 wheels: their trees need root (mmdebstrap, chroot, binfmt_misc)"; \
	fi
	@ls -1 dist/kelvra-*manylinux_2_17*.whl

test-bullseye: setup
	HOST_PYTHON=$(CURDIR)/$(PY) nice -n 10 scripts/test-bullseye.sh
