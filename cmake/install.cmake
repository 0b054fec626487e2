# cmake --install: the programs, the static libraries, the public headers, an exported
# CMake package (find_package(l3) gives l3::l3, C++20 as a usage requirement), a
# pkg-config file, the man pages and, when it was built, the Python package l3.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(L3_LIBRARIES l3_edit l3_inspect l3_playback l3_disassemble l3_assemble l3_framewriter l3_maindata l3_tables l3_bits l3_format l3_io)
# Loudness (l3/loudness.h) where it was built: it needs libmpg123 and libebur128 too.
set(L3_PC_EXTRA "")
if(L3_HAVE_LOUDNESS)
  list(PREPEND L3_LIBRARIES l3_loudness)
  set(L3_PC_EXTRA " -lmpg123 -lebur128")
endif()

install(TARGETS l3assemble l3disassemble deinterleave l3
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS l3_library ${L3_LIBRARIES}
  EXPORT l3Targets
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/l3 DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

set(L3_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/l3)
install(EXPORT l3Targets NAMESPACE l3:: DESTINATION ${L3_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/l3Config.cmake.in
  ${PROJECT_BINARY_DIR}/l3Config.cmake INSTALL_DESTINATION ${L3_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/l3ConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/l3Config.cmake ${PROJECT_BINARY_DIR}/l3ConfigVersion.cmake
  DESTINATION ${L3_CMAKE_DIR})

# pkg-config: the libraries in link order, highest layer first.
set(L3_PC_LIBS "")
foreach(library ${L3_LIBRARIES})
  string(APPEND L3_PC_LIBS " -l${library}")
endforeach()
string(APPEND L3_PC_LIBS "${L3_PC_EXTRA}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/l3.pc.in ${PROJECT_BINARY_DIR}/l3.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/l3.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

file(GLOB L3_MAN_PAGES ${PROJECT_SOURCE_DIR}/docs/man/*.1)
install(FILES ${L3_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

# The Python package: PYTHONPATH=PREFIX/lib/python3.X/site-packages python3 -c "import l3".
if(TARGET l3_python_module)
  set(L3_PYTHON_INSTALL_DIR "${L3_PYTHON_SITE}" CACHE STRING
      "Where the Python package l3 is installed, under the prefix")
  install(TARGETS l3_python_module LIBRARY DESTINATION ${L3_PYTHON_INSTALL_DIR}/l3)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/python/l3/ DESTINATION ${L3_PYTHON_INSTALL_DIR}/l3
          FILES_MATCHING PATTERN "*.py" PATTERN "*.pyi" PATTERN "py.typed")
endif()
