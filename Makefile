# Two entry points for a fresh machine:
#   make demo   configure, build the library and the quick-start example
#               (nothing else), and run the example
#   make test   configure, build everything and run every test
BUILD ?= build
CMAKE_FLAGS ?=
JOBS ?= $(shell nproc)
CTEST_ARGS ?=

.PHONY: all configure build demo test install clean

all: build

configure:
	cmake -S . -B $(BUILD) $(CMAKE_FLAGS)

build: configure
	cmake --build $(BUILD) -j $(JOBS)

demo: configure
	cmake --build $(BUILD) -j $(JOBS) --target quickstart
	./$(BUILD)/quickstart

test: build
	cd $(BUILD) && ctest --output-on-failure -j $(JOBS) $(CTEST_ARGS)

install: build
	cmake --install $(BUILD)

clean:
	rm -rf $(BUILD)
