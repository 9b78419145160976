# Front door for newcomers: `make demo` and `make test` (run as root on Debian).
BUILD_DIR ?= build
JOBS ?= 2
CMAKE_FLAGS ?=
DEB_PACKAGES := cmake g++ make libgtest-dev nlohmann-json3-dev iproute2 util-linux libcap2-bin groff-base python3 python3-jsonschema \
               bash-completion dpkg-dev file

.PHONY: all deps build test demo install deb clean

all: build

# Installs the Debian packages the build and the tests need, when any is missing.
deps:
	@missing=""; for p in $(DEB_PACKAGES); do \
	  dpkg-query -W -f='$${Status}' $$p 2>/dev/null | grep -q 'install ok installed' || missing="$$missing $$p"; \
	done; \
	if [ -n "$$missing" ]; then \
	  echo "installing:$$missing"; \
	  apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq $$missing; \
	fi

build: deps
	cmake -S . -B $(BUILD_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo $(CMAKE_FLAGS)
	cmake --build $(BUILD_DIR) -j $(JOBS)

test: build
	cd $(BUILD_DIR) && ctest --output-on-failure --timeout 900

demo: build
	./lab/demo.sh $(BUILD_DIR)

install: build
	$(if $(filter 1,$(SETCAP)),HOPRATE_SETCAP=1 )cmake --install $(BUILD_DIR) $(if $(PREFIX),--prefix $(PREFIX))

# The Debian package, $(BUILD_DIR)/hoprate_VERSION_ARCH.deb (install it with apt install ./FILE).
deb: build
	cd $(BUILD_DIR) && cpack -G DEB

clean:
	rm -rf $(BUILD_DIR)
