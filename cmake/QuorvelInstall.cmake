# What `cmake --install` puts where: the library (Runtime: the shared library; Development: the
# headers under include/Quorvel, the static library, the link-time name, the CMake package and
# quorvel.pc).
include(CMakePackageConfigHelpers)

set(QUORVEL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Quorvel)

install(FILES ${QUORVEL_PUBLIC_HEADER_FILES}
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/Quorvel COMPONENT Development)

# One export set per library type, so that a shared and a static library can lie side by side.
foreach(entry IN LISTS QUORVEL_LIBRARY_TYPES)
  string(REPLACE ":" ";" entry ${entry})
  list(GET entry 0 target)
  list(GET entry 1 type)
  install(TARGETS ${target} EXPORT Quorvel${type}Targets
    RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Runtime
    LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Runtime NAMELINK_COMPONENT Development
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT Development
    INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(EXPORT Quorvel${type}Targets NAMESPACE Quorvel::
    DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT Development)
endforeach()

configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/QuorvelConfig.cmake.in
  ${PROJECT_BINARY_DIR}/QuorvelConfig.cmake
  INSTALL_DESTINATION ${QUORVEL_CMAKE_DIR}
  NO_SET_AND_CHECK_MACRO)
# Before 1.0 every minor version may break what the one before offered.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/QuorvelConfigVersion.cmake
  COMPATIBILITY SameMinorVersion)
install(FILES ${PROJECT_BINARY_DIR}/QuorvelConfig.cmake ${PROJECT_BINARY_DIR}/QuorvelConfigVersion.cmake
  DESTINATION ${QUORVEL_CMAKE_DIR} COMPONENT Development)

# quorvel.pc names the prefix the files are installed under, which `cmake --install --prefix` and
# packaging decide only at install time: it is written then. (A prefix relative to the .pc file
# would hand -I/usr/include to the compiler for a system-wide install, which breaks the C++
# library's own #include_next.)
foreach(kind LIBDIR INCLUDEDIR)
  if(IS_ABSOLUTE "${CMAKE_INSTALL_${kind}}")
    set(QUORVEL_PC_${kind} "${CMAKE_INSTALL_${kind}}")
  else()
    set(QUORVEL_PC_${kind} "\${prefix}/${CMAKE_INSTALL_${kind}}")
  endif()
endforeach()
configure_file(${PROJECT_SOURCE_DIR}/cmake/quorvel.pc.in ${PROJECT_BINARY_DIR}/quorvel.pc.in @ONLY)
install(CODE "
  file(READ \"${PROJECT_BINARY_DIR}/quorvel.pc.in\" pc)
  string(REPLACE \"%PREFIX%\" \"\${CMAKE_INSTALL_PREFIX}\" pc \"\${pc}\")
  file(WRITE \"${PROJECT_BINARY_DIR}/quorvel.pc\" \"\${pc}\")"
  COMPONENT Development)
install(FILES ${PROJECT_BINARY_DIR}/quorvel.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT Development)

# Debian's packages carry it as each package's copyright file instead (QuorvelPackaging.cmake).
if(NOT QUORVEL_DEBIAN_PACKAGES)
  install(FILES ${PROJECT_SOURCE_DIR}/LICENSE DESTINATION ${CMAKE_INSTALL_DOCDIR} COMPONENT Development)
endif()
