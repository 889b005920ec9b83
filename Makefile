# The two commands of the README.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: test build deps demo clean

deps:
	scripts/install-deps

# A test build: the test seams (ZUVO_TEST_HOOKS) are on, as the tests and the demo need them.
build: deps
	cmake -S . -B $(BUILD) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DZUVO_TEST_HOOKS=ON
	cmake --build $(BUILD) -j $(JOBS)

test: build
	cd $(BUILD) && dbus-run-session -- env QT_QPA_PLATFORM=offscreen \
	  ctest --output-on-failure -j $(JOBS) --timeout 600

demo: build
	scripts/demo $(BUILD)

clean:
	rm -rf $(BUILD)
