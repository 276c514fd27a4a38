# Debian packages with CPack, from a build configured for them (scripts/package.sh):
#   libquorvelX.Y    the shared library (its SONAME's version in the name, as Debian names them)
#   libquorvel-dev   headers, the static library, the link-time name, the CMake and pkg-config files
#   dorvane          the utility, the simulated field device, the line scanner and the Modbus TCP
#                    gateway, the desktop entry, icon and manuals
# Configure with -DCMAKE_INSTALL_PREFIX=/usr (so that libraries go to the multiarch folder),
# -DBUILD_SHARED_LIBS=ON -DQUORVEL_ALSO_STATIC=ON -DQUORVEL_DEBIAN_PACKAGES=ON, build, run cpack.
option(QUORVEL_DEBIAN_PACKAGES "Install each package's Debian copyright file (for cpack)" OFF)

set(QUORVEL_RUNTIME_PACKAGE libquorvel${QUORVEL_SOVERSION})
set(QUORVEL_PROGRAMS)
foreach(program dorvane dorvane-device quorvel-scan quorvel-gateway)
  if(TARGET ${program})
    list(APPEND QUORVEL_PROGRAMS ${program})
  endif()
endforeach()

if(QUORVEL_PROGRAMS)
  install(TARGETS ${QUORVEL_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT Utility)
  # Debian's manuals are compressed, without a time stamp inside, so that builds repeat exactly.
  find_program(GZIP_PROGRAM gzip REQUIRED)
  foreach(program IN LISTS QUORVEL_PROGRAMS)
    configure_file(packaging/man/${program}.1.in ${PROJECT_BINARY_DIR}/packaging/${program}.1 @ONLY)
    set(page ${PROJECT_BINARY_DIR}/packaging/${program}.1.gz)
    add_custom_command(OUTPUT ${page}
      COMMAND ${GZIP_PROGRAM} -9nc ${PROJECT_BINARY_DIR}/packaging/${program}.1 > ${page}
      DEPENDS ${PROJECT_BINARY_DIR}/packaging/${program}.1
      VERBATIM)
    list(APPEND QUORVEL_MAN_PAGES ${page})
    install(FILES ${page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT Utility)
  endforeach()
  add_custom_target(man_pages ALL DEPENDS ${QUORVEL_MAN_PAGES})
  if(TARGET dorvane)
    install(FILES packaging/dorvane.desktop DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT Utility)
    install(FILES packaging/dorvane.svg
      DESTINATION ${CMAKE_INSTALL_DATADIR}/icons/hicolor/scalable/apps COMPONENT Utility)
  endif()
endif()

if(QUORVEL_DEBIAN_PACKAGES)
  file(READ ${PROJECT_SOURCE_DIR}/LICENSE licence)
  string(REGEX REPLACE "\n\n" "\n.\n" licence_paragraphs "${licence}")
  string(REGEX REPLACE "\n([^\n])" "\n \\1" licence_paragraphs "${licence_paragraphs}")
  file(WRITE ${PROJECT_BINARY_DIR}/packaging/copyright
    "Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/\n"
    "Upstream-Name: Quorvel\n\n"
    "Files: *\nCopyright: 2026 The Quorvel and Dorvane developers\nLicense: Expat\n ${licence_paragraphs}")
  foreach(entry Runtime:${QUORVEL_RUNTIME_PACKAGE} Development:libquorvel-dev Utility:dorvane)
    string(REPLACE ":" ";" entry ${entry})
    list(GET entry 0 component)
    list(GET entry 1 package)
    install(FILES ${PROJECT_BINARY_DIR}/packaging/copyright
      DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
  endforeach()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME quorvel)
set(CPACK_PACKAGE_VENDOR "The Quorvel and Dorvane developers")
set(CPACK_PACKAGE_CONTACT "The Quorvel and Dorvane developers <quorvel@localhost>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/debian-packages)
# Files are installed as under CMAKE_INSTALL_PREFIX, below a staging folder: quorvel.pc, written at
# install time, names the real prefix.
set(CPACK_SET_DESTDIR ON)
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_STRIP_FILES ON)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL Runtime Development)
if(QUORVEL_PROGRAMS)
  list(APPEND CPACK_COMPONENTS_ALL Utility)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The dependencies on other packages' libraries (Qt's, the C++ library's) come from the programs
# themselves; the library of this build is found in the build tree and named by hand below.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/Sources)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY "=")

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${QUORVEL_RUNTIME_PACKAGE})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Modbus RTU and ASCII over serial lines (shared library)
Quorvel is a C++20 Modbus serial library: frames and checksums, the serial port, a worker thread
that carries requests with time-outs, retries and echo handling, an asynchronous client and a
server side. This package holds the shared library.")

set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libquorvel-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "${QUORVEL_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION "Modbus RTU and ASCII over serial lines (development files)
The headers of the Quorvel library (#include <Quorvel/Quorvel.h>), its static library, its CMake
package (find_package(Quorvel)) and its pkg-config file (quorvel).")

set(CPACK_DEBIAN_UTILITY_PACKAGE_NAME dorvane)
set(CPACK_DEBIAN_UTILITY_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_UTILITY_PACKAGE_DEPENDS "${QUORVEL_RUNTIME_PACKAGE} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_UTILITY_DESCRIPTION "Sets up the two display lines of a Modbus field device
Dorvane is a Qt desktop utility: a technician types the two 20-column lines of a field device's
display, sees them on a dot-matrix preview and sends each line to the device over a Modbus serial
line. dorvane-device simulates the device on a virtual serial line, for use without hardware;
quorvel-scan finds a device whose address, rate, parity or framing is not known; quorvel-gateway
puts a Modbus TCP server in front of a serial line.")

include(CPack)
