# cmake -DBUILD_DIR=... -DPREFIX=... -P install_into.cmake
# A fresh install of the build tree into PREFIX, as a user would make it.
file(REMOVE_RECURSE "${PREFIX}")
execute_process(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${PREFIX}"
  OUTPUT_QUIET RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install into ${PREFIX} failed (${rc})")
endif()
foreach(f bin/vqr include/vantelor_qrcode.h share/man/man1/vqr.1)
  if(NOT EXISTS "${PREFIX}/${f}")
    message(FATAL_ERROR "installed tree lacks ${f}")
  endif()
endforeach()
