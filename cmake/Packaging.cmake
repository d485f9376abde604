# The station as a Debian package (scripts/package-deb builds it): the program,
# the udev rule that lets the operator open the devices, a desktop entry and an
# icon, installed under /usr.
#
# The station keeps its counters in "test.ini" beside the program. The program
# lives in /usr/lib/evaluator-station, where nobody may write, so test.ini there
# is a link to /var/lib/evaluator-station/test.ini. postinst makes that folder
# root:evaluator 2775 and the file 664: the members of the system group
# "evaluator" are the operators. The station follows this one link (it sits in
# root's folder) and nothing that is put in the shared folder.
#
# The package is the same, byte for byte, from every build of one commit:
# scripts/package-deb builds with SOURCE_DATE_EPOCH set (CPack then gives every
# file and archive member that time) and without the build folder in the
# program; the folders' modes are fixed here, not taken from the umask, and
# the compressed documents carry no name or time (gzip -n).
include(GNUInstallDirs)
set(package_dir ${CMAKE_SOURCE_DIR}/packaging/linux)
set(program_dir lib/evaluator-station)
set(doc_dir share/doc/evaluator-station)
set(CMAKE_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

# Who answers for the package: set at release by its owner
# (-DEVALUATOR_MAINTAINER="Name <mail>", or the setting of the same name for
# scripts/package-deb). The placeholder is on a domain reserved for examples.
set(EVALUATOR_MAINTAINER "" CACHE STRING "The package's maintainer, \"Name <mail address>\"")
set(maintainer "${EVALUATOR_MAINTAINER}")
if(maintainer STREQUAL "")
  set(maintainer "Evaluator station maintainer <maintainer@example.com>")
endif()
if(NOT maintainer MATCHES "^[^<>]+ <[^<> ]+@[^<> ]+>$")
  message(FATAL_ERROR "EVALUATOR_MAINTAINER must read \"Name <mail address>\", not \"${maintainer}\"")
endif()

# The documents under /usr/share: the changelog (its newest entry must be this
# version), the machine-readable copyright file (the project's license from
# LICENSE) and the manual page.
file(STRINGS ${package_dir}/changelog.in changelog_head LIMIT_COUNT 1)
if(NOT changelog_head MATCHES "^evaluator-station \\(${PROJECT_VERSION}\\) ")
  message(FATAL_ERROR "packaging/linux/changelog.in has no entry for ${PROJECT_VERSION} at the top")
endif()
set(EVALUATOR_MAINTAINER_LINE "${maintainer}")
set(documents ${CMAKE_BINARY_DIR}/packaging/documents)
configure_file(${package_dir}/changelog.in ${documents}/changelog @ONLY)
configure_file(${package_dir}/evaluator-station.1.in ${documents}/evaluator-station.1 @ONLY)
file(READ ${CMAKE_SOURCE_DIR}/LICENSE license)
string(REGEX MATCH "Copyright \\(c\\) ([^\n]*)" copyright_line "${license}")
set(holder "${CMAKE_MATCH_1}")
# The terms after the copyright line, as a field's continuation lines.
string(REGEX REPLACE "^.*Copyright [^\n]*\n\n" "" terms "${license}")
string(STRIP "${terms}" terms)
string(REPLACE "\n\n" "\n.\n" terms "${terms}")
string(REPLACE "\n" "\n " terms "${terms}")
file(WRITE ${documents}/copyright
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: evaluator-station

Files: *
Copyright: ${holder}
License: Expat
 ${terms}
")
foreach(document changelog evaluator-station.1)
  execute_process(COMMAND gzip -9nc ${documents}/${document}
                  OUTPUT_FILE ${documents}/${document}.gz COMMAND_ERROR_IS_FATAL ANY)
endforeach()

install(TARGETS evaluator-station RUNTIME DESTINATION ${program_dir})
file(MAKE_DIRECTORY ${CMAKE_BINARY_DIR}/packaging)
file(CREATE_LINK ../${program_dir}/evaluator-station
     ${CMAKE_BINARY_DIR}/packaging/evaluator-station SYMBOLIC)
file(CREATE_LINK /var/lib/evaluator-station/test.ini ${CMAKE_BINARY_DIR}/packaging/test.ini
     SYMBOLIC)
install(FILES ${CMAKE_BINARY_DIR}/packaging/evaluator-station DESTINATION bin)
install(FILES ${CMAKE_BINARY_DIR}/packaging/test.ini DESTINATION ${program_dir})
install(FILES ${package_dir}/70-evaluator-station.rules DESTINATION lib/udev/rules.d)
install(FILES ${package_dir}/evaluator-station.desktop DESTINATION share/applications)
install(FILES ${package_dir}/evaluator-station.png DESTINATION share/icons/hicolor/128x128/apps)
install(FILES ${documents}/changelog.gz ${documents}/copyright DESTINATION ${doc_dir})
install(FILES ${documents}/evaluator-station.1.gz DESTINATION share/man/man1)

# CPack installs what scripts/package-deb built (the station), without first
# building every other target of the tree (the virtual evaluator, the benches).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY TRUE)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME evaluator-station)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Factory test station for the rating-keypad evaluator")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
"The station tests an evaluator, a customer-rating keypad with six rating
keys, five star lamps and a power lamp, attached over USB HID or behind a
PL2303 or FTDI USB-serial adapter. It prompts the device, lights its lamps,
asks for each key in turn and shows pass or fail over a photograph of it,
counting the tests passed and started in a file shared by the operators.

The package brings a udev rule for the evaluator and the two adapters and
the system group evaluator: its members, the operators, may write the counters.")
set(CPACK_PACKAGE_CONTACT "${maintainer}")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION electronics)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON) # the Qt, libjpeg and C++ libraries it links
# Qt's X11 and Wayland support is a plugin that libqt6gui6 only recommends:
# without it the window cannot open at all.
# postinst makes the group with addgroup.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, adduser")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "fonts-wqy-zenhei") # the GB2312 pass and fail words
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${package_dir}/postinst ${package_dir}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
