# Fails the build with a clear message when the host-built demo package is missing.
if(NOT EXISTS "${ZIP}")
    message(FATAL_ERROR "The demo package ${ZIP} is missing. Build it on the host first "
        "(cmake --preset dev && cmake --build --preset dev --target zx_demo_package) or set "
        "ZX_HOST_DEMO_PACKAGE_ZIP to a demo-package.zip.")
endif()
