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
include(GNUInstallDirs)
set(package_dir ${CMAKE_SOURCE_DIR}/packaging/linux)
set(program_dir lib/evaluator-station)

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

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME evaluator-station)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Factory test station for the rating-keypad evaluator")
set(CPACK_PACKAGE_CONTACT "Evaluator station team <station@localhost>")
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
