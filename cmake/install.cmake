# Installing the monitor, and the Debian package built from the same rules.
#
#     cmake --build build && cpack --config build/CPackConfig.cmake -G DEB -B build/package
#     sudo apt install ./build/package/impulz_<version>_amd64.deb
#
# puts the monitor into /usr/bin, the launcher into /usr/share/applications, the icon theme (PNG at 16 to 256
# pixels and the SVG, drawn by tools/ledgen at build time) into /usr/share/icons/hicolor, the controller simulator
# as /usr/bin/impulz-controller-sim, the recorder's systemd user unit into /usr/lib/systemd/user, and the manual
# pages, copyright and changelog into /usr/share. An installed monitor keeps its settings in
# ~/.config/impulz/impulz.ini, since /usr/bin is not the operator's to write. `cmake --install build --prefix DIR`
# installs the same files under any other prefix (a per-user one keeps the settings beside the executable).
#
# The launcher's Exec line holds the absolute path of the installed executable. It is filled in when installing,
# not when configuring, so that a --prefix given to `cmake --install` ends up in it.

include(GNUInstallDirs)

install(TARGETS impulz impulz-recorder RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# The simulator keeps its short name in the build folder; installed beside other programs it needs the prefix.
# install(TARGETS) cannot rename, but unlike a plain copy it drops the build folder's RPATH.
if(TARGET controller-sim)
    install(TARGETS controller-sim RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
    install(CODE "set(impulz_bindir \"${CMAKE_INSTALL_BINDIR}\")")
    install(CODE [=[
        if(IS_ABSOLUTE "${impulz_bindir}")
            set(impulz_sim_dir "$ENV{DESTDIR}${impulz_bindir}")
        else()
            set(impulz_sim_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${impulz_bindir}")
        endif()
        message(STATUS "Installing: ${impulz_sim_dir}/impulz-controller-sim")
        file(RENAME "${impulz_sim_dir}/controller-sim" "${impulz_sim_dir}/impulz-controller-sim")
    ]=])
endif()

install(DIRECTORY ${CMAKE_BINARY_DIR}/icons/hicolor DESTINATION ${CMAKE_INSTALL_DATADIR}/icons)

# The headless recorder's unit, for `systemctl --user enable --now impulz-recorder`.
# Its ExecStart holds the installed executable's absolute path, filled in at install time like the launcher's.
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/resources/impulz-recorder.service)
    install(CODE "set(impulz_unit_bindir \"${CMAKE_INSTALL_BINDIR}\")
        set(impulz_unit_template \"${CMAKE_CURRENT_SOURCE_DIR}/resources/impulz-recorder.service\")")
    install(CODE [=[
        if(IS_ABSOLUTE "${impulz_unit_bindir}")
            set(IMPULZ_BIN "${impulz_unit_bindir}/impulz-recorder")
        else()
            set(IMPULZ_BIN "${CMAKE_INSTALL_PREFIX}/${impulz_unit_bindir}/impulz-recorder")
        endif()
        # systemd reads the command line with C-style quoting: a quoted path may hold blanks. "%" starts a
        # specifier unless doubled; the program's path is not searched for variables, so "$" stays single.
        string(REPLACE "\\" "\\\\" IMPULZ_BIN "${IMPULZ_BIN}")
        string(REPLACE "\"" "\\\"" IMPULZ_BIN "${IMPULZ_BIN}")
        string(REPLACE "%" "%%" IMPULZ_BIN "${IMPULZ_BIN}")
        set(IMPULZ_BIN "\"${IMPULZ_BIN}\"")
        file(READ "${impulz_unit_template}" impulz_unit)
        string(CONFIGURE "${impulz_unit}" impulz_unit @ONLY)
        set(impulz_unit_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/systemd/user")
        file(MAKE_DIRECTORY "${impulz_unit_dir}")
        message(STATUS "Installing: ${impulz_unit_dir}/impulz-recorder.service")
        file(WRITE "${impulz_unit_dir}/impulz-recorder.service" "${impulz_unit}")
    ]=])
endif()

# Manual pages and the changelog go in compressed, as Debian's policy asks (gzip -9 without a time stamp).
set(impulz_package_docs ${CMAKE_CURRENT_SOURCE_DIR}/resources/package)
set(impulz_gzipped)
foreach(doc impulz.1 impulz-recorder.1 impulz-controller-sim.1 changelog)
    add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/package-docs/${doc}.gz
                       COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/package-docs
                       COMMAND gzip -9 -n -c ${impulz_package_docs}/${doc} > ${CMAKE_BINARY_DIR}/package-docs/${doc}.gz
                       DEPENDS ${impulz_package_docs}/${doc}
                       VERBATIM)
    list(APPEND impulz_gzipped ${CMAKE_BINARY_DIR}/package-docs/${doc}.gz)
endforeach()
add_custom_target(impulz_package_docs ALL DEPENDS ${impulz_gzipped})
install(FILES ${CMAKE_BINARY_DIR}/package-docs/impulz.1.gz ${CMAKE_BINARY_DIR}/package-docs/impulz-recorder.1.gz
              ${CMAKE_BINARY_DIR}/package-docs/impulz-controller-sim.1.gz
        DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${impulz_package_docs}/copyright ${CMAKE_BINARY_DIR}/package-docs/changelog.gz
        DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/impulz)

install(CODE "set(impulz_bindir \"${CMAKE_INSTALL_BINDIR}\")
    set(impulz_datadir \"${CMAKE_INSTALL_DATADIR}\")
    set(impulz_template \"${CMAKE_CURRENT_SOURCE_DIR}/resources/impulz.desktop\")")
install(CODE [=[
    if(IS_ABSOLUTE "${impulz_bindir}")
        set(IMPULZ_EXEC "${impulz_bindir}/impulz")
    else()
        set(IMPULZ_EXEC "${CMAKE_INSTALL_PREFIX}/${impulz_bindir}/impulz")
    endif()
    # A path with blanks or other reserved characters goes in double quotes. Inside them \ " ` $ take a backslash,
    # and the desktop file's string escaping then doubles every backslash; % is doubled in any case.
    if(IMPULZ_EXEC MATCHES "[^A-Za-z0-9/._+-]")
        string(REPLACE "\\" "\\\\\\\\" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "\"" "\\\\\"" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "`" "\\\\`" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "$" "\\\\$" IMPULZ_EXEC "${IMPULZ_EXEC}")
        string(REPLACE "%" "%%" IMPULZ_EXEC "${IMPULZ_EXEC}")
        set(IMPULZ_EXEC "\"${IMPULZ_EXEC}\"")
    endif()
    file(READ "${impulz_template}" impulz_desktop)
    string(CONFIGURE "${impulz_desktop}" impulz_desktop @ONLY)
    set(impulz_applications "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${impulz_datadir}/applications")
    file(MAKE_DIRECTORY "${impulz_applications}")
    message(STATUS "Installing: ${impulz_applications}/impulz.desktop")
    file(WRITE "${impulz_applications}/impulz.desktop" "${impulz_desktop}")
]=])

# The software centres' entry (AppStream), naming the launcher above.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/resources/package/example.delvorlabs.impulz.metainfo.xml
        DESTINATION ${CMAKE_INSTALL_DATADIR}/metainfo)

# A stripped install (the package's) also drops the compilers' ident strings, as Debian's own packages do: the
# .comment section holds nothing a program needs.
install(CODE "set(impulz_strip \"${CMAKE_STRIP}\")
    set(impulz_installed_programs impulz impulz-recorder impulz-controller-sim)
    set(impulz_strip_bindir \"${CMAKE_INSTALL_BINDIR}\")")
install(CODE [=[
    if(CMAKE_INSTALL_DO_STRIP AND impulz_strip)
        if(IS_ABSOLUTE "${impulz_strip_bindir}")
            set(impulz_strip_dir "$ENV{DESTDIR}${impulz_strip_bindir}")
        else()
            set(impulz_strip_dir "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/${impulz_strip_bindir}")
        endif()
        foreach(program IN LISTS impulz_installed_programs)
            if(EXISTS "${impulz_strip_dir}/${program}")
                execute_process(COMMAND "${impulz_strip}" --remove-section=.comment "${impulz_strip_dir}/${program}"
                                RESULT_VARIABLE failed)
                if(failed)
                    message(FATAL_ERROR "could not strip .comment from ${impulz_strip_dir}/${program}")
                endif()
            endif()
        endforeach()
    endif()
]=])

# The Debian package. Its dependencies come from dpkg-shlibdeps, so they follow whatever Qt the build linked.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME impulz)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Delvor Labs")
set(CPACK_PACKAGE_CONTACT "Delvor Labs <podpora@delvorlabs.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "monitor and recorder for an Ethernet digital-input controller")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                                WORLD_READ WORLD_EXECUTE)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "Delvor Labs <podpora@delvorlabs.example>")
# Under the summary as the synopsis; CPack indents the lines and marks the empty one as a paragraph break.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "Impulz watches one Ethernet digital-input controller at a production line.
It shows the eight input levels as LEDs and in a time-stamped log, records
every transition of a watched input into its active level as a one-line CSV
event file, counts the events, and draws daily and hourly bar charts of the
recorded files, which it can print. It reconnects by itself when the
controller falls silent, can start at log-on and hides in the notification
area. The windows are in Czech.

The package also holds a controller simulator for trying the monitor out and
a systemd user unit that records without any window.")
include(CPack)
