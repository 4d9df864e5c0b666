# cmake -DPREFIX=... -DVERSION=... -DLIBDIR=... -DPYTHON_DIR=... -DCHANGELOG=... -DPYTHON=... -P check_version.cmake
# Every place that states the version says project(VERSION): the tool, the
# pkg-config file, the CMake package, the Python package and the newest
# release in the changelog.
function(expect what got)
  if(NOT got STREQUAL VERSION)
    message(SEND_ERROR "${what} says '${got}', project(VERSION) says '${VERSION}'")
  endif()
endfunction()

execute_process(COMMAND "${PREFIX}/bin/vqr" --version OUTPUT_VARIABLE out
  OUTPUT_STRIP_TRAILING_WHITESPACE)
string(REGEX REPLACE "^vqr " "" out "${out}")
expect("vqr --version" "${out}")

file(STRINGS "${PREFIX}/${LIBDIR}/pkgconfig/vantelor-qrcode.pc" line REGEX "^Version:")
string(REGEX REPLACE "^Version: *" "" out "${line}")
expect("the pkg-config file" "${out}")

set(PACKAGE_FIND_VERSION "${VERSION}")
include("${PREFIX}/${LIBDIR}/cmake/vantelor-qrcode/vantelor-qrcode-config-version.cmake")
expect("the CMake package" "${PACKAGE_VERSION}")

execute_process(COMMAND "${PYTHON}" -c "import vantelor_qrcode; print(vantelor_qrcode.__version__)"
  WORKING_DIRECTORY "${PREFIX}/${PYTHON_DIR}" OUTPUT_VARIABLE out OUTPUT_STRIP_TRAILING_WHITESPACE)
expect("vantelor_qrcode.__version__" "${out}")

file(STRINGS "${CHANGELOG}" releases REGEX "^## \\[[0-9]")
list(GET releases 0 newest)
string(REGEX REPLACE "^## \\[([^]]*)\\].*" "\\1" out "${newest}")
expect("the newest release in CHANGELOG.md" "${out}")
