# The two entry points README.md documents. Both install what is missing first.
BUILD ?= build
JOBS ?= $(shell nproc)

.PHONY: deps configure build test demo bench format clean

deps:
	@scripts/install-deps

configure: deps
	@[ -f $(BUILD)/build.ninja ] || cmake --preset default >/dev/null

build: configure
	@cmake --build $(BUILD) -j $(JOBS)

test: build
	@cd $(BUILD) && ctest --output-on-failure -j $(JOBS) --timeout 300

demo: build
	@$(BUILD)/tools/quillhaven-cli serve $(if $(PORT),--port $(PORT)) $(BUILD)/tools/sample.db

bench: build
	@bench/run-all $(BUILD)

format:
	@git ls-files '*.cpp' '*.h' | xargs clang-format -i

clean:
	rm -rf $(BUILD)
