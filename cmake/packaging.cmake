# Licences, version file, wheel and Debian package. Included at the end of
# the top-level CMakeLists.txt, once every target and install rule exists.

# The interpreter that python/ chose (its choice is cached).
find_package(Python3 COMPONENTS Interpreter)

# ---- Documents ----------------------------------------------------------------

# Our licence, the notices of the third-party code in the binaries, and the
# changelog travel with every install (and so with the .deb).
install(FILES LICENSE CHANGELOG.md DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(DIRECTORY licenses/ DESTINATION ${CMAKE_INSTALL_DOCDIR}/licenses)

# The Python package's version, written from project(VERSION).
set(VQR_PY_VERSION_FILE "${PROJECT_BINARY_DIR}/python/_version.py")
file(WRITE "${VQR_PY_VERSION_FILE}"
  "# Written at build time from the CMake project version.\n__version__ = \"${PROJECT_VERSION}\"\n")
install(FILES "${VQR_PY_VERSION_FILE}" DESTINATION "${VQR_PYTHON_DIR}/vantelor_qrcode")

# ---- Third-party components ---------------------------------------------------

# Names every third-party component that the shared library is built from or
# ships with: each library file it links and each source file its object
# libraries compile from outside this project, and each include folder they
# use under VQR_DEPS_DIR (header-only code such as stb). A path under
# VQR_DEPS_DIR is named by its folder there (quirc-1.2 gives quirc), a library
# elsewhere by its file name (libqrcodegen.a gives qrcodegen). The toolchain's
# own libraries (m, stdc++) are linked by bare name and are not counted.
function(vqr_third_party_components out)
  set(files "")
  set(includes "")
  get_target_property(links vantelor-qrcode LINK_LIBRARIES)
  get_target_property(sources vantelor-qrcode SOURCES)
  string(REGEX MATCHALL "TARGET_OBJECTS:[A-Za-z0-9_]+" objects "${sources}")
  list(TRANSFORM objects REPLACE "TARGET_OBJECTS:" "")
  foreach(obj IN LISTS objects)
    get_target_property(dir ${obj} SOURCE_DIR)
    get_target_property(obj_sources ${obj} SOURCES)
    list(TRANSFORM obj_sources PREPEND "${dir}/" REGEX "^[^/]")
    get_target_property(obj_includes ${obj} INCLUDE_DIRECTORIES)
    get_target_property(obj_links ${obj} LINK_LIBRARIES)
    list(APPEND files ${obj_sources})
    list(APPEND includes ${obj_includes})
    list(APPEND links ${obj_links})
  endforeach()
  foreach(lib IN LISTS links)
    if(TARGET ${lib})
      set(props IMPORTED_LOCATION)
      get_target_property(configs ${lib} IMPORTED_CONFIGURATIONS)
      if(configs)
        string(TOUPPER "${configs}" configs)
        list(TRANSFORM configs PREPEND IMPORTED_LOCATION_)
        list(APPEND props ${configs})
      endif()
      foreach(prop IN LISTS props)
        get_target_property(location ${lib} ${prop})
        if(location)
          list(APPEND files "${location}")
          break()
        endif()
      endforeach()
      get_target_property(lib_includes ${lib} INTERFACE_INCLUDE_DIRECTORIES)
      list(APPEND includes ${lib_includes})
    elseif(IS_ABSOLUTE "${lib}")
      list(APPEND files "${lib}")
    endif()
  endforeach()
  string(GENEX_STRIP "${includes}" includes)
  set(names "")
  foreach(path IN LISTS files includes)
    cmake_path(IS_PREFIX VQR_DEPS_DIR "${path}" NORMALIZE in_deps)
    if(in_deps)
      file(RELATIVE_PATH rel "${VQR_DEPS_DIR}" "${path}")
      string(REGEX REPLACE "/.*" "" name "${rel}")
    elseif(path IN_LIST files AND NOT path MATCHES "^(${PROJECT_SOURCE_DIR}|${PROJECT_BINARY_DIR})/")
      get_filename_component(name "${path}" NAME)
      string(REGEX REPLACE "^lib(.*)\\.(a|so)(\\..*)?$" "\\1" name "${name}")
    else()
      continue()
    endif()
    string(REGEX REPLACE "-[0-9.]+$" "" name "${name}")
    list(APPEND names "${name}")
  endforeach()
  list(REMOVE_DUPLICATES names)
  list(SORT names)
  set(${out} "${names}" PARENT_SCOPE)
endfunction()
vqr_third_party_components(VQR_THIRD_PARTY)

if(VQR_BUILD_TESTS AND VQR_TEST_PREFIX)
  # The installed tree holds our licence and a notice for each component.
  add_test(NAME packaging.notices
    COMMAND "${CMAKE_COMMAND}" "-DPREFIX=${VQR_TEST_PREFIX}" "-DDOCDIR=${CMAKE_INSTALL_DOCDIR}"
            "-DCOMPONENTS=${VQR_THIRD_PARTY}" -P "${PROJECT_SOURCE_DIR}/tests/check_notices.cmake")
  # Every place that states the version agrees with project(VERSION).
  add_test(NAME packaging.version
    COMMAND "${CMAKE_COMMAND}" "-DPREFIX=${VQR_TEST_PREFIX}" "-DVERSION=${PROJECT_VERSION}"
            "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}" "-DPYTHON_DIR=${VQR_PYTHON_DIR}"
            "-DCHANGELOG=${PROJECT_SOURCE_DIR}/CHANGELOG.md" "-DPYTHON=${Python3_EXECUTABLE}"
            -P "${PROJECT_SOURCE_DIR}/tests/check_version.cmake")
  set_tests_properties(packaging.notices packaging.version PROPERTIES FIXTURES_REQUIRED vqr_installed)
endif()

# ---- Python wheel -----------------------------------------------------------------

# The wheel and the .deb package this project on its own, so a project that
# embeds it with add_subdirectory gets neither target nor CPack settings.
if(NOT PROJECT_IS_TOP_LEVEL)
  return()
endif()

# `cmake --build --preset release --target wheel` writes
# dist/vantelor_qrcode-<version>-py3-none-<platform>.whl in the build folder.
if(Python3_FOUND)
  add_custom_target(wheel
    COMMAND "${CMAKE_COMMAND}" "-DBUILD_DIR=${PROJECT_BINARY_DIR}" "-DSOURCE_DIR=${PROJECT_SOURCE_DIR}"
      "-DSTAGE=${PROJECT_BINARY_DIR}/wheel-stage" "-DOUT=${PROJECT_BINARY_DIR}/dist"
      "-DLIBDIR=${CMAKE_INSTALL_LIBDIR}" "-DDOCDIR=${CMAKE_INSTALL_DOCDIR}"
      "-DPYTHON_DIR=${VQR_PYTHON_DIR}" "-DPYTHON=${Python3_EXECUTABLE}"
      -P "${PROJECT_SOURCE_DIR}/cmake/wheel.cmake"
    DEPENDS vantelor-qrcode vqr vqr_man VERBATIM)
endif()

# ---- Debian package -------------------------------------------------------------

# `cmake --workflow --preset deb` configures for /usr, builds and packs
# build/deb/vantelor-qrcode_<version>_<arch>.deb from the install rules.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_CONTACT "The vantelor-qrcode authors")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "The shared library libvantelor-qrcode.so.1 (with its bundled yyjson),
its header, pkg-config and CMake files, the command-line tool vqr and the
Python package vantelor_qrcode.")
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Depends comes from the binaries' needs (dpkg-shlibdeps, from dpkg-dev).
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SUGGESTS python3)
set(CPACK_STRIP_FILES ON)
# Python writes byte code beside the package's modules when it imports them;
# those files are not in the package's file list, so prerm removes them.
configure_file(cmake/deb-prerm.in "${PROJECT_BINARY_DIR}/deb/prerm" @ONLY
  FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
  WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA "${PROJECT_BINARY_DIR}/deb/prerm")
include(CPack)
