# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DSTAGE=... -DOUT=... -DLIBDIR=...
#       -DDOCDIR=... -DPYTHON_DIR=... -DPYTHON=... -P wheel.cmake
# Builds the wheel from an install of the build: the Python package, the
# library and yyjson beside it (under their sonames: a wheel holds no
# symbolic links; the library finds yyjson through its run path $ORIGIN) and
# the licences, packed by python3 -m build without network or isolation.
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${STAGE}/prefix"
  OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
set(src "${STAGE}/src")
set(pkg "${src}/vantelor_qrcode")
file(COPY "${STAGE}/prefix/${PYTHON_DIR}/vantelor_qrcode" DESTINATION "${src}")
file(WRITE "${pkg}/_installed.py"
  "# Written for the wheel: the library lies in this package's own folder.\nLIBDIR = \".\"\n")
foreach(lib libvantelor-qrcode.so.1 libyyjson.so.0)
  file(COPY_FILE "${STAGE}/prefix/${LIBDIR}/${lib}" "${pkg}/${lib}")
endforeach()
file(COPY "${SOURCE_DIR}/python/pyproject.toml" "${SOURCE_DIR}/python/setup.py"
  "${STAGE}/prefix/${DOCDIR}/LICENSE" "${STAGE}/prefix/${DOCDIR}/licenses" DESTINATION "${src}")
execute_process(COMMAND "${PYTHON}" -m build --wheel --no-isolation --outdir "${OUT}" "${src}"
  COMMAND_ERROR_IS_FATAL ANY)
