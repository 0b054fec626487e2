# cmake --install: the programs, the static libraries, the public headers, an exported
# CMake package (find_package(l3) gives l3::l3, C++20 as a usage requirement), a
# pkg-config file and the man pages.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(L3_LIBRARIES l3_disassemble l3_assemble l3_framewriter l3_maindata l3_tables l3_bits l3_format)

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
configure_file(${PROJECT_SOURCE_DIR}/cmake/l3.pc.in ${PROJECT_BINARY_DIR}/l3.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/l3.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

file(GLOB L3_MAN_PAGES ${PROJECT_SOURCE_DIR}/docs/man/*.1)
install(FILES ${L3_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
