# Everything starts here: `make demo`, `make test`.
PYTHON ?= $(shell scripts/find-python.sh)
VENV ?= .venv
BUILD_DIR ?= build/cmake
WERROR ?= ON

PY := $(VENV)/bin/python
RUN := PYTHONPATH=$(CURDIR)/$(BUILD_DIR) $(PY)

.PHONY: all setup build test demo clean

all: build

setup:
	@PYTHON="$(PYTHON)" VENV="$(VENV)" scripts/setup.sh

build: setup
	@$(VENV)/bin/cmake -S . -B $(BUILD_DIR) -G Ninja -DCMAKE_BUILD_TYPE=Release \
		-DPython_EXECUTABLE=$(CURDIR)/$(PY) -Dpybind11_DIR="$$($(PY) -m pybind11 --cmakedir)" \
		-DCMAKE_MAKE_PROGRAM=$(CURDIR)/$(VENV)/bin/ninja -DKELVRA_WERROR=$(WERROR) >/dev/null
	@$(VENV)/bin/cmake --build $(BUILD_DIR)

test: build
	$(RUN) -m pytest $(PYTEST_ARGS)

demo: build
	$(RUN) examples/quickstart.py

clean:
	rm -rf build

# The suite on CPython 3.14, in a Debian unstable tree cached under build/ (needs root).
.PHONY: test-py314
test-py314: setup
	HOST_PYTHON=$(CURDIR)/$(PY) scripts/test-py314.sh
