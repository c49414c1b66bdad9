# make install and make package: the programs, the user guide, the man pages, the desktop
# entry, the icons and the AppStream data in the usual places under CMAKE_INSTALL_PREFIX,
# and a Debian package of the same files (CPack's DEB generator).

include(GNUInstallDirs)

set(KORVANE_PACKAGING ${PROJECT_SOURCE_DIR}/packaging)
set(KORVANE_DOC_DIR ${CMAKE_INSTALL_DATADIR}/doc/korvane)
set(KORVANE_MADE ${PROJECT_BINARY_DIR}/packaging)

foreach(program korvane korvane-cli portsim)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    if(NOT WIN32 AND CMAKE_OBJCOPY)
      # The compilers' version notes (.comment) are of no use in an installed program.
      install(CODE "execute_process(COMMAND ${CMAKE_OBJCOPY} --remove-section=.comment
                    \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/${program}\")")
    endif()
  endif()
endforeach()

# The user guide: the HTML page the build makes from the README when there is one, else
# the README itself. The program looks for it here first.
if(KORVANE_GUIDE_HTML)
  install(FILES ${KORVANE_GUIDE_HTML} DESTINATION ${KORVANE_DOC_DIR} RENAME guide.html)
else()
  install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${KORVANE_DOC_DIR})
endif()

# Man pages and the changelog go in compressed, as Debian wants them.
find_program(KORVANE_GZIP gzip REQUIRED)
# Pages live beside the packaging files or in man/.
file(GLOB KORVANE_MAN_PAGES ${KORVANE_PACKAGING}/*.1 ${PROJECT_SOURCE_DIR}/man/*.1)
set(KORVANE_COMPRESSED)
foreach(page ${KORVANE_MAN_PAGES} ${KORVANE_PACKAGING}/changelog)
  get_filename_component(name ${page} NAME)
  add_custom_command(OUTPUT ${KORVANE_MADE}/${name}.gz
                     COMMAND ${CMAKE_COMMAND} -E make_directory ${KORVANE_MADE}
                     COMMAND ${KORVANE_GZIP} -9nc ${page} > ${KORVANE_MADE}/${name}.gz
                     DEPENDS ${page})
  list(APPEND KORVANE_COMPRESSED ${KORVANE_MADE}/${name}.gz)
  if(name MATCHES "\\.1$")
    install(FILES ${KORVANE_MADE}/${name}.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
  else()
    install(FILES ${KORVANE_MADE}/${name}.gz DESTINATION ${KORVANE_DOC_DIR})
  endif()
endforeach()
add_custom_target(korvane_compressed_docs ALL DEPENDS ${KORVANE_COMPRESSED})
install(FILES ${KORVANE_PACKAGING}/copyright DESTINATION ${KORVANE_DOC_DIR})
# Example scripts for korvane-cli --script and the window's Scripts dialog.
if(TARGET korvane_script)
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/ DESTINATION ${KORVANE_DOC_DIR}/examples
          FILES_MATCHING PATTERN "*.lua")
endif()

if(KORVANE_GUI)
  # The desktop icons, drawn at build time by the code that draws the window's icon.
  find_package(Qt6 REQUIRED COMPONENTS Svg)
  add_executable(korvane-icongen ${PROJECT_SOURCE_DIR}/tools/icongen/icongen.cpp)
  target_link_libraries(korvane-icongen PRIVATE korvane_ui Qt6::Svg)
  set(icons ${KORVANE_MADE}/icons)
  set(icon_files ${icons}/hicolor/scalable/apps/korvane.svg)
  foreach(size 16 22 24 32 48 64 128 256)
    list(APPEND icon_files ${icons}/hicolor/${size}x${size}/apps/korvane.png)
  endforeach()
  add_custom_command(OUTPUT ${icon_files}
                     COMMAND ${CMAKE_COMMAND} -E env QT_QPA_PLATFORM=offscreen
                             $<TARGET_FILE:korvane-icongen> ${icons}
                     DEPENDS korvane-icongen
                     COMMENT "Drawing the desktop icons")
  add_custom_target(korvane_icons ALL DEPENDS ${icon_files})
  install(DIRECTORY ${icons}/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)
  install(FILES ${KORVANE_PACKAGING}/korvane.desktop
          DESTINATION ${CMAKE_INSTALL_DATADIR}/applications)
  install(FILES ${KORVANE_PACKAGING}/com.dolvy.korvane.metainfo.xml
          DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)
endif()

# The Debian package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME korvane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Dolvy)
set(CPACK_PACKAGE_CONTACT "Dolvy Korvane Team <korvane@dolvy.com>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "serial-port terminal and traffic monitor")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Korvane shows the traffic of a serial port, one line of hex or text per\nreceived burst with its time and the gap since the previous one, and sends\nlines typed in its send window as hex or text, with checksums, by hand, in\na cycle, at a time of day or as a reply to a received pattern.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION comm)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Column widths and the printed pages are laid out in metrics of these fonts.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "fonts-liberation")
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "https://korvane.dolvy.example/")
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY ${PROJECT_BINARY_DIR}/package)
include(CPack)

# A fast check of the package itself: built into a temporary folder, listed, unpacked, run.
if(KORVANE_TESTS AND KORVANE_GUI)
  set(extra_programs)
  if(TARGET korvane-cli)
    list(APPEND extra_programs korvane-cli)
  endif()
  add_test(NAME package.DebianPackageHoldsEveryFileAndRuns
           COMMAND bash ${PROJECT_SOURCE_DIR}/tests/package/PackageTest.sh ${PROJECT_BINARY_DIR}
                   ${PROJECT_VERSION} ${extra_programs})
  set_tests_properties(package.DebianPackageHoldsEveryFileAndRuns
                       PROPERTIES TIMEOUT 300 ENVIRONMENT "KORVANE_HARDEN=${KORVANE_HARDEN}")
endif()
